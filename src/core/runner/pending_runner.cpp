// The implementation of pending_runner.h; its role and contract are stated there.

#include "core/runner/pending_runner.h"

#include <system_error>
#include <utility>

#include "core/base/process.h"

namespace vesk {

Result<std::unique_ptr<PendingRunner>> PendingRunner::start(const VeskEngine& engine) {
  // Held while the start runs: an exit waits for it rather than destroy what
  // it uses (and kills the runner it started, which ends it soon).
  std::shared_ptr<void> work = background_work();
  if (!work) return fail_message("the process is exiting");
  std::unique_ptr<PendingRunner> pending(new PendingRunner(engine));
  PendingRunner* self = pending.get();
  try {
    pending->thread_ = std::thread([self, work] {
      self->result_.emplace(Runner::start(self->engine_));
    });
  } catch (const std::system_error&) {
    return fail(error_from_current_exception());
  }
  return pending;
}

PendingRunner::~PendingRunner() {
  if (thread_.joinable()) thread_.join();
}

Result<std::unique_ptr<Runner>> PendingRunner::take() {
  if (thread_.joinable()) thread_.join();
  if (!result_) return fail(Error::internal("the runner's start was taken twice"));
  Result<std::unique_ptr<Runner>> taken = std::move(*result_);
  result_.reset();
  return taken;
}

}  // namespace vesk
