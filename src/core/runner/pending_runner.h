// A runner started on a thread of its own, so that a new session returns
// before its runner is ready (Session::create, when a spare runner waits).
//
// The start is Runner::start exactly, with its errors; take() waits for it
// and gives its runner or its error, once. The session owns the pending
// start; destroying it waits for the start to end (at most the start's own
// time-out), and a runner it made and nobody took is let go as any other.
// Runner processes are spawned from a thread that lasts (process.h), so the
// thread's end takes nothing with it.
#ifndef VESK_CORE_RUNNER_PENDING_RUNNER_H_
#define VESK_CORE_RUNNER_PENDING_RUNNER_H_

#include <memory>
#include <optional>
#include <thread>

#include "core/runner/engine.h"
#include "core/base/error.h"
#include "core/runner/runner.h"

namespace vesk {

class PendingRunner {
 public:
  // A start under way. Errors: an internal fault when no thread can start;
  // "the process is exiting". The caller may then start its runner itself.
  static Result<std::unique_ptr<PendingRunner>> start(const VeskEngine& engine);
  PendingRunner(const PendingRunner&) = delete;
  PendingRunner& operator=(const PendingRunner&) = delete;
  ~PendingRunner();

  // Waits for the start: its runner, or Runner::start's error.
  Result<std::unique_ptr<Runner>> take();

 private:
  explicit PendingRunner(const VeskEngine& engine) : engine_(engine) {}
  VeskEngine engine_;
  // Written by the thread, read after it is joined.
  std::optional<Result<std::unique_ptr<Runner>>> result_;
  std::thread thread_;
};

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_PENDING_RUNNER_H_
