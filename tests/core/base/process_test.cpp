#include "core/base/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
// glibc 2.36 declares pidfd_open() without C linkage.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "process_test_util.h"
#include "test_util.h"

namespace vesk {
namespace {

using std::chrono::steady_clock;

// Which streams to pipe, and whether the child leads its own group.
enum Flags : unsigned { kNone = 0, kIn = 1, kOut = 2, kErr = 4, kGroup = 8 };

SpawnOptions options(std::string program, std::vector<std::string> args = {},
                     unsigned flags = kNone, std::string cwd = "") {
  SpawnOptions o;
  o.program = std::move(program);
  o.args = std::move(args);
  o.cwd = std::move(cwd);
  o.pipe_stdin = flags & kIn;
  o.pipe_stdout = flags & kOut;
  o.pipe_stderr = flags & kErr;
  o.new_process_group = flags & kGroup;
  return o;
}

Spawned spawn_or_die(SpawnOptions options) {
  auto s = spawn(options);
  if (!s) throw std::runtime_error(options.program + ": " + s.error().message());
  return std::move(*s);
}

// Everything until the end of the stream.
std::string read_all(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

// Whether `fd` reaches its end (the last writer gone) within `seconds`.
bool reaches_eof(int fd, int seconds) {
  const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
  char buf[256];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    if (::read(fd, buf, sizeof buf) == 0) return true;
  }
}

// True once `pid` is no child of ours any more (reaped), within `seconds`.
// A reaper works in the background, so this has to look again now and then.
bool reaped_within(pid_t pid, int seconds) {
  const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
  while (steady_clock::now() < deadline) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
        errno == ECHILD) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(ProcessTest, ExitStatusOfCodesAndSignals) {
  const struct {
    const char* script;
    std::optional<int> code;
    int signal;
  } cases[] = {
      {"exit 0", 0, 0},
      {"exit 3", 3, 0},
      {"kill -KILL $$", std::nullopt, SIGKILL},
      {"kill -TERM $$", std::nullopt, SIGTERM},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.script);
    Spawned s = spawn_or_die(options("sh", {"-c", tc.script}));
    const ExitStatus st = s.child->wait();
    EXPECT_EQ(st.code, tc.code);
    EXPECT_EQ(st.signal, tc.signal);
    // Asking again gives the same answer without touching the pid.
    EXPECT_EQ(s.child->wait().code, tc.code);
    EXPECT_EQ(s.child->try_wait()->signal, tc.signal);
  }
}

TEST(ProcessTest, SpawnFailuresAreOsErrors) {
  TempDir dir;
  const struct {
    const char* name;
    SpawnOptions options;
  } cases[] = {
      {"bare name not on PATH", options("vesk-no-such-program")},
      {"missing path", options("/nonexistent/vesk-program")},
      {"missing working directory", options("true", {}, kNone, (dir.path() / "gone").string())},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto s = spawn(tc.options);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message(), "No such file or directory (os error 2)");
  }
}

TEST(ProcessTest, PipesWorkingDirectoryAndSignalDefaults) {
  TempDir dir;
  // Standard input to standard output, standard error apart, in `cwd`.
  Spawned s = spawn_or_die(
      options("sh", {"-c", "cat; pwd; echo oops >&2"}, kIn | kOut | kErr, dir.path().string()));
  ASSERT_TRUE(write_all(s.stdin_fd.get(), "through\n"));
  s.stdin_fd.reset();
  EXPECT_EQ(read_all(s.stdout_fd.get()), "through\n" + dir.path().string() + "\n");
  EXPECT_EQ(read_all(s.stderr_fd.get()), "oops\n");
  EXPECT_EQ(s.child->wait().code, 0);

  // A host that ignores SIGPIPE (as CPython does) still starts children with
  // the default: a writer whose reader goes away dies of the signal.
  struct sigaction ignore {};
  struct sigaction old {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old), 0);
  Spawned yes = spawn_or_die(options("yes", {}, kOut));
  ::sigaction(SIGPIPE, &old, nullptr);
  char buf[16];
  ASSERT_GT(::read(yes.stdout_fd.get(), buf, sizeof buf), 0);
  yes.stdout_fd.reset();
  EXPECT_EQ(yes.child->wait().signal, SIGPIPE);
}

TEST(ProcessTest, EnvironmentOverridesReplaceOnlyWhatTheyName) {
  ScopedEnv env;
  env.set("VESK_T_REPLACED", "host");
  env.set("VESK_T_KEPT", "host");
  env.set("VESK_T_REPLACED_TOO", "host");
  SpawnOptions o = options("sh", {"-c", "env | grep '^VESK_T_' | LC_ALL=C sort"}, kOut);
  o.env_overrides = {"VESK_T_REPLACED=child", "VESK_T_NEW=new"};
  Spawned s = spawn_or_die(o);
  EXPECT_EQ(read_all(s.stdout_fd.get()),
            "VESK_T_KEPT=host\nVESK_T_NEW=new\nVESK_T_REPLACED=child\nVESK_T_REPLACED_TOO=host\n");
  EXPECT_EQ(s.child->wait().code, 0);
}

TEST(ProcessTest, PipesOfOneChildDoNotLeakIntoTheNext) {
  // `cat` ends when its standard input reaches its end, which it can only do
  // if the child started after it did not inherit the write end.
  Spawned cat = spawn_or_die(options("cat", {}, kIn | kOut));
  Spawned other = spawn_or_die(options("sleep", {"1000"}));
  auto guard = Watchdog::start(cat.child, 30000);
  ASSERT_TRUE(guard);
  cat.stdin_fd.reset();
  EXPECT_TRUE(reaches_eof(cat.stdout_fd.get(), 30));
  EXPECT_EQ(cat.child->wait().code, 0);
  EXPECT_FALSE((*guard)->fired());
  other.child->kill();
  EXPECT_EQ(other.child->wait().signal, SIGKILL);
}

// A child gets the standard streams and exactly the descriptors passed to
// it, at 3, 4, ... in order, whatever numbers they have in the host (low ones
// are moved out of the way first); an inheritable host descriptor stays
// behind, and with null_stdin the host's standard input is not read.
TEST(ProcessTest, DescriptorsReachAChildOnlyWhenPassed) {
  TempDir dir;
  const auto target = dir.path() / "target";
  UniqueFd opened(::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(opened);
  // Inheritable, and above the numbers the child's passed descriptors take.
  UniqueFd leaked(::fcntl(opened.get(), F_DUPFD, 10));
  ASSERT_TRUE(leaked);
  std::vector<Pipe> pipes;
  for (int i = 0; i < 3; ++i) {
    auto p = make_pipe();
    ASSERT_TRUE(p);
    pipes.push_back(std::move(*p));
  }
  auto input = make_pipe();
  ASSERT_TRUE(input);
  ASSERT_TRUE(write_all(input->write.get(), "host input\n"));
  UniqueFd saved_stdin(::dup(STDIN_FILENO));
  ASSERT_EQ(::dup2(input->read.get(), STDIN_FILENO), STDIN_FILENO);

  SpawnOptions o = options("sh",
                           {"-c", "head -c 4; echo a >&3; echo b >&4; echo c >&5; "
                                  "echo leaked 2>/dev/null >/proc/self/fd/" +
                                  std::to_string(leaked.get()) + "; ls /proc/self/fd | sort -n | tr '\\n' ' '"},
                           kOut);
  o.null_stdin = true;
  // Highest first, so that without care placing one would overwrite another.
  o.pass_fds = {pipes[2].write.get(), pipes[1].write.get(), pipes[0].write.get()};
  Spawned s = spawn_or_die(o);
  ::dup2(saved_stdin.get(), STDIN_FILENO);
  for (Pipe& p : pipes) p.write.reset();
  // 0, 1, 2, the three passed, and the directory `ls` reads.
  EXPECT_EQ(read_all(s.stdout_fd.get()), "0 1 2 3 4 5 6 ");
  EXPECT_EQ(s.child->wait().code, 0);
  EXPECT_EQ(read_all(pipes[2].read.get()), "a\n");
  EXPECT_EQ(read_all(pipes[1].read.get()), "b\n");
  EXPECT_EQ(read_all(pipes[0].read.get()), "c\n");
  EXPECT_EQ(std::filesystem::file_size(target), 0u);
  char buffer[32];
  EXPECT_EQ(::read(input->read.get(), buffer, sizeof buffer), 11);

  o.pass_fds = {1000000};
  auto bad = spawn(o);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(), "Bad file descriptor (os error 9)");
}

TEST(ProcessTest, WatchdogKillsOnlyWhenTimeRunsOut) {
  const struct {
    const char* name;
    std::uint64_t timeout_ms;
    bool cancel_first;
    bool fires;
  } cases[] = {
      {"short limit", 50, false, true},
      {"zero limit", 0, false, true},
      {"stood down", 50, true, false},
      {"no practical limit", UINT64_MAX, false, false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Spawned s = spawn_or_die(options("sleep", {"1000"}, kOut));
    auto w = Watchdog::start(s.child, tc.timeout_ms);
    ASSERT_TRUE(w);
    if (tc.cancel_first) (*w)->cancel();
    if (tc.fires) {
      EXPECT_EQ(s.child->wait().signal, SIGKILL);
      EXPECT_TRUE((*w)->fired());
    } else {
      w->reset();  // stands down
      EXPECT_FALSE(s.child->try_wait().has_value());
      s.child->kill();
      s.child->wait();
    }
  }
}

// A cancel descriptor stops the child as its deadline would, whenever it
// becomes readable (or its writer goes); a watchdog stood down first ignores
// it, and the deadline still applies beside it.
TEST(ProcessTest, WatchdogAlsoFiresWhenItsCancelDescriptorBecomesReadable) {
  enum class Act { kWrite, kWriteFirst, kCloseWriter, kStandDownThenWrite, kNothing };
  const struct {
    const char* name;
    Act act;
    std::uint64_t timeout_ms;
    bool fires;
    bool by_fd;
  } cases[] = {
      {"written while armed", Act::kWrite, UINT64_MAX, true, true},
      {"readable before", Act::kWriteFirst, UINT64_MAX, true, true},
      {"writer closed", Act::kCloseWriter, UINT64_MAX, true, true},
      {"stood down first", Act::kStandDownThenWrite, UINT64_MAX, false, false},
      {"deadline beside it", Act::kNothing, 50, true, false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Spawned s = spawn_or_die(options("sleep", {"1000"}, kOut));
    auto pipe = make_pipe();
    ASSERT_TRUE(pipe);
    if (tc.act == Act::kWriteFirst) {
      ASSERT_EQ(::write(pipe->write.get(), "x", 1), 1);
    }
    auto w = Watchdog::start(s.child, tc.timeout_ms, pipe->read.get());
    ASSERT_TRUE(w);
    // The watchdog watches its own copy: the caller's may go at once.
    pipe->read.reset();
    if (tc.act == Act::kStandDownThenWrite) (*w)->cancel();
    if (tc.act == Act::kWrite || tc.act == Act::kStandDownThenWrite) {
      ASSERT_EQ(::write(pipe->write.get(), "x", 1), 1);
    }
    if (tc.act == Act::kCloseWriter) pipe->write.reset();
    if (tc.fires) {
      EXPECT_EQ(s.child->wait().signal, SIGKILL);
    } else {
      // Nothing kills it now; its own end is what is waited for.
      EXPECT_FALSE(s.child->wait_for(std::chrono::milliseconds(300)).has_value());
      s.child->kill();
      s.child->wait();
    }
    EXPECT_EQ((*w)->fired(), tc.fires);
    EXPECT_EQ((*w)->fired_by_cancel_fd(), tc.by_fd);
  }
}

// One thread watches every watchdog: a deadline armed after a later one must
// still wake it in time, and standing one down must leave the others armed.
TEST(ProcessTest, WatchdogsArmedTogetherFireByTheirOwnDeadlines) {
  Spawned slow = spawn_or_die(options("sleep", {"1000"}, kOut));
  Spawned stood_down = spawn_or_die(options("sleep", {"1000"}, kOut));
  Spawned quick = spawn_or_die(options("sleep", {"1000"}, kOut));
  auto long_dog = Watchdog::start(slow.child, 600000);
  auto cancelled = Watchdog::start(stood_down.child, 100);
  auto short_dog = Watchdog::start(quick.child, 200);
  ASSERT_TRUE(long_dog && cancelled && short_dog);
  (*cancelled)->cancel();
  EXPECT_EQ(quick.child->wait().signal, SIGKILL);
  EXPECT_TRUE((*short_dog)->fired());
  EXPECT_FALSE((*cancelled)->fired());
  EXPECT_FALSE((*long_dog)->fired());
  EXPECT_FALSE(stood_down.child->try_wait().has_value());
  EXPECT_FALSE(slow.child->try_wait().has_value());
  for (Spawned* s : {&slow, &stood_down}) {
    s->child->kill();
    s->child->wait();
  }
}

TEST(ProcessTest, ReaderThatSeesTheKillAlwaysFindsTheWatchdogFired) {
  for (int round = 0; round < 20; ++round) {
    Spawned s = spawn_or_die(options("sh", {"-c", "echo up; exec sleep 1000"}, kOut));
    auto w = Watchdog::start(s.child, static_cast<std::uint64_t>(round % 4));
    ASSERT_TRUE(w);
    std::atomic<bool> fired_at_eof{false};
    std::thread reader([&] {
      read_all(s.stdout_fd.get());
      fired_at_eof = (*w)->fired();
    });
    reader.join();
    EXPECT_TRUE(fired_at_eof) << "round " << round;
    EXPECT_EQ(s.child->wait().signal, SIGKILL);
  }
}

TEST(ProcessTest, OneChildSharedByWaitersPollersAndAKiller) {
  Spawned s = spawn_or_die(options("sleep", {"1000"}));
  std::vector<ExitStatus> seen(6);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] { seen[i] = s.child->wait(); });
  }
  for (int i = 3; i < 6; ++i) {
    threads.emplace_back([&, i] {
      std::optional<ExitStatus> st;
      while (!(st = s.child->try_wait())) std::this_thread::yield();
      seen[i] = *st;
    });
  }
  std::thread killer([&] { s.child->kill(); });
  killer.join();
  for (auto& t : threads) t.join();
  for (const ExitStatus& st : seen) {
    EXPECT_FALSE(st.code.has_value());
    EXPECT_EQ(st.signal, SIGKILL);
  }
  EXPECT_TRUE(reaped_within(s.child->pid(), 5));
  s.child->kill();  // after reaping: a no-op, never a signal to a reused pid
}

TEST(ProcessTest, ReapingTheLeaderKillsWhatItLeftInItsGroup) {
  // The background sleep keeps standard output open; it ends only if killed.
  Spawned s = spawn_or_die(options("sh", {"-c", "sleep 1000 & echo started"}, kOut | kGroup));
  EXPECT_EQ(s.child->wait().code, 0);
  EXPECT_TRUE(reaches_eof(s.stdout_fd.get(), 30));

  Spawned k = spawn_or_die(options("sh", {"-c", "sleep 1000 & sleep 1000"}, kOut | kGroup));
  k.child->kill();
  EXPECT_EQ(k.child->wait().signal, SIGKILL);
  EXPECT_TRUE(reaches_eof(k.stdout_fd.get(), 30));
}

TEST(ProcessTest, ExitKillsTheGroupsOfChildrenStartedFromTheLastingThread) {
  // What a sandbox's first process is when the process exits while it
  // starts: one that nothing binds to our lifetime, here a background
  // sleep. It keeps the output open until it is killed.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t forked = ::fork();
  ASSERT_GE(forked, 0);
  if (forked == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    SpawnOptions o = options("sh", {"-c", "sleep 1000 & sleep 1000"}, kGroup);
    o.from_lasting_thread = true;
    auto s = spawn(o);
    if (!s) std::exit(1);
    const std::string group = std::to_string(s->child->pid()) + "\n";
    std::exit(::write(STDOUT_FILENO, group.data(), group.size()) > 0 ? 0 : 1);
  }
  ::close(out[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(forked, &status, 0), forked);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  char line[32] = {};
  ASSERT_GT(::read(out[0], line, sizeof line - 1), 0);
  if (!reaches_eof(out[0], 30)) {
    ADD_FAILURE() << "the child's group outlived the process";
    ::kill(-std::atoi(line), SIGKILL);  // leaves nothing that holds the test's output
  }
  ::close(out[0]);
}

TEST(ProcessTest, AbandonedChildrenAreReapedInTheBackground) {
  // One that has ended already, and one still running when dropped.
  Spawned done = spawn_or_die(options("true"));
  const pid_t done_pid = done.child->pid();
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(done_pid), &info, WEXITED | WNOWAIT), 0);
  done.child.reset();
  EXPECT_TRUE(reaped_within(done_pid, 30));

  std::vector<pid_t> pids;
  std::vector<UniqueFd> inputs;
  for (int i = 0; i < 5; ++i) {
    Spawned cat = spawn_or_die(options("cat", {}, kIn));
    pids.push_back(cat.child->pid());
    inputs.push_back(std::move(cat.stdin_fd));
  }
  inputs.clear();  // each cat now ends on its own, after its Child is gone
  for (pid_t pid : pids) EXPECT_TRUE(reaped_within(pid, 30)) << pid;
}

TEST(ProcessTest, ALentProcessIsKilledAndAwaitedThroughItsPidfdsOnly) {
  // Started here (the parent keeps and reaps them); the lent Child only
  // holds pidfds, as a worker does of a runner its server's keeper lent.
  Spawned outer = spawn_or_die(options("sleep", {"1000"}));
  Spawned inner = spawn_or_die(options("sleep", {"1000"}));
  auto lent = std::make_shared<Child>(outer.child->pid(),
                                      UniqueFd(::pidfd_open(outer.child->pid(), 0)),
                                      UniqueFd(::pidfd_open(inner.child->pid(), 0)));
  EXPECT_FALSE(lent->try_wait());
  std::thread waiter([&] { EXPECT_FALSE(lent->wait().code.has_value()); });
  lent->kill();
  waiter.join();
  EXPECT_TRUE(lent->try_wait());
  // Both ended by the kill, and neither was reaped by the lent Child: their
  // parent still gets their statuses.
  EXPECT_EQ(outer.child->wait().signal, SIGKILL);
  EXPECT_EQ(inner.child->wait().signal, SIGKILL);
  lent->kill();  // once ended: a no-op

  // One that ends by itself is seen to; dropping the lent Child leaves it
  // to its parent.
  Spawned done = spawn_or_die(options("true"));
  auto ended = std::make_shared<Child>(done.child->pid(),
                                       UniqueFd(::pidfd_open(done.child->pid(), 0)), UniqueFd());
  ended->wait();
  ended.reset();
  EXPECT_EQ(done.child->wait().code, 0);
}

class FindOnPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* p = std::getenv("PATH");
    saved_ = p ? p : "";
  }
  void TearDown() override { ::setenv("PATH", saved_.c_str(), 1); }

  std::string make(const std::filesystem::path& dir, const char* name, mode_t mode) {
    const auto path = dir / name;
    std::ofstream(path) << "#!/bin/sh\n";
    ::chmod(path.c_str(), mode);
    return path.string();
  }

  std::string saved_;
  TempDir first_, second_;
};

TEST_F(FindOnPathTest, FirstExecutableRegularFileWins) {
  make(first_.path(), "tool", 0644);  // not executable: skipped
  const std::string tool = make(second_.path(), "tool", 0755);
  std::filesystem::create_directory(first_.path() / "dir");
  make(second_.path(), "dir", 0755);
  const std::string only = make(first_.path(), "only", 0700);
  ::setenv("PATH", (first_.path().string() + ":" + second_.path().string()).c_str(), 1);
  EXPECT_EQ(find_on_path("tool"), tool);
  EXPECT_EQ(find_on_path("dir"), (second_.path() / "dir").string());
  EXPECT_EQ(find_on_path("only"), only);
  EXPECT_EQ(find_on_path("missing"), std::nullopt);
  ::unsetenv("PATH");
  EXPECT_EQ(find_on_path("tool"), std::nullopt);
}

}  // namespace
}  // namespace vesk
