// The watch kept over one running shell command's memory and disk.
//
// A ShellMonitor runs one thread for the length of a command. Every
// kShellMonitorInterval it looks at what the command holds and stops it (kills
// its process group, which ends its pid namespace and so every process of it)
// the first time a bound is passed:
//   - memory (max_shell_memory_mb): the anonymous and shared resident memory
//     of every process below the sandbox (RssAnon + RssShmem of
//     /proc/{pid}/status, summed), plus what each of the sandbox's own
//     memory file systems (its /tmp, /dev/shm, /dev and the empty ones over
//     vesk's directories) holds, seen through /proc/{pid}/root;
//   - the work directory (max_workspace_mb): the total size of its regular
//     files, measured as collect() measures them. Walking the tree costs in
//     proportion to the files, so it is walked only when the free space of
//     its file system has shrunk, since the last walk, by more than the room
//     left to the limit: a command that writes nothing there costs one
//     statvfs per look.
// It also notes whether that file system had (all but) no space left at any
// look: a write of the command may then have come out short, and the caller
// must not record the result as if it had not.
//
// What it cannot make exact, and what that costs: between two looks a
// command can go on allocating or writing at full speed, so a bound may be
// passed by what it takes in one interval (tmpfs and page-cache writes run at
// a few GB/s: up to a few hundred MiB). The caller narrows that race with
// per-process limits (RLIMIT_DATA, RLIMIT_FSIZE) and sized tmpfs mounts,
// which the kernel enforces exactly for one process, one file, one mount.
// Pages that several processes share after a fork count once per process, so
// a forking command is measured high, never low. Memory the kernel holds for
// the command outside these counts (page tables, socket buffers, pipe
// buffers) is not seen.
//
// Ownership: the monitor shares the Child; stop() (or destruction) joins the
// thread, after which it never kills. Errors: start() fails only when no
// thread can be started (an internal fault).
#ifndef VESK_CORE_SHELL_SHELL_MONITOR_H_
#define VESK_CORE_SHELL_SHELL_MONITOR_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/base/error.h"
#include "core/base/process.h"

namespace vesk {

inline constexpr std::chrono::milliseconds kShellMonitorInterval{20};

// A free space at or below this counts as a full file system: no write of
// any size can be trusted to have gone through.
inline constexpr std::uint64_t kFullFileSystemBytes = 256 << 10;

struct ShellBounds {
  std::optional<std::uint64_t> memory_bytes;     // nullopt: not watched
  std::optional<std::uint64_t> workspace_bytes;  // nullopt: not watched
  std::string work_dir;                          // host path
  std::uint64_t workspace_start_bytes = 0;       // what the directory held at the start
  // Memory file systems of the sandbox, as paths inside it.
  std::vector<std::string> sandbox_tmpfs;
};

// RssAnon + RssShmem of a /proc/{pid}/status text, in bytes. Pure.
std::uint64_t resident_bytes_of_status(std::string_view status);

class ShellMonitor {
 public:
  enum class Overrun { kNone, kMemory, kWorkspace };

  static Result<std::unique_ptr<ShellMonitor>> start(std::shared_ptr<Child> child,
                                                     ShellBounds bounds);
  ShellMonitor(const ShellMonitor&) = delete;
  ShellMonitor& operator=(const ShellMonitor&) = delete;
  ~ShellMonitor() { stop(); }

  // Stops the watch and joins the thread; idempotent.
  void stop();

  // Valid after stop(): which bound stopped the command, the bytes measured
  // then, and whether the work directory's file system was ever full.
  Overrun overrun() const { return overrun_.load(); }
  std::uint64_t measured() const { return measured_.load(); }
  bool file_system_full() const { return full_.load(); }

 private:
  ShellMonitor(std::shared_ptr<Child> child, ShellBounds bounds)
      : child_(std::move(child)), bounds_(std::move(bounds)) {}
  void run();
  // One look; true when the command was stopped.
  bool look();
  void stop_for(Overrun why, std::uint64_t bytes);

  const std::shared_ptr<Child> child_;
  const ShellBounds bounds_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
  std::atomic<Overrun> overrun_{Overrun::kNone};
  std::atomic<std::uint64_t> measured_{0};
  std::atomic<bool> full_{false};
  // The work directory's size at the last walk, and its file system's free
  // space then.
  std::uint64_t walked_bytes_ = 0;
  std::optional<std::uint64_t> free_at_walk_;
};

}  // namespace vesk

#endif  // VESK_CORE_SHELL_SHELL_MONITOR_H_
