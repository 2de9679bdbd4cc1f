// A runner started ahead of need, which the next session start or resume
// takes.
//
// Most of a start from a snapshot is the same whatever it starts from:
// Deno's own start, Pyodide's script, and compiling and setting up the
// interpreter's WebAssembly module come before Pyodide needs the snapshot's
// bytes. A runner started in "spare" mode does all of that and then waits
// for a line naming what it starts from ("snapshot-load N" or "resume N")
// and the N bytes. A process whose sessions may park (park_after_idle_secs)
// keeps one spare: a start or resume of a session that finds one for its own
// runner command takes it, and once the taker is ready another is started.
//
// A spare has run nothing of any session and goes to exactly one. It was
// launched by the very command the taker would have launched (program,
// arguments and environment, the limits and permissions they carry
// included): one launched for another command, or whose process has ended,
// is not used. A forked child never uses its parent's. When the process
// ends, the spare's input ends and it ends without a word.
//
// Thread-safe. Nothing here throws but std::bad_alloc; failing to start a
// spare is silent (the next start goes the ordinary way).
#ifndef VESK_CORE_RUNNER_SPARE_RUNNER_H_
#define VESK_CORE_RUNNER_SPARE_RUNNER_H_

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/runner/engine.h"
#include "core/runner/runner_process.h"

namespace vesk {

// Everything that makes two runners alike: what is launched, with which
// arguments and environment. Empty when there is no command.
std::string runner_command_key(const VeskEngine& engine);

// The spare for `engine`'s runner command if there is one and its process
// still runs; there is none after.
std::optional<RunnerProcess> take_spare_runner(const VeskEngine& engine);

// Holds back the start of a spare until it is opened, or for a second at
// most: a runner taken from the spare opens it once it has served its first
// request, so that its replacement does not take the processor from the
// very call that needed a runner.
class SpareGate {
 public:
  SpareGate() = default;
  // `on_open` runs once, in the first open().
  explicit SpareGate(std::function<void()> on_open) : on_open_(std::move(on_open)) {}
  void open();
  // Waits until open() or `ms` have passed.
  void wait(std::uint64_t ms);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
  std::function<void()> on_open_;
};

// Starts a spare for `engine` on a thread of its own once the gate it
// returns opens, unless one for the same command runs or is being started
// (then it returns null). A spare for another command is stopped. Its
// standard error is a pipe with `pipe_stderr` (for a spare to be lent:
// spare_lending.h), else this process's.
std::shared_ptr<SpareGate> start_spare_runner(const VeskEngine& engine, bool pipe_stderr = false);

// Whether this process's spare runner for `engine`'s command is started and
// waiting, without waiting itself: take_spare_runner() would most likely
// give it (another session may take it first).
bool spare_runner_waiting(const VeskEngine& engine);

// Waits until no spare is being started, then gives the spare's process
// (the child this process started: bubblewrap, or Deno itself), 0 when there
// is none (for tests).
pid_t spare_runner_pid();

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_SPARE_RUNNER_H_
