// The implementation of sandbox.h; its role and contract are stated there.

#include "core/shell/sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "core/exchange/fs_tree.h"
#include "core/exchange/host_dirs.h"
#include "core/base/parallel.h"
#include "core/shell/room_account.h"
#include "core/shell/shell_monitor.h"
#include "core/base/utf8.h"
#include "core/exchange/workspace.h"

namespace vesk {

namespace {

constexpr std::size_t kReadBuffer = 8192;
constexpr std::uint64_t kMiB = 1048576;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// A fresh, uniquely named directory, removed with its contents when the
// object goes.
class WorkDir {
 public:
  static Result<std::unique_ptr<WorkDir>> create(const std::string& parent) {
    std::string pattern = parent;
    if (pattern.empty() || pattern.back() != '/') pattern += '/';
    pattern += "vesk-bash-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return fail(Error::last_os_error());
    return std::unique_ptr<WorkDir>(new WorkDir(std::move(pattern)));
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  ~WorkDir() { remove_tree(path_); }

  const std::string& path() const { return path_; }

 private:
  explicit WorkDir(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

Status set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(Error::last_os_error());
  }
  return {};
}

// Reads what `fd` holds right now, and no more: a writer that outlived the
// command's process group cannot keep the reader busy.
template <class Sink>
void drain_available(int fd, Sink&& sink) {
  int pending = 0;
  if (::ioctl(fd, FIONREAD, &pending) != 0) return;
  char buffer[kReadBuffer];
  auto left = static_cast<std::size_t>(pending);
  while (left > 0) {
    const ssize_t n = ::read(fd, buffer, std::min(left, sizeof buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sink(buffer, static_cast<std::size_t>(n));
    left -= static_cast<std::size_t>(n);
  }
}

// Splits standard output into lines for the callback and the capture, each
// made text on its own (bytes that are not UTF-8 become U+FFFD); a line feed
// is never part of a multi-byte sequence, so this is the whole stream's
// text, line by line.
class LineSink {
 public:
  LineSink(const LineCallback& on_line, std::string& captured)
      : on_line_(on_line), captured_(captured) {}

  void feed(const char* data, std::size_t size) {
    std::string_view chunk(data, size);
    while (!chunk.empty()) {
      const std::size_t nl = chunk.find('\n');
      if (nl == std::string_view::npos) {
        pending_.append(chunk);
        return;
      }
      pending_.append(chunk.substr(0, nl + 1));
      chunk.remove_prefix(nl + 1);
      emit();
    }
  }

  // End of the stream: the last bytes without a line feed form a line.
  void finish() {
    if (!pending_.empty()) emit();
  }

 private:
  void emit() {
    std::string text = lossy_utf8(pending_);
    pending_.clear();
    captured_ += text;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (on_line_) on_line_(std::move(text));
  }

  const LineCallback& on_line_;
  std::string& captured_;
  std::string pending_;
};

// Counts what both output streams bring in, from both reading threads, and
// stops the command once the total passes the limit: what the command writes
// beyond it is read and dropped until the kill takes effect.
class OutputBudget {
 public:
  OutputBudget(std::optional<std::uint64_t> limit, std::shared_ptr<Child> child)
      : limit_(limit), child_(std::move(child)) {}

  // Counts `n` more bytes; false once the total is beyond the limit.
  bool take(std::size_t n) {
    const std::uint64_t total = used_.fetch_add(n, std::memory_order_relaxed) + n;
    if (!limit_ || total <= *limit_) return true;
    if (!exceeded_.exchange(true)) child_->kill();
    return false;
  }
  bool exceeded() const { return exceeded_.load(); }

 private:
  const std::optional<std::uint64_t> limit_;
  const std::shared_ptr<Child> child_;
  std::atomic<std::uint64_t> used_{0};
  std::atomic<bool> exceeded_{false};
};

// Reads standard error on its own thread until end of file, or, once asked to
// stop, until the pipe is empty.
class StderrReader {
 public:
  StderrReader(int fd, int wake_fd, OutputBudget& budget)
      : fd_(fd), wake_fd_(wake_fd), budget_(budget) {}
  StderrReader(const StderrReader&) = delete;
  StderrReader& operator=(const StderrReader&) = delete;
  ~StderrReader() { stop_and_join(); }

  // Throws std::system_error when no thread can be started.
  void start() { thread_ = std::thread(&StderrReader::run, this); }

  // The bytes read, as they came ("" when the thread failed).
  std::string finish() {
    stop_and_join();
    if (failed_) return std::string();
    return std::move(text_);
  }

 private:
  void stop_and_join() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    thread_.join();
  }

  void append(const char* data, std::size_t size) {
    if (budget_.take(size)) text_.append(data, size);
  }

  void run() noexcept {
    try {
      char buffer[kReadBuffer];
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      for (;;) {
        if (::poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[0].revents != 0) {
          const ssize_t n = ::read(fd_, buffer, sizeof buffer);
          if (n > 0) {
            append(buffer, static_cast<std::size_t>(n));
            continue;
          }
          if (n == 0 || (errno != EAGAIN && errno != EINTR)) return;  // end, or an ignored error
        }
        if (fds[1].revents != 0) {
          drain_available(fd_, [this](const char* data, std::size_t size) { append(data, size); });
          return;
        }
      }
    } catch (...) {
      failed_ = true;
    }
  }

  const int fd_;
  const int wake_fd_;
  OutputBudget& budget_;
  std::string text_;
  bool failed_ = false;
  std::thread thread_;
};

// Kills the child's process group and reaps it on every way out, so that an
// error or an exception never leaves a sandbox running. Harmless once reaped.
struct ChildGuard {
  std::shared_ptr<Child> child;
  ~ChildGuard() {
    child->kill();
    child->wait();
  }
};

struct Captured {
  std::string stdout_text;
  std::string stderr_text;  // raw bytes; not checked for UTF-8 yet
  bool timed_out = false;
  bool cancelled = false;  // the cancel descriptor stopped it
  bool output_exceeded = false;
  ShellMonitor::Overrun overrun = ShellMonitor::Overrun::kNone;
  std::uint64_t overrun_bytes = 0;
  bool file_system_full = false;
  // Whether bubblewrap reported the command's exit: without that report the
  // sandbox was never set up and the command never ran.
  bool command_ran = false;
  // The command's own exit status, as bubblewrap reported it.
  std::optional<int> exit_code;
  std::optional<int> bwrap_exit_code;
};

// Milliseconds left until `deadline` for poll(), at least 1 while any time is
// left, -1 for no limit; 0 when it has passed.
int poll_timeout(std::chrono::steady_clock::time_point deadline) {
  if (deadline == std::chrono::steady_clock::time_point::max()) return -1;
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<std::int64_t>(ms, INT_MAX));
}

// Starts the prepared sandbox and runs it to its end, to the time limit or
// until its output passes `output_limit`. `status` is the parent's read end
// of the pipe whose write end the options pass to bubblewrap for its
// --json-status-fd; `status_write` is closed once the child has it.
Result<Captured> run_sandbox(const SpawnOptions& options, std::uint64_t timeout_ms,
                             std::optional<std::uint64_t> output_limit, const UniqueFd& status,
                             UniqueFd status_write, const LineCallback& on_line, int cancel_fd,
                             ShellBounds bounds) {
  auto spawned = spawn(options);
  if (!spawned) return fail(spawned.error());
  status_write.reset();
  ChildGuard guard_child{spawned->child};
  Child& child = *spawned->child;
  const int out_fd = spawned->stdout_fd.get();
  const int err_fd = spawned->stderr_fd.get();
  if (auto s = set_nonblocking(out_fd); !s) return fail(s.error());
  if (auto s = set_nonblocking(err_fd); !s) return fail(s.error());
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return fail(Error::last_os_error());
  // Readable once the child has ended. Without pidfds (before Linux 5.3)
  // the loop below looks every few milliseconds instead.
  UniqueFd exit_fd(static_cast<int>(::syscall(SYS_pidfd_open, child.pid(), 0)));

  // The watchdog kills even while the callback holds the calling thread.
  auto watchdog = Watchdog::start(spawned->child, timeout_ms, cancel_fd);
  if (!watchdog) return fail(watchdog.error());
  auto monitor = ShellMonitor::start(spawned->child, std::move(bounds));
  if (!monitor) return fail(monitor.error());
  const auto deadline =
      timeout_ms >= (std::uint64_t{1} << 50)
          ? std::chrono::steady_clock::time_point::max()
          : std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);

  Captured out;
  OutputBudget budget(output_limit, spawned->child);
  StderrReader err_reader(err_fd, wake.get(), budget);
  err_reader.start();

  LineSink sink(on_line, out.stdout_text);
  auto to_sink = [&sink, &budget](const char* data, std::size_t size) {
    if (budget.take(size)) sink.feed(data, size);
  };
  bool out_open = true;
  bool exited = false;
  char buffer[kReadBuffer];
  // Standard output is read until the child has ended and the stream is
  // done with; the child's end is watched at the same time, because a
  // leftover of the command may hold the stream open after `bwrap` exited.
  while (out_open || !exited) {
    int wait_ms = poll_timeout(deadline);
    if (wait_ms == 0) {
      out.timed_out = true;
      break;
    }
    if (!exit_fd && !exited) wait_ms = wait_ms < 0 ? 10 : std::min(wait_ms, 10);
    pollfd fds[2];
    nfds_t count = 0;
    if (out_open) fds[count++] = {out_fd, POLLIN, 0};
    const nfds_t exit_index = count;
    if (!exited && exit_fd) fds[count++] = {exit_fd.get(), POLLIN, 0};
    if (::poll(fds, count, wait_ms) < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os_error());
    }
    if (out_open && fds[0].revents != 0) {
      const ssize_t n = ::read(out_fd, buffer, sizeof buffer);
      if (n > 0) {
        to_sink(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // End of file, or a read error, which ends the capture unreported.
        sink.finish();
        out_open = false;
        spawned->stdout_fd.reset();
      }
    }
    const bool maybe_exited = exit_fd ? exit_index < count && fds[exit_index].revents != 0 : true;
    // try_wait() reaps and kills what is left of the group.
    if (!exited && maybe_exited && child.try_wait()) {
      exited = true;
      if (out_open) {
        drain_available(out_fd, to_sink);
        sink.finish();
        out_open = false;
        spawned->stdout_fd.reset();
      }
    }
  }
  (*watchdog)->cancel();
  (*monitor)->stop();
  out.overrun = (*monitor)->overrun();
  out.overrun_bytes = (*monitor)->measured();
  out.file_system_full = (*monitor)->file_system_full();
  if ((*watchdog)->fired_by_cancel_fd()) {
    out.cancelled = true;
  } else if (out.timed_out || (*watchdog)->fired()) {
    out.timed_out = true;
    child.kill();
  }
  const ExitStatus status_of_bwrap = child.wait();
  out.bwrap_exit_code = status_of_bwrap.code;
  out.stderr_text = err_reader.finish();
  out.output_exceeded = budget.exceeded();
  // bubblewrap writes {"child-pid": ...} once it has started the sandbox and
  // {"exit-code": N} only after the command itself ran and ended; a failure
  // to set up (a bind whose source is missing, no `sh` to execute) ends it
  // with the first line alone. Its own output is a few hundred bytes at
  // most, so it is all in the pipe once bubblewrap has been reaped.
  std::string report;
  drain_available(status.get(),
                  [&report](const char* data, std::size_t size) { report.append(data, size); });
  out.command_ran = report.find("\"exit-code\"") != std::string::npos;
  out.exit_code = reported_exit_code(report);
  return out;
}

}  // namespace

std::optional<int> reported_exit_code(std::string_view report) {
  constexpr std::string_view kKey = "\"exit-code\"";
  const std::size_t at = report.rfind(kKey);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t i = at + kKey.size();
  while (i < report.size() && (report[i] == ' ' || report[i] == ':' || report[i] == '\t')) ++i;
  int code = 0;
  std::size_t digits = 0;
  // An exit status is 0..255; anything longer is no status of a process.
  for (; i < report.size() && report[i] >= '0' && report[i] <= '9' && digits < 4; ++i, ++digits) {
    code = code * 10 + (report[i] - '0');
  }
  if (digits == 0 || digits == 4 || code > 255) return std::nullopt;
  return code;
}

Status screen_command(const Config& config, std::string_view command) {
  return guard([&]() -> Status {
    for (const std::string& pattern : config.bash_command_denylist) {
      if (command.find(pattern) != std::string_view::npos) {
        return fail(Error::runner(RunnerError::command_denied(
            "command denied: matches denylist pattern '" + pattern + "'")));
      }
    }
    const auto& allow = config.bash_command_allowlist;
    if (allow.empty()) return {};
    for (const std::string& pattern : allow) {
      if (command.find(pattern) != std::string_view::npos) return {};
    }
    std::string permitted;
    for (const std::string& pattern : allow) {
      if (!permitted.empty()) permitted += ", ";
      permitted += pattern;
    }
    return fail(Error::runner(RunnerError::command_denied(
        "command denied: not matched by any allowlist pattern; permitted: " + permitted)));
  });
}

std::vector<std::string> hidden_dirs(const std::string& work_dir) {
  std::vector<std::string> dirs = sandbox_hidden_roots();
  // A work directory below none of vesk's roots (a caller's own) still has
  // its parent covered, so that its neighbours stay out of sight.
  const std::string resolved = canonical_path(work_dir).value_or(work_dir);
  const bool covered = std::any_of(dirs.begin(), dirs.end(), [&](const std::string& dir) {
    return path_has_prefix(resolved, dir);
  });
  if (const std::size_t slash = resolved.rfind('/'); !covered && slash != std::string::npos) {
    const std::string parent = slash == 0 ? std::string("/") : resolved.substr(0, slash);
    // "/" is never covered: the command would have no shell left to run.
    if (parent != "/" && std::find(dirs.begin(), dirs.end(), parent) == dirs.end()) {
      dirs.push_back(parent);
    }
  }
  for (std::string& dir : dirs) dir = lossy_utf8(dir);
  // An enclosing directory before the ones below it, so that the tmpfs over
  // the inner one is mounted inside the outer one instead of under it.
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

namespace {

// Whether this bubblewrap sizes a tmpfs (--size came with 0.8); asked once.
bool bwrap_sizes_tmpfs() {
  static const bool sizes = [] {
    SpawnOptions help;
    help.program = "bwrap";
    help.args = {"--help"};
    help.pipe_stdout = true;
    help.null_stdin = true;
    auto spawned = spawn(help);
    if (!spawned) return false;
    std::string text;
    char buffer[kReadBuffer];
    for (;;) {
      const ssize_t n = ::read(spawned->stdout_fd.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || text.size() > (1 << 20)) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    spawned->child->wait();
    return text.find("--size") != std::string::npos;
  }();
  return sizes;
}

}  // namespace

Result<SpawnOptions> sandboxed_sh(std::string_view command, const std::string& work_dir,
                                  int status_fd, const ShellLimits& limits) {
  return guard([&]() -> Result<SpawnOptions> {
    const std::string dir = lossy_utf8(canonical_path(work_dir).value_or(work_dir));
    if (!find_on_path("bwrap")) {
      return fail_message(
          "bwrap not found; install bubblewrap (e.g. `apt install bubblewrap`) to enable "
          "session_bash");
    }
    SpawnOptions options;
    options.program = "bwrap";
    // clang-format off
    options.args = {
        "--ro-bind", "/", "/",
        "--dev", "/dev",
        "--proc", "/proc",
    };
    // A memory file system the command may fill is sized: what it holds is
    // memory the host has no other way to take back while the command runs.
    const bool sized = limits.memory_bytes && bwrap_sizes_tmpfs();
    auto tmpfs = [&](const std::string& path, std::uint64_t bytes) {
      if (sized) options.args.insert(options.args.end(), {"--size", std::to_string(bytes)});
      options.args.insert(options.args.end(), {"--tmpfs", path});
    };
    // Under --dev, /dev/shm is a directory of the tmpfs on /dev; it gets a
    // tmpfs of its own before anything is mounted below it.
    if (limits.memory_bytes) tmpfs("/dev/shm", *limits.memory_bytes);
    // The command runs as the host's user, so through the read-only / it
    // would read every other live work directory and the runners' files in
    // the temporary directory. bubblewrap mounts in argument order: these
    // empty file systems go first, and the work directory is bound into them.
    // They hold only mount points.
    for (const std::string& hidden : hidden_dirs(work_dir)) tmpfs(hidden, kMiB);
    options.args.insert(options.args.end(), {"--bind", dir, dir});
    tmpfs("/tmp", limits.memory_bytes.value_or(0));
    options.args.insert(options.args.end(), {
        "--unshare-net",
        // Without a process namespace of its own the command sees every
        // process of the host and, as the same user, may signal them or open
        // their memory through /proc, the host process's included; and a
        // process that left the command's group (setsid) would outlive the
        // call. In its own namespace it sees only its own processes, and all
        // of them die with the namespace's first process.
        "--unshare-pid",
        // In the host's terminal session the command could open /dev/tty and
        // push keystrokes into the terminal's input (TIOCSTI).
        "--new-session",
        "--die-with-parent",
        // Run by root, bubblewrap would otherwise leave the command nearly
        // every capability: enough to remount the host's / read-write, make
        // device nodes, and write anywhere.
        "--cap-drop", "ALL",
    });
    if (status_fd >= 0) {
      options.args.insert(options.args.end(), {"--json-status-fd", "3"});
      options.pass_fds = {status_fd};
    }
    if (limits.memory_bytes || limits.file_bytes) {
      // POSIX counts -f in 512-byte blocks; -d is in KiB wherever it exists.
      // A limit the shell cannot set (a lower hard limit already) is left.
      std::string script;
      if (limits.file_bytes) {
        // One block beyond the bound: a file stopped there is past it, and
        // the read-back refuses it with the workspace-limit error instead
        // of taking a file cut at the bound as what the command wrote.
        script += "ulimit -f " + std::to_string(*limits.file_bytes / 512 + 1) + " 2>/dev/null; ";
      }
      if (limits.memory_bytes) {
        script += "ulimit -d " + std::to_string((*limits.memory_bytes + 1023) / 1024) +
                  " 2>/dev/null; ";
      }
      script += "exec sh -c \"$0\"";
      options.args.insert(options.args.end(), {"--", "sh", "-c", script, std::string(command)});
    } else {
      options.args.insert(options.args.end(), {"--", "sh", "-c", std::string(command)});
    }
    // clang-format on
    options.null_stdin = true;
    return options;
  });
}

std::string work_dir_parent(std::uint64_t workspace_bytes,
                            std::optional<std::uint64_t> max_workspace_mb) {
  // The resolved path of a writable directory outside /tmp, if `path` is one.
  auto usable = [](const std::string& path) -> std::optional<std::string> {
    auto resolved = canonical_path(path);
    struct stat st;
    if (!resolved || *resolved == "/" || path_has_prefix(*resolved, "/tmp") || ::stat(resolved->c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode) || ::access(resolved->c_str(), W_OK | X_OK) != 0) {
      return std::nullopt;
    }
    return resolved;
  };
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
    if (auto dir = usable(tmpdir)) return *dir;
  }
  struct statvfs fs;
  if (auto shm = usable("/dev/shm"); shm && ::statvfs(shm->c_str(), &fs) == 0) {
    const std::uint64_t room = saturating_mul(fs.f_bavail, fs.f_frsize);
    const std::uint64_t largest = std::max(saturating_mul(workspace_bytes, 2),
                                           saturating_mul(max_workspace_mb.value_or(0), kMiB));
    if (room >= saturating_add(largest, 64 * kMiB)) return *shm;
  }
  return "/var/tmp";
}

Result<const Checkpoint*> execute_bash(History& history, const Config& config,
                                       std::string_view command, const LineCallback& on_line,
                                       KeptWorkDir* kept, const RunControl& control) {
  if (auto s = screen_command(config, command); !s) return fail(s.error());
  history.discard_after_current();
  // A workspace that cannot be one directory tree is refused by name before
  // anything is written out.
  if (auto s = guard([&] { return history.check_current_layout(); }); !s) return fail(s.error());
  // Whatever ends this call early, the kept directory may hold what a failed
  // command left, or be half brought in line: the next command starts afresh.
  struct DropUnlessKept {
    KeptWorkDir* kept;
    bool keep = false;
    ~DropUnlessKept() {
      if (kept != nullptr && !keep) kept->drop();
    }
  } dropper{kept};
  // A full history could not keep what the command does: it does not run.
  if (auto s = history.check_checkpoint_limit(); !s) return fail(s.error());
  return guard([&]() -> Result<const Checkpoint*> {
    const FileMap files = history.current().files;
    // The directory of this process below vesk's root in the chosen base; a
    // base whose root cannot be ours (a name another user took first) gives
    // way to /var/tmp.
    std::string base = work_dir_parent(files.total_bytes(), config.max_workspace_mb);
    Result<std::string> own = process_dir(base);
    if (!own && base != "/var/tmp") {
      base = "/var/tmp";
      own = process_dir(base);
    }
    if (!own) return fail(own.error());
    // Room on the file system for everything the command may leave there,
    // reserved before anything is written (room_account.h): a command that
    // would crowd out another session's fails here instead of making that
    // session's writes come out short. A kept directory keeps its
    // reservation until it is dropped. Without max_workspace_mb there is no
    // bound to reserve, and only the workspace itself is counted. /dev/shm,
    // which vesk picks on its own for speed, gives way to /var/tmp when its
    // room is taken; a base the operator chose ($TMPDIR) or /var/tmp does
    // not, and the command fails.
    RoomReservation call_room;
    RoomReservation& room = kept != nullptr ? kept->room() : call_room;
    const std::uint64_t bound = config.max_workspace_mb
                                    ? saturating_mul(*config.max_workspace_mb, kMiB)
                                    : files.total_bytes();
    Status reserved = room.reserve(base, bound, kept != nullptr ? kept->bytes_kept_in(*own) : 0);
    if (!reserved && base != "/var/tmp" && base == canonical_path("/dev/shm").value_or("")) {
      base = "/var/tmp";
      own = process_dir(base);
      if (!own) return fail(own.error());
      reserved = room.reserve(base, bound, kept != nullptr ? kept->bytes_kept_in(*own) : 0);
    }
    if (!reserved) return fail(reserved.error());
    const std::string& parent = *own;
    std::unique_ptr<WorkDir> dir;
    std::string path;
    if (kept != nullptr) {
      auto prepared = kept->prepare(files, parent);
      if (!prepared) return fail(prepared.error());
      path = std::move(*prepared);
    } else {
      auto created = WorkDir::create(parent);
      if (!created) return fail(created.error());
      dir = std::move(*created);
      path = dir->path();
      if (auto s = materialize(files, path); !s) return fail(s.error());
    }
    auto status = make_pipe();
    if (!status) return fail(status.error());
    ShellLimits limits;
    if (config.max_shell_memory_mb != 0) {
      limits.memory_bytes = saturating_mul(config.max_shell_memory_mb, kMiB);
    }
    if (config.max_workspace_mb) limits.file_bytes = saturating_mul(*config.max_workspace_mb, kMiB);
    auto options = sandboxed_sh(command, path, status->write.get(), limits);
    if (!options) return fail(options.error());
    options->cwd = path;
    options->pipe_stdout = true;
    options->pipe_stderr = true;
    options->new_process_group = true;
    std::optional<std::uint64_t> output_limit;
    if (config.max_workspace_mb) output_limit = saturating_mul(*config.max_workspace_mb, kMiB);
    const std::uint64_t timeout_ms = control.limit(config.bash_timeout_ms);
    ShellBounds bounds;
    bounds.memory_bytes = limits.memory_bytes;
    bounds.workspace_bytes = limits.file_bytes;
    bounds.work_dir = path;
    bounds.workspace_start_bytes = files.total_bytes();
    bounds.sandbox_tmpfs = {"/tmp", "/dev/shm", "/dev"};
    for (std::string& hidden : hidden_dirs(path)) bounds.sandbox_tmpfs.push_back(std::move(hidden));
    auto run = run_sandbox(*options, timeout_ms, output_limit, status->read,
                           std::move(status->write), on_line, control.cancel_fd,
                           std::move(bounds));
    if (!run) return fail(run.error());
    run->stderr_text = lossy_utf8(run->stderr_text);
    // A failure keeps what the command printed before it.
    const auto with_output = [&run](Error error) {
      error.with_partial_output(std::move(run->stdout_text), std::move(run->stderr_text));
      return fail(std::move(error));
    };
    if (run->output_exceeded) {
      return with_output(Error::message("command output exceeds the limit of " +
                                        std::to_string(*output_limit) + " bytes (max_workspace_mb = " +
                                        std::to_string(*config.max_workspace_mb) + ")"));
    }
    if (run->overrun == ShellMonitor::Overrun::kMemory) {
      return with_output(Error::message("the shell command went over its memory limit of " +
                                        std::to_string(config.max_shell_memory_mb) +
                                        " MiB (max_shell_memory_mb) and was stopped"));
    }
    if (run->overrun == ShellMonitor::Overrun::kWorkspace) {
      return with_output(Error::message("workspace size " + std::to_string(run->overrun_bytes) +
                                        " bytes exceeds limit of " +
                                        std::to_string(*limits.file_bytes) + " bytes"));
    }
    if (run->cancelled) return with_output(Error::runner(RunnerError::cancelled()));
    if (run->timed_out) return with_output(Error::runner(RunnerError::timeout(timeout_ms)));
    if (!run->command_ran) {
      std::string reason = lossy_utf8(run->stderr_text);
      while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
        reason.pop_back();
      }
      if (reason.empty()) {
        reason = run->bwrap_exit_code
                     ? "bwrap exited with code " + std::to_string(*run->bwrap_exit_code)
                     : std::string("bwrap was killed by a signal");
      }
      return fail_message("shell sandbox could not be set up: " + reason);
    }
    // A write of the command, or of another session's command sharing the
    // file system, may have come out short while it was full: the command
    // may not have noticed, and its result must not be recorded as whole.
    // The file system is looked at once more now: whatever filled it
    // between two looks of the monitor is most likely still there.
    struct statvfs fs;
    if (run->file_system_full ||
        (::statvfs(path.c_str(), &fs) == 0 &&
         static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize <= kFullFileSystemBytes)) {
      return with_output(Error::message(
          "the work directory's file system ran out of space while the command ran (No space "
          "left on device); a write may have come out short, so nothing was recorded"));
    }
    if (kept != nullptr) {
      auto collected = kept->collect(history.limits().max_workspace_mb);
      if (!collected) return fail(collected.error());
      auto appended = history.append_run(std::move(*collected), std::move(run->stdout_text),
                                         std::move(run->stderr_text), /*derived=*/true,
                                         run->exit_code);
      if (!appended) return fail(appended.error());
      // Read from a directory, the files are one tree: the next command need
      // not check every key again.
      history.mark_current_layout_checked();
      // Later differences are taken against the checkpoint's own map, which
      // shares structure with the checkpoints that follow from it.
      kept->set_held((*appended)->files);
      if (kept->exists()) {
        room.set_held((*appended)->files.total_bytes());
      } else {
        room.release();  // collect() read it in full and removed it
      }
      dropper.keep = true;
      return appended;
    }
    auto collected = collect(path, history.limits().max_workspace_mb);
    if (!collected) return fail(collected.error());
    // A large directory is removed while the contents are interned; a small
    // one, or one without a thread, when the WorkDir goes.
    std::unique_ptr<WorkDir> removing = std::move(dir);
    std::thread remover;
    if (worker_count(collected->size()) > 1) {
      try {
        remover = std::thread([&removing] { removing.reset(); });
      } catch (...) {
      }
    }
    struct Join {
      std::thread& thread;
      ~Join() {
        if (thread.joinable()) thread.join();
      }
    } join{remover};
    Result<const Checkpoint*> appended =
        history.append_run(std::move(*collected), std::move(run->stdout_text),
                           std::move(run->stderr_text), /*derived=*/false, run->exit_code);
    if (appended) history.mark_current_layout_checked();
    return appended;
  });
}

}  // namespace vesk
