// Child processes and their watchdogs.
//
// spawn() starts a program with chosen streams piped and hands back a Child
// shared by reference count: the owner waits on it, a Watchdog kills it. A
// Child is always reaped: by wait()/try_wait() when its owner asks, otherwise
// in the background once the last reference goes, so a killed or abandoned
// process never stays a zombie in a long-lived host. Nothing here ever calls
// waitpid(-1), so children of the host that are not ours are left alone.
#ifndef VESK_CORE_BASE_PROCESS_H_
#define VESK_CORE_BASE_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/base/error.h"
#include "core/base/io.h"

namespace vesk {

struct ExitStatus {
  // Set when the process called exit(); empty when a signal ended it.
  std::optional<int> code;
  int signal = 0;
};

// One child process. Thread-safe: kill(), try_wait() and wait() may be called
// from any thread; a lock serialises them, and wait() does not hold it while
// it blocks, so a watchdog can kill a child that its owner is waiting for.
class Child {
 public:
  Child(pid_t pid, bool own_group) : pid_(pid), own_group_(own_group) {}
  // A process another one started and lent to this one (a runner from
  // spare_lending.h), known by a pidfd of its own and of the process it runs
  // in a sandbox (`inner`, may be empty). It is not ours to reap: kill()
  // signals both through their pidfds (never by a pid, which its parent may
  // have reaped and the system given to another process), and wait() and
  // try_wait() learn only that it has ended, not how (an empty status).
  Child(pid_t pid, UniqueFd pidfd, UniqueFd inner)
      : pid_(pid), own_group_(false), pidfd_(std::move(pidfd)), inner_pidfd_(std::move(inner)) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // A child that has not been reaped is handed to the background reaper.
  ~Child();

  pid_t pid() const { return pid_; }

  // Keeps `token` for as long as this object lives (until the child has
  // been reaped and let go): what the thread that started it waits on.
  void hold(std::shared_ptr<void> token) { held_ = std::move(token); }

  // Sends SIGKILL (to the whole process group when the child leads its own);
  // errors, as when it has already ended, are ignored. No-op once reaped.
  // In a subreaper host the child's own children, which come to the host
  // when it ends, are handed to the background reaper first (by pidfd), so
  // that none stays a zombie.
  void kill();
  // Non-blocking: the exit status if the process has ended (reaping it).
  std::optional<ExitStatus> try_wait();
  // Blocks until the process has ended and returns its status.
  ExitStatus wait();
  // Waits at most `limit` for the process to end: its status, or nothing if
  // it still runs. A process whose output just ended is usually a moment
  // from its exit; this learns how it ended without waiting for ever.
  std::optional<ExitStatus> wait_for(std::chrono::milliseconds limit);

 private:
  bool lent() const { return pidfd_.valid(); }
  // Whether a lent process has ended; blocks until it has with `block`.
  bool lent_ended(bool block) const;

  const pid_t pid_;
  const bool own_group_;
  const UniqueFd pidfd_;
  const UniqueFd inner_pidfd_;
  std::mutex mu_;
  std::optional<ExitStatus> status_;  // set once reaped; the pid is dead to us then
  std::shared_ptr<void> held_;
};

struct SpawnOptions {
  // A path, or a bare name looked up on PATH when the process starts.
  std::string program;
  // argv[1] onwards; argv[0] is `program`.
  std::vector<std::string> args;
  // Working directory of the child; empty: inherited.
  std::string cwd;
  // Which standard streams become pipes; the others are inherited, except
  // that standard input is /dev/null when `null_stdin` is set (and it is not
  // piped): a child then never consumes what the host's own input holds.
  bool pipe_stdin = false;
  bool pipe_stdout = false;
  bool pipe_stderr = false;
  bool null_stdin = false;
  // Descriptors of the caller handed to the child as 3, 4, ... in this order
  // (the caller keeps its own). Every other descriptor above 2 is closed in
  // the child whatever its close-on-exec flag, so a descriptor the host left
  // inheritable (a file opened for writing, a socket) never reaches a child.
  std::vector<int> pass_fds;
  // Start the child as the leader of a new process group: kill() then reaches
  // everything it started that stayed in the group, and whatever of the group
  // is still running when the child is reaped is killed, so that a finished
  // command leaves nothing behind.
  bool new_process_group = false;
  // "NAME=value" entries for the child's environment, each replacing what the
  // host's environment holds under NAME; everything else is inherited.
  std::vector<std::string> env_overrides;
  // Start the child from a thread that lasts as long as any child it started
  // does, rather than from the caller's: a parent-death signal the child
  // asks for (bubblewrap's --die-with-parent) is tied to the thread that
  // started it, and would otherwise fire as soon as the caller's thread
  // ended. The thread ends once its last child has been reaped and let go.
  bool from_lasting_thread = false;
};

struct Spawned {
  std::shared_ptr<Child> child;
  UniqueFd stdin_fd;   // our write end, when piped
  UniqueFd stdout_fd;  // our read end, when piped
  UniqueFd stderr_fd;  // our read end, when piped
};

// Starts the process. The environment is inherited (but for
// `env_overrides`); descriptors are not,
// beyond the standard ones and `pass_fds`. Errors: the Os error of the
// failing step (a missing program is "No such file or directory (os error
// 2)"; a descriptor in `pass_fds` that is not open, "Bad file descriptor (os
// error 9)").
Result<Spawned> spawn(const SpawnOptions& options);

// A token that a detached thread holds while it does work touching the
// process's own objects (a start snapshot being made). When the process
// exits, no child starts any more from the lasting thread, every child
// started from it is killed with its process group, and the exit waits (ten
// seconds at most) until no token is held, so that no such work runs while
// static objects are destroyed. Null once the process is exiting: the work
// is then not to be begun.
std::shared_ptr<void> background_work();

// Reaps processes of inner pid namespaces that ended as children of this
// one. A sandbox's first process, orphaned when its bubblewrap parent ends,
// comes to the nearest subreaper (PR_SET_CHILD_SUBREAPER; a server's worker
// is one) and stays a zombie for that process's lifetime: one per command, a
// slow exhaustion of the user's processes. Does nothing unless this process
// is a subreaper, and never reaps a process of its own namespace (those it
// waits for itself). spawn() calls it first; besides, whenever a child of
// ours is reaped, those still running are handed to the background reaper,
// which reaps each as it ends, so a killed runner's or command's sandbox
// process is never left a zombie until the next spawn.
void reap_orphaned_sandbox_processes();

// Looks `name` up in the directories of PATH (relative ones against the
// working directory); returns the first regular file with execute permission.
std::optional<std::string> find_on_path(const std::string& name);

// What a caller may ask of one run beyond the configuration: a time limit of
// its own, which the configured one still caps, and a descriptor that stops
// the run when it becomes readable (the module never reads from it).
struct RunControl {
  std::optional<std::uint64_t> timeout_ms;
  int cancel_fd = -1;

  // The limit that applies: the smaller of the two.
  std::uint64_t limit(std::uint64_t configured) const {
    return timeout_ms && *timeout_ms < configured ? *timeout_ms : configured;
  }
  // Whether the cancel descriptor is readable (or broken) right now.
  bool cancel_requested() const;
};

// Kills a child unless stood down within a time limit, or as soon as a
// cancel descriptor becomes readable.
//
// One thread of the process watches every armed watchdog (one per request a
// runner answers would otherwise be a thread created and joined per call):
// when a watchdog's time passes first it sets fired() and only then kills
// the child, so a reader that sees its stream end because of the kill always
// finds fired() set. cancel() and the destructor stand the watchdog down:
// once they return it never kills (a kill already under way has ended). The
// thread waits in poll() for the nearest deadline or any armed cancel
// descriptor; it is only woken when a deadline comes earlier than the one it
// sleeps towards or a watchdog with a descriptor is armed or stood down, so
// arming and standing down a plain one cost no context switch; it ends when
// it wakes and finds nothing armed, and a forked child starts its own.
class Watchdog {
 public:
  // The name of the watching thread, which holds one descriptor of its own
  // (an eventfd) while it runs.
  static constexpr const char* kWatchThreadName = "vesk-watchdog";

  // `cancel_fd` (-1 for none) is watched through a copy of the
  // descriptor, so the caller may close its own at any time. Errors: an
  // internal fault when the thread cannot be started; the Os error of
  // copying the descriptor.
  static Result<std::unique_ptr<Watchdog>> start(std::shared_ptr<Child> child,
                                                 std::uint64_t timeout_ms, int cancel_fd = -1);
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog();

  // Stands the watchdog down; idempotent. After it returns the watchdog will
  // not kill (unless it already has).
  void cancel();
  // Whether it killed the child (for its time limit or its descriptor).
  bool fired() const;
  // Whether it killed the child because the cancel descriptor became
  // readable.
  bool fired_by_cancel_fd() const;

  struct Armed;  // shared with the watching thread while armed

 private:
  explicit Watchdog(std::shared_ptr<Armed> armed) : armed_(std::move(armed)) {}
  std::shared_ptr<Armed> armed_;
};

}  // namespace vesk

#endif  // VESK_CORE_BASE_PROCESS_H_
