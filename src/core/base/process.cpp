// The implementation of process.h; its role and contract are stated there.

#include "core/base/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
// glibc 2.36 declares pidfd_open() without C linkage; in C++ the call would
// then name a mangled symbol that does not exist.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

extern char** environ;

namespace vesk {

namespace {

ExitStatus decode_status(int status) {
  ExitStatus s;
  if (WIFEXITED(status)) {
    s.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    s.signal = WTERMSIG(status);
  }
  return s;
}

// Whether `pid` lives in a pid namespace below this process's: its NSpid
// line names more than one id. With `ended_only`, only when it has ended
// (a zombie, whose id cannot pass to another process before it is reaped).
bool in_inner_namespace(pid_t pid, bool ended_only) {
  if (ended_only) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    // The command name may hold anything, ") " included: the state follows
    // the last one.
    const std::size_t close = text.rfind(") ");
    if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z') {
      return false;
    }
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with("NSpid:")) continue;
    std::istringstream ids(line.substr(6));
    int count = 0;
    for (long id; ids >> id;) ++count;
    return count > 1;
  }
  return false;
}

// The children of this process that live in inner pid namespaces: sandbox
// processes that came to it, a subreaper, when their bubblewrap parent
// ended. No process this one started itself lives in another namespace.
// Empty unless this process is a subreaper.
std::vector<pid_t> sandbox_orphans(bool ended_only) {
  std::vector<pid_t> orphans;
  int subreaper = 0;
  if (::prctl(PR_GET_CHILD_SUBREAPER, &subreaper) != 0 || subreaper == 0) return orphans;
  std::unique_ptr<DIR, int (*)(DIR*)> tasks(::opendir("/proc/self/task"), &::closedir);
  if (!tasks) return orphans;
  while (const dirent* task = ::readdir(tasks.get())) {
    if (task->d_name[0] == '.') continue;
    std::ifstream list(std::string("/proc/self/task/") + task->d_name + "/children");
    for (pid_t pid; list >> pid;) {
      if (in_inner_namespace(pid, ended_only)) orphans.push_back(pid);
    }
  }
  return orphans;
}

void adopt_sandbox_orphans();

// Reaps children that nobody waits for any more. One thread, started when the
// first such child arrives and ending when none is left, so an idle host keeps
// no extra thread. It watches each child through a pidfd and reaps it with
// waitpid(pid) once it has ended.
class Reaper {
 public:
  static Reaper& instance() {
    // Never destroyed: the thread may still run while static destructors do.
    static Reaper* reaper = new Reaper();
    return *reaper;
  }

  void adopt(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    std::lock_guard<std::mutex> lock(mu_);
    pending_.push_back(pid);
    wake_locked();
  }

  // Takes the pidfds of the children of a process being killed: they come
  // to this process (a subreaper) when it ends, and are reaped through
  // their pidfds, so that a pid given to another process meanwhile is never
  // waited for.
  void watch_orphans(std::vector<UniqueFd> fds) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto give_up = std::chrono::steady_clock::now() + kOrphanPatience;
    for (UniqueFd& fd : fds) orphans_.push_back({std::move(fd), give_up});
    wake_locked();
  }

 private:
  // How long a sandbox process that has ended but is not (yet) ours is
  // looked at again: its bubblewrap may still be ending, or may reap it.
  static constexpr std::chrono::seconds kOrphanPatience{10};

  struct Orphan {
    UniqueFd pidfd;
    std::chrono::steady_clock::time_point give_up;
  };

  Reaper() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  void wake_locked() {
    if (wake_.valid()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }
    if (!running_) {
      try {
        std::thread(&Reaper::run, this).detach();
        running_ = true;
      } catch (...) {
        // Without a thread the child is reaped the next time one is adopted.
      }
    }
  }

  // Whether any was reaped.
  bool reap_orphans_locked() {
    const auto now = std::chrono::steady_clock::now();
    return std::erase_if(orphans_, [now](const Orphan& o) {
             siginfo_t info{};
             if (::waitid(P_PIDFD, static_cast<id_t>(o.pidfd.get()), &info, WEXITED | WNOHANG) ==
                 0) {
               return info.si_pid != 0;  // reaped; otherwise ours and still running
             }
             return errno != ECHILD || now >= o.give_up;
           }) > 0;
  }

  void run() {
    for (;;) {
      bool reaped;
      {
        std::lock_guard<std::mutex> lock(mu_);
        reaped = reap_finished_locked();
        reap_orphans_locked();
      }
      // A bubblewrap that ended may have left its sandbox's first process
      // to this one: it is watched from now on, and reaped when it ends.
      if (reaped) adopt_sandbox_orphans();
      std::vector<pid_t> pids;
      std::vector<int> orphans;
      {
        std::lock_guard<std::mutex> lock(mu_);
        reap_finished_locked();
        if (pending_.empty() && orphans_.empty()) {
          running_ = false;
          return;
        }
        pids = pending_;
        for (const Orphan& o : orphans_) orphans.push_back(o.pidfd.get());
      }
      // The pidfds stay open meanwhile: only this thread erases orphans.
      wait_for_any(pids, orphans);
    }
  }

  // Whether any was reaped.
  bool reap_finished_locked() {
    return std::erase_if(pending_, [](pid_t pid) {
             int status = 0;
             const pid_t r = ::waitpid(pid, &status, WNOHANG);
             return r == pid || (r < 0 && errno == ECHILD);
           }) > 0;
  }

  // Blocks until one of `pids` or `orphans` ends or a new child is adopted.
  void wait_for_any(const std::vector<pid_t>& pids, const std::vector<int>& orphans) {
    std::vector<UniqueFd> owned;
    std::vector<pollfd> fds;
    for (pid_t pid : pids) {
      UniqueFd fd(::pidfd_open(pid, 0));
      if (!fd) continue;
      fds.push_back({fd.get(), POLLIN, 0});
      owned.push_back(std::move(fd));
    }
    // An orphan that has ended but is not ours yet is looked at again now
    // and then (its pidfd stays readable); the others are waited for.
    bool ended_elsewhere = false;
    for (int fd : orphans) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) {
        ended_elsewhere = true;
      } else {
        fds.push_back({fd, POLLIN, 0});
      }
    }
    if (wake_.valid()) fds.push_back({wake_.get(), POLLIN, 0});
    // Without pidfds (old kernels) fall back to looking again now and then.
    const int timeout =
        owned.size() == pids.size() && wake_.valid() && !ended_elsewhere ? -1 : 50;
    ::poll(fds.data(), fds.size(), timeout);
    if (wake_.valid()) {
      std::uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
    }
  }

  std::mutex mu_;
  std::vector<pid_t> pending_;
  std::vector<Orphan> orphans_;
  bool running_ = false;
  UniqueFd wake_;
};

void adopt_sandbox_orphans() {
  for (pid_t pid : sandbox_orphans(false)) Reaper::instance().adopt(pid);
}

// Pidfds of the children of `pid` (a bubblewrap about to be killed: the
// runner or the sandbox it started) when this process is a subreaper: they
// come to it once `pid` ends, and once they have ended nothing tells them
// from the host's other children, so they are taken while they run.
std::vector<UniqueFd> children_to_inherit(pid_t pid) {
  std::vector<UniqueFd> found;
  int subreaper = 0;
  if (::prctl(PR_GET_CHILD_SUBREAPER, &subreaper) != 0 || subreaper == 0) return found;
  const std::string tasks_path = "/proc/" + std::to_string(pid) + "/task";
  std::unique_ptr<DIR, int (*)(DIR*)> tasks(::opendir(tasks_path.c_str()), &::closedir);
  if (!tasks) return found;
  while (const dirent* task = ::readdir(tasks.get())) {
    if (task->d_name[0] == '.') continue;
    std::ifstream list(tasks_path + "/" + task->d_name + "/children");
    for (pid_t child; list >> child;) {
      if (UniqueFd fd(::pidfd_open(child, 0)); fd) found.push_back(std::move(fd));
    }
  }
  return found;
}

}  // namespace

Child::~Child() {
  if (!status_ && !lent()) Reaper::instance().adopt(pid_);
}

bool Child::lent_ended(bool block) const {
  pollfd p{pidfd_.get(), POLLIN, 0};
  int ready;
  while ((ready = ::poll(&p, 1, block ? -1 : 0)) < 0 && errno == EINTR) {
  }
  return ready != 0;  // an error too: nothing more can be learnt of it
}

void Child::kill() {
  std::lock_guard<std::mutex> lock(mu_);
  if (status_) return;
  if (lent()) {
    if (inner_pidfd_) ::pidfd_send_signal(inner_pidfd_.get(), SIGKILL, nullptr, 0);
    ::pidfd_send_signal(pidfd_.get(), SIGKILL, nullptr, 0);
    return;
  }
  std::vector<UniqueFd> sandbox = children_to_inherit(pid_);
  if (own_group_) ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  if (!sandbox.empty()) Reaper::instance().watch_orphans(std::move(sandbox));
}

std::optional<ExitStatus> Child::try_wait() {
  std::lock_guard<std::mutex> lock(mu_);
  if (status_) return status_;
  if (lent()) {
    if (lent_ended(false)) status_ = ExitStatus{};
    return status_;
  }
  // Look first without reaping, so that the group can still be addressed by
  // the leader's pid when its leftovers are killed.
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid != pid_) {
    return std::nullopt;
  }
  if (own_group_) ::kill(-pid_, SIGKILL);
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
  status_ = decode_status(status);
  adopt_sandbox_orphans();
  return status_;
}

ExitStatus Child::wait() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (status_) return *status_;
  }
  if (lent()) {
    lent_ended(true);
    std::lock_guard<std::mutex> lock(mu_);
    status_ = ExitStatus{};
    return *status_;
  }
  // Wait without the lock and without reaping: a watchdog must still be able
  // to kill meanwhile, and the pid stays ours (a zombie) until reaped below.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 &&
         errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (status_) return *status_;
  if (own_group_) ::kill(-pid_, SIGKILL);
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  status_ = r == pid_ ? decode_status(status) : ExitStatus{};
  adopt_sandbox_orphans();
  return *status_;
}

std::optional<ExitStatus> Child::wait_for(std::chrono::milliseconds limit) {
  if (std::optional<ExitStatus> status = try_wait()) return status;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (status_) return status_;
  }
  // A pidfd of our own: readable once the process has ended. A lent one
  // has its own already.
  UniqueFd own(lent() ? -1 : ::pidfd_open(pid_, 0));
  const int fd = lent() ? pidfd_.get() : own.get();
  if (fd < 0) return try_wait();
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    return try_wait();
  }
}

namespace {

// posix_spawn file actions and attributes, released on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
};

}  // namespace

void reap_orphaned_sandbox_processes() {
  for (pid_t pid : sandbox_orphans(true)) {
    int status = 0;
    (void)::waitpid(pid, &status, WNOHANG);
  }
}

namespace {

void register_exit_hook();

// The thread that starts children for SpawnOptions::from_lasting_thread. It
// runs while any child it started is held (each Child holds a token that
// counts it) or a start is asked for, and then ends, so that an idle
// process keeps no thread of ours; the next start makes a new one. The lock
// is held only to hand a job over, never while a child starts.
//
// When the process exits (exit_hook below), every child still held is killed
// with its process group. --die-with-parent would kill bubblewrap, but bubblewrap binds
// itself to its parent only after it has made the sandbox's process, and
// that process waits for a word from it before binding itself in turn: a
// process that exits while a runner starts (a spare, say) would leave the
// sandbox's process waiting for ever, holding the host's output open.
struct LastingSpawner {
  struct Job {
    const SpawnOptions* options;
    std::optional<Result<Spawned>> result;
  };
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Job*> jobs;
  std::size_t held = 0;
  bool running = false;
  bool starting = false;  // a child is being started: its id is not known yet
  pid_t owner = 0;
  // The children held, by id, and whether each leads its own group.
  std::map<pid_t, bool> children;
  bool exiting = false;  // no start any more

  static LastingSpawner& instance() {
    static auto* spawner = new LastingSpawner;  // never destroyed: its thread may outlive statics
    return *spawner;
  }

  void release(pid_t in, pid_t child) {
    std::lock_guard<std::mutex> lock(mu);
    // A token copied into a forked child counts nothing there.
    if (in != owner || held == 0) return;
    --held;
    children.erase(child);
    cv.notify_all();
  }

  // At exit: refuses further starts, waits a little for one under way, and
  // kills what is held.
  void kill_held() {
    std::unique_lock<std::mutex> lock(mu);
    if (owner != ::getpid()) return;
    exiting = true;
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return !starting; });
    for (const auto& [pid, own_group] : children) {
      siginfo_t info{};
      // Only an id that is still a child of ours (running, or a zombie left
      // for the reaper) is signalled: one reaped meanwhile may have gone to
      // another process. WNOWAIT leaves the reaping to its owner.
      if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        continue;
      }
      if (own_group) ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
    }
  }

  void serve() {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
      cv.wait(lock, [&] { return !jobs.empty() || held == 0; });
      if (jobs.empty()) {
        running = false;
        return;
      }
      Job* job = jobs.front();
      jobs.pop_front();
      ++held;  // before the start, so that the thread cannot end meanwhile
      starting = true;
      lock.unlock();
      SpawnOptions options = *job->options;
      options.from_lasting_thread = false;
      Result<Spawned> spawned = guard([&] { return spawn(options); });
      const pid_t me = ::getpid();
      if (spawned) {
        const pid_t pid = spawned->child->pid();
        spawned->child->hold(
            std::shared_ptr<void>(nullptr, [this, me, pid](void*) { release(me, pid); }));
      }
      lock.lock();
      starting = false;
      if (!spawned) --held;
      if (spawned) children.emplace(spawned->child->pid(), options.new_process_group);
      job->result = std::move(spawned);
      cv.notify_all();
    }
  }

  Result<Spawned> run(const SpawnOptions& options) {
    Job job{&options, std::nullopt};
    std::unique_lock<std::mutex> lock(mu);
    if (owner != ::getpid()) {
      // A forked child has no thread of its parent's, and holds none of its
      // children.
      jobs.clear();
      held = 0;
      running = false;
      starting = false;
      children.clear();
      exiting = false;
      owner = ::getpid();
      register_exit_hook();
    }
    if (exiting) return fail(Error::internal("no runner starts while the process exits"));
    if (!running) {
      try {
        std::thread([this] { serve(); }).detach();
      } catch (...) {
        return fail(Error::internal("the thread that starts runners could not be started"));
      }
      running = true;
    }
    jobs.push_back(&job);
    cv.notify_all();
    cv.wait(lock, [&] { return job.result.has_value(); });
    return std::move(*job.result);
  }
};

// The detached work under way (background_work()), for the exit to wait on.
struct BackgroundWork {
  std::mutex mu;
  std::condition_variable cv;
  std::size_t held = 0;
  bool exiting = false;
  pid_t owner = 0;

  static BackgroundWork& instance() {
    static auto* work = new BackgroundWork;  // never destroyed: tokens may outlive statics
    return *work;
  }

  // Resets what a forked child copied of its parent: none of its threads.
  void adopt() {
    if (owner == ::getpid()) return;
    held = 0;
    exiting = false;
    owner = ::getpid();
  }
};

void exit_hook() {
  BackgroundWork& work = BackgroundWork::instance();
  {
    std::lock_guard<std::mutex> lock(work.mu);
    work.adopt();
    work.exiting = true;
  }
  LastingSpawner::instance().kill_held();
  std::unique_lock<std::mutex> lock(work.mu);
  work.cv.wait_for(lock, std::chrono::seconds(10), [&] { return work.held == 0; });
}

// Once per process, and only after the first start or token: the exit hook
// must run before the static objects that such work uses are destroyed,
// and exit handlers run in the reverse order of their registration. A
// forked child inherits the registration.
void register_exit_hook() {
  static const bool registered = std::atexit(exit_hook) == 0;
  (void)registered;
}

}  // namespace

std::shared_ptr<void> background_work() {
  BackgroundWork& work = BackgroundWork::instance();
  std::lock_guard<std::mutex> lock(work.mu);
  work.adopt();
  if (work.exiting) return nullptr;
  register_exit_hook();
  ++work.held;
  const pid_t owner = work.owner;
  return std::shared_ptr<void>(reinterpret_cast<void*>(1), [owner](void*) {
    BackgroundWork& w = BackgroundWork::instance();
    std::lock_guard<std::mutex> released(w.mu);
    if (w.owner != owner || w.held == 0) return;  // a forked child's copy
    --w.held;
    w.cv.notify_all();
  });
}

Result<Spawned> spawn(const SpawnOptions& options) {
  if (options.from_lasting_thread) return LastingSpawner::instance().run(options);
  // Each new child is a moment to reap what earlier sandboxes left.
  reap_orphaned_sandbox_processes();
  Spawned out;
  Pipe in_pipe, out_pipe, err_pipe;
  SpawnSetup setup;
  // The child's descriptors 0 .. first_closed-1 are set up in order; every
  // source is first lifted above that range (a copy, close-on-exec), so no
  // dup2 onto a target can overwrite a source not yet placed, whatever
  // numbers the host happened to hand out.
  const int first_closed = 3 + static_cast<int>(options.pass_fds.size());
  std::vector<UniqueFd> lifted;
  lifted.reserve(options.pass_fds.size() + 3);
  auto lift = [&](int fd) -> Result<int> {
    if (fd >= first_closed) return fd;
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, first_closed));
    if (!copy) return fail(Error::last_os_error());
    lifted.push_back(std::move(copy));
    return lifted.back().get();
  };
  auto place = [&](int fd, int target) -> Status {
    auto source = lift(fd);
    if (!source) return fail(source.error());
    // dup2 onto the target clears its close-on-exec flag; the source stays
    // close-on-exec and vanishes at exec.
    if (int e = posix_spawn_file_actions_adddup2(&setup.actions, *source, target); e != 0) {
      return fail(Error::os(e));
    }
    return {};
  };
  auto connect = [&](bool piped, Pipe* pipe, int target, bool child_reads) -> Status {
    if (!piped) return {};
    auto p = make_pipe();
    if (!p) return fail(p.error());
    *pipe = std::move(*p);
    return place(child_reads ? pipe->read.get() : pipe->write.get(), target);
  };
  if (auto s = connect(options.pipe_stdin, &in_pipe, STDIN_FILENO, true); !s) return fail(s.error());
  if (auto s = connect(options.pipe_stdout, &out_pipe, STDOUT_FILENO, false); !s) {
    return fail(s.error());
  }
  if (auto s = connect(options.pipe_stderr, &err_pipe, STDERR_FILENO, false); !s) {
    return fail(s.error());
  }
  if (!options.pipe_stdin && options.null_stdin) {
    if (int e = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null",
                                                 O_RDONLY, 0);
        e != 0) {
      return fail(Error::os(e));
    }
  }
  for (std::size_t i = 0; i < options.pass_fds.size(); ++i) {
    if (auto s = place(options.pass_fds[i], 3 + static_cast<int>(i)); !s) return fail(s.error());
  }
  if (int e = posix_spawn_file_actions_addclosefrom_np(&setup.actions, first_closed); e != 0) {
    return fail(Error::os(e));
  }
  if (!options.cwd.empty()) {
    if (int e = posix_spawn_file_actions_addchdir_np(&setup.actions, options.cwd.c_str()); e != 0) {
      return fail(Error::os(e));
    }
  }

  // The host may ignore SIGPIPE (CPython does); children start with the
  // default dispositions and an empty signal mask, as from a shell.
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  posix_spawnattr_setsigmask(&setup.attr, &empty);
  if (options.new_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&setup.attr, 0);
  }
  posix_spawnattr_setflags(&setup.attr, flags);

  std::vector<char*> argv;
  argv.reserve(options.args.size() + 2);
  argv.push_back(const_cast<char*>(options.program.c_str()));
  for (const std::string& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  char** env = environ;
  std::vector<char*> envp;
  if (!options.env_overrides.empty()) {
    auto overridden = [&](std::string_view entry) {
      const std::string_view name = entry.substr(0, entry.find('=') + 1);
      return std::any_of(options.env_overrides.begin(), options.env_overrides.end(),
                         [&](const std::string& o) { return o.starts_with(name); });
    };
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      if (!overridden(*e)) envp.push_back(*e);
    }
    for (const std::string& o : options.env_overrides) envp.push_back(const_cast<char*>(o.c_str()));
    envp.push_back(nullptr);
    env = envp.data();
  }

  pid_t pid = -1;
  const int e = options.program.find('/') == std::string::npos
                    ? posix_spawnp(&pid, options.program.c_str(), &setup.actions, &setup.attr,
                                   argv.data(), env)
                    : posix_spawn(&pid, options.program.c_str(), &setup.actions, &setup.attr,
                                  argv.data(), env);
  if (e != 0) return fail(Error::os(e));

  out.child = std::make_shared<Child>(pid, options.new_process_group);
  out.stdin_fd = std::move(in_pipe.write);
  out.stdout_fd = std::move(out_pipe.read);
  out.stderr_fd = std::move(err_pipe.read);
  return out;
}

std::optional<std::string> find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string_view rest(path);
  for (;;) {
    const std::size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    // An empty entry means the current directory.
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

namespace {

// Limits beyond this are treated as no limit rather than overflowing the clock.
constexpr std::uint64_t kMaxTimeoutMs = std::uint64_t{1} << 50;

}  // namespace

struct Watchdog::Armed {
  std::shared_ptr<Child> child;
  std::chrono::steady_clock::time_point deadline;  // max: none
  UniqueFd cancel_fd;  // the watchdog's own copy; invalid when none
  mutable std::mutex mu;  // held while the watcher decides and kills
  bool cancelled = false;
  bool fired = false;
  bool by_cancel_fd = false;
};

namespace {

using WatchClock = std::chrono::steady_clock;

// The armed watchdogs by deadline, and the thread that kills the children of
// those whose time passes or whose descriptor becomes readable. Never
// destroyed: the thread may outlive static destruction.
struct Watcher {
  std::mutex mu;
  std::multimap<WatchClock::time_point, std::shared_ptr<Watchdog::Armed>> armed;
  UniqueFd wake_fd;  // an eventfd that interrupts the thread's poll
  pid_t owner = 0;  // the process whose thread watches; 0 before the first
  bool running = false;
  // When the thread looks next if nobody wakes it; max while it waits for a
  // notification.
  WatchClock::time_point wake = WatchClock::time_point::max();

  void notify() {
    if (!wake_fd) return;  // no thread polls
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd.get(), &one, sizeof one);
  }
};

Watcher& watcher() {
  static Watcher* w = new Watcher();
  return *w;
}

// Milliseconds until `at` for poll(), rounded up; -1 for never.
int poll_ms_until(WatchClock::time_point at) {
  if (at == WatchClock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - WatchClock::now()).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX));
}

void fire(Watchdog::Armed& armed, bool by_cancel_fd) {
  std::lock_guard<std::mutex> hold(armed.mu);
  if (armed.cancelled || armed.fired) return;
  // Set before the kill, so that whoever sees the process end because of
  // it finds the mark.
  armed.fired = true;
  armed.by_cancel_fd = by_cancel_fd;
  armed.child->kill();
}

void watch(Watcher* w) {
  // Named so that a look at the process (a leak check, an operator) can tell
  // this thread, which comes and goes with the time limits, from others.
  ::pthread_setname_np(::pthread_self(), Watchdog::kWatchThreadName);
  std::unique_lock<std::mutex> lock(w->mu);
  for (;;) {
    std::vector<std::shared_ptr<Watchdog::Armed>> due;
    const WatchClock::time_point now = WatchClock::now();
    while (!w->armed.empty() && w->armed.begin()->first <= now) {
      due.push_back(std::move(w->armed.begin()->second));
      w->armed.erase(w->armed.begin());
    }
    if (!due.empty()) {
      lock.unlock();
      for (const auto& armed : due) fire(*armed, false);
      lock.lock();
      continue;
    }
    if (w->armed.empty() && (w->wake == WatchClock::time_point::max() || now >= w->wake)) {
      // Woken at a deadline that was stood down (or by a stood-down
      // descriptor), and nothing is armed. An idle host keeps neither the
      // thread nor its descriptor.
      w->running = false;
      w->wake = WatchClock::time_point::max();
      w->wake_fd.reset();
      return;
    }
    if (!w->armed.empty()) w->wake = w->armed.begin()->first;
    // The descriptors are polled through references held for the wait, so
    // a watchdog stood down meanwhile cannot close one under the poll.
    std::vector<std::shared_ptr<Watchdog::Armed>> polled;
    std::vector<pollfd> fds{{w->wake_fd.get(), POLLIN, 0}};
    for (const auto& [deadline, armed] : w->armed) {
      if (!armed->cancel_fd) continue;
      polled.push_back(armed);
      fds.push_back({armed->cancel_fd.get(), POLLIN, 0});
    }
    const int timeout = poll_ms_until(w->wake);
    lock.unlock();
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready > 0 && fds[0].revents != 0) {
      std::uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(w->wake_fd.get(), &count, sizeof count);
    }
    for (std::size_t i = 1; ready > 0 && i < fds.size(); ++i) {
      // Readable, hung up or broken: each stops the run.
      if (fds[i].revents != 0) fire(*polled[i - 1], true);
    }
    lock.lock();
    for (std::size_t i = 1; ready > 0 && i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto [first, last] = w->armed.equal_range(polled[i - 1]->deadline);
      for (auto it = first; it != last; ++it) {
        if (it->second == polled[i - 1]) {
          w->armed.erase(it);
          break;
        }
      }
    }
  }
}

}  // namespace

bool RunControl::cancel_requested() const {
  if (cancel_fd < 0) return false;
  pollfd p{cancel_fd, POLLIN, 0};
  int ready;
  while ((ready = ::poll(&p, 1, 0)) < 0 && errno == EINTR) {
  }
  return ready != 0;
}

Result<std::unique_ptr<Watchdog>> Watchdog::start(std::shared_ptr<Child> child,
                                                  std::uint64_t timeout_ms, int cancel_fd) {
  return guard([&]() -> Result<std::unique_ptr<Watchdog>> {
    auto armed = std::make_shared<Armed>();
    armed->child = std::move(child);
    if (cancel_fd >= 0) {
      armed->cancel_fd = UniqueFd(::fcntl(cancel_fd, F_DUPFD_CLOEXEC, 3));
      if (!armed->cancel_fd) return fail(Error::last_os_error());
    }
    std::unique_ptr<Watchdog> dog(new Watchdog(armed));
    // A limit this long never passes: without a descriptor, nothing to watch.
    armed->deadline = timeout_ms >= kMaxTimeoutMs
                          ? WatchClock::time_point::max()
                          : WatchClock::now() + std::chrono::milliseconds(timeout_ms);
    if (armed->deadline == WatchClock::time_point::max() && !armed->cancel_fd) return dog;
    Watcher& w = watcher();
    bool notify = false;
    {
      std::lock_guard<std::mutex> lock(w.mu);
      if (w.owner != ::getpid()) {
        // A forked child has no thread of its parent's and none of its dogs;
        // the eventfd it inherited is its parent's too.
        w.armed.clear();
        w.running = false;
        w.wake = WatchClock::time_point::max();
        w.wake_fd = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        w.owner = ::getpid();
      }
      if (!w.wake_fd) {
        w.wake_fd = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!w.wake_fd) return fail(Error::last_os_error());
      }
      if (!w.running) {
        try {
          std::thread(watch, &w).detach();
        } catch (...) {
          return fail(Error::internal("the watchdog thread could not be started"));
        }
        w.running = true;
      }
      w.armed.emplace(armed->deadline, armed);
      // Only a deadline before the one the thread sleeps towards, or a new
      // descriptor, needs it awake; a later deadline is found when it wakes.
      notify = armed->deadline < w.wake || armed->cancel_fd;
      if (armed->deadline < w.wake) w.wake = armed->deadline;
      if (notify) w.notify();
    }
    return dog;
  });
}

void Watchdog::cancel() {
  {
    std::lock_guard<std::mutex> hold(armed_->mu);
    if (armed_->cancelled) return;
    armed_->cancelled = true;
  }
  Watcher& w = watcher();
  std::lock_guard<std::mutex> lock(w.mu);
  auto [first, last] = w.armed.equal_range(armed_->deadline);
  for (auto it = first; it != last; ++it) {
    if (it->second == armed_) {
      w.armed.erase(it);
      // The thread stops polling the descriptor at once rather than at its
      // next wake.
      if (armed_->cancel_fd) w.notify();
      break;
    }
  }
}

bool Watchdog::fired() const {
  std::lock_guard<std::mutex> hold(armed_->mu);
  return armed_->fired;
}

bool Watchdog::fired_by_cancel_fd() const {
  std::lock_guard<std::mutex> hold(armed_->mu);
  return armed_->fired && armed_->by_cancel_fd;
}

Watchdog::~Watchdog() { cancel(); }

}  // namespace vesk
