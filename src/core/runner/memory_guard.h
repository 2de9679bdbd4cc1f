// A bound on the resident memory of child processes.
//
// A MemoryGuard watches one process: while it lives, one thread of the host
// process (shared by every guard, running while any is alive) reads the resident
// set of each watched process every kPollInterval and kills (SIGKILL, through
// its Child) one that holds more than its bound, whether it is serving a
// request or idle. Code in a runner reaches JavaScript, whose arrays and
// buffers no bound inside the process can hold, so this is the last line: a
// process that allocates faster than the poll may pass its bound by what it
// allocates in one interval before it dies.
//
// Owned by the caller; the destructor stops the watching (and never kills).
// Thread-safe. A forked child of the host starts its own thread on its first
// guard.
#ifndef VESK_CORE_RUNNER_MEMORY_GUARD_H_
#define VESK_CORE_RUNNER_MEMORY_GUARD_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "core/base/error.h"
#include "core/base/process.h"

namespace vesk {

class MemoryGuard {
 public:
  static constexpr std::chrono::milliseconds kPollInterval{50};

  // Watches the resident set of `measured` (the process that holds the
  // memory: `child` itself, or the process it runs in a sandbox) and kills
  // `child` when it passes `limit_bytes`. Errors: an internal fault when the
  // thread cannot be started.
  static Result<std::unique_ptr<MemoryGuard>> watch(std::shared_ptr<Child> child, pid_t measured,
                                                    std::uint64_t limit_bytes);
  MemoryGuard(const MemoryGuard&) = delete;
  MemoryGuard& operator=(const MemoryGuard&) = delete;
  ~MemoryGuard();

  // True once the process was killed for its memory.
  bool fired() const;

  struct Entry;

 private:
  explicit MemoryGuard(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
  std::shared_ptr<Entry> entry_;
};

// The resident set of `pid` in bytes, or nullopt when it cannot be read.
std::optional<std::uint64_t> resident_bytes(pid_t pid);

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_MEMORY_GUARD_H_
