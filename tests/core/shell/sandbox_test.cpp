#include "core/shell/sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/shell/file_watches.h"
#include "core/exchange/fs_tree.h"
#include "core/exchange/host_dirs.h"
#include "core/base/io.h"
#include "core/shell/kept_dir.h"
#include "core/shell/room_account.h"
#include "core/exchange/workspace.h"
#include "host_files.h"
#include "test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

// Swaps two names in one step (renameat2 with RENAME_EXCHANGE, which
// coreutils' mv cannot do here) through the host's python3, which the sandbox
// sees as it sees every host program. A helper built into the build tree
// would be hidden from commands when the tree lies below /tmp.
#define VESK_RENAME_EXCHANGE                                               \
  "python3 -c 'import ctypes, sys; libc = ctypes.CDLL(None, use_errno=True); " \
  "sys.exit(libc.renameat2(-100, sys.argv[1].encode(), -100, sys.argv[2].encode(), 2) != 0)'"

// Sets an environment variable for the scope and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

bool dir_is_empty(const fs::path& dir) {
  return fs::directory_iterator(dir) == fs::directory_iterator();
}

// The directory below vesk's root in `base` where this process keeps its
// work directories.
fs::path own_dir(const fs::path& base) {
  auto dir = process_dir(fs::canonical(base).string());
  if (!dir) throw std::runtime_error(dir.error().message());
  return *dir;
}

// Whether `base` holds no work directory: nothing but vesk's root, and in it
// this process's directory, empty.
bool holds_no_work_dir(const fs::path& base) {
  for (const auto& entry : fs::directory_iterator(base)) {
    if (entry.path().filename() != "vesk-" + std::to_string(::geteuid())) return false;
  }
  return dir_is_empty(own_dir(base));
}

// A text unlikely to occur in any other process's command line.
std::string unique_token() {
  std::random_device rd;
  return std::to_string(100000 + rd() % 800000);
}

// True once no live (non-zombie) process has `needle` in its command line;
// gives the kernel up to ten seconds to finish killing.
bool no_process_with(const std::string& needle) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    bool found = false;
    // A process may end while it is being looked at: its files then fail
    // to read (with an exception, from a stream), and it counts as gone.
    const auto slurp = [](const fs::path& path) {
      try {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      } catch (const std::exception&) {
        return std::string();
      }
    };
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      const std::string pid = entry.path().filename();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (slurp(entry.path() / "cmdline").find(needle) == std::string::npos) continue;
      const std::string stat_line = slurp(entry.path() / "stat");
      const auto close = stat_line.rfind(')');
      if (close != std::string::npos && stat_line.size() > close + 2 &&
          stat_line[close + 2] != 'Z') {
        found = true;
      }
    }
    if (!found) return true;
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Every test runs with TMPDIR set to a fresh directory outside /tmp, so that
// it can check that each call leaves nothing behind.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!find_on_path("bwrap")) GTEST_SKIP() << "bwrap is not installed";
  }

  Result<const Checkpoint*> run(const std::string& command,
                                std::vector<std::string>* lines = nullptr) {
    return execute_bash(history_, config_, command, [lines](std::string line) {
      if (lines != nullptr) lines->push_back(std::move(line));
    });
  }

  TempDir work_parent_{"/var/tmp"};
  ScopedEnv tmpdir_{"TMPDIR", work_parent_.path().string()};
  Config config_ = Config::defaults();
  History history_{HistoryLimits{config_.max_checkpoints, config_.max_workspace_mb}};
};

TEST(ScreenCommandTest, DenylistFirstThenAllowlist) {
  struct Case {
    std::vector<std::string> deny;
    std::vector<std::string> allow;
    std::string command;
    std::string message;  // empty: permitted
  };
  const Case cases[] = {
      {{}, {}, "rm -rf anything", ""},
      {{"rm"}, {}, "echo firmware", "command denied: matches denylist pattern 'rm'"},
      {{"rm"}, {}, "echo RM", ""},
      {{"x", "b", "a"}, {}, "a b", "command denied: matches denylist pattern 'b'"},
      {{""}, {}, "ls", "command denied: matches denylist pattern ''"},
      {{}, {""}, "anything", ""},
      {{},
       {"ls", "cat"},
       "echo hi",
       "command denied: not matched by any allowlist pattern; permitted: ls, cat"},
      {{}, {"ls", "cat"}, "concatenate", ""},
      {{}, {"LS"}, "ls", "command denied: not matched by any allowlist pattern; permitted: LS"},
      {{"rm"}, {"rm"}, "rm x", "command denied: matches denylist pattern 'rm'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Config config;
    config.bash_command_denylist = c.deny;
    config.bash_command_allowlist = c.allow;
    auto screened = screen_command(config, c.command);
    if (c.message.empty()) {
      EXPECT_TRUE(screened);
    } else {
      ASSERT_FALSE(screened);
      EXPECT_EQ(screened.error().message(), c.message);
      EXPECT_TRUE(screened.error().is_runner(RunnerErrorKind::CommandDenied));
    }
  }
}

// bubblewrap mounts in argument order: the empty file systems over vesk's
// directories must come before the bind of the work directory, which goes
// to its resolved path (a link's own path may not exist inside).
TEST_F(SandboxTest, HidesVeskDirectoriesBeforeBindingTheResolvedWorkDirectory) {
  fs::create_directory(work_parent_.path() / "real");
  fs::create_directory_symlink(work_parent_.path() / "real", work_parent_.path() / "link");
  const std::string parent = fs::canonical(work_parent_.path()).string();
  const std::string real = parent + "/real";
  TempDir other_tmp("/var/tmp");
  const std::string other = fs::canonical(other_tmp.path()).string();
  TempDir under_tmp("/tmp");
  struct Case {
    std::optional<std::string> tmpdir;
    std::vector<std::string> hidden;
  };
  const Case cases[] = {
      {parent, {parent}},
      {other, std::vector<std::string>{parent, other}},
      {std::nullopt, {parent}},
      {under_tmp.path().string(), {parent}},
      {"relative/dir", {parent}},
      {"/", {parent}},
  };
  const std::vector<std::string> fixed = ensure_fixed_roots();
  ASSERT_FALSE(fixed.empty());
  for (Case c : cases) {
    SCOPED_TRACE(c.tmpdir.value_or("(unset)"));
    ScopedEnv tmpdir("TMPDIR", c.tmpdir);
    // The roots where any process of vesk may keep work directories, always.
    c.hidden.insert(c.hidden.end(), fixed.begin(), fixed.end());
    std::sort(c.hidden.begin(), c.hidden.end());
    auto options = sandboxed_sh("echo hi", (work_parent_.path() / "link").string(), 42);
    ASSERT_TRUE(options) << options.error().message();
    std::vector<std::string> expected = {"--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc"};
    for (const std::string& h : c.hidden) expected.insert(expected.end(), {"--tmpfs", h});
    expected.insert(expected.end(),
                    {"--bind", real, real, "--tmpfs", "/tmp", "--unshare-net", "--unshare-pid",
                     "--new-session", "--die-with-parent", "--cap-drop", "ALL",
                     "--json-status-fd", "3", "--", "sh", "-c", "echo hi"});
    EXPECT_EQ(options->args, expected);
    EXPECT_EQ(options->pass_fds, std::vector<int>{42});
    EXPECT_TRUE(options->null_stdin);
  }
  fs::remove(work_parent_.path() / "link");
  fs::remove(work_parent_.path() / "real");
}

// Output and the exit status, as the command left them; bytes that are not
// UTF-8 become U+FFFD (one per ill-formed sequence) and every line is kept.
TEST_F(SandboxTest, CapturesOutputLineByLineAndTheExitStatus) {
  struct Case {
    std::string command;
    std::vector<std::string> lines;
    std::string stdout_text;
    std::string stderr_text;
    int exit_code = 0;
  };
  const std::string bad = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"printf 'a\\nb'", {"a", "b"}, "a\nb", ""},
      {"printf 'dos\\r\\nunix\\n'", {"dos\r", "unix"}, "dos\r\nunix\n", ""},
      {"echo out; echo err >&2; exit 3", {"out"}, "out\n", "err\n", 3},
      {"echo fine; printf 'bad \\377\\n' >&2; false", {"fine"}, "fine\n", "bad " + bad + "\n", 1},
      {"printf 'caf\\303\\251\\nbad \\377\\340\\200x\\nafter\\n'",
       {"caf\xC3\xA9", "bad " + bad + bad + bad + "x", "after"},
       "caf\xC3\xA9\nbad " + bad + bad + bad + "x\nafter\n", ""},
      {"kill -9 $$", {}, "", "", 137},
      // sh takes a pipeline's status from its last command.
      {"exit 3 | true", {}, "", "", 0},
      {"exit 7", {}, "", "", 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    std::vector<std::string> lines;
    const std::size_t before = history_.size();
    auto checkpoint = run(c.command, &lines);
    ASSERT_TRUE(checkpoint) << checkpoint.error().message();
    EXPECT_EQ((*checkpoint)->id, before);
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ((*checkpoint)->stdout_text, c.stdout_text);
    EXPECT_EQ((*checkpoint)->stderr_text, c.stderr_text);
    EXPECT_EQ((*checkpoint)->exit_code, c.exit_code);
    EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
  }
}

// A bad line ends nothing: a command writing far more than a pipe holds
// after it runs to its end, and all of it is kept.
TEST_F(SandboxTest, KeepsEveryLineAfterBytesThatAreNotUtf8) {
  auto checkpoint = run("printf 'first\\n\\377\\n'; seq 1 200000; echo done > finished.txt");
  ASSERT_TRUE(checkpoint) << checkpoint.error().message();
  const std::string& out = (*checkpoint)->stdout_text;
  EXPECT_TRUE(out.starts_with("first\n\xEF\xBF\xBD\n1\n2\n")) << out.substr(0, 40);
  EXPECT_TRUE(out.ends_with("\n199999\n200000\n"));
  EXPECT_EQ(entries_of((*checkpoint)->files),
            (std::map<std::string, std::string>{{"finished.txt", "done\n"}}));
}

TEST_F(SandboxTest, WorkspaceTravelsIntoTheSandboxAndBack) {
  ASSERT_TRUE(history_.write_file("in/a.txt", "alpha\n"));
  ASSERT_TRUE(history_.write_file("in/b.txt", "beta\n"));
  ASSERT_TRUE(history_.write_file("keep.bin", std::string("\0\1\2", 3)));
  auto checkpoint =
      run("pwd; cat in/a.txt; rm in/b.txt; mkdir -p out/deep && echo made > out/deep/new.txt && "
          "printf x > .hidden");
  ASSERT_TRUE(checkpoint) << checkpoint.error().message();
  const std::string pwd =
      (*checkpoint)->stdout_text.str().substr(0, (*checkpoint)->stdout_text.str().find('\n'));
  EXPECT_TRUE(pwd.starts_with(own_dir(work_parent_.path()).string() + "/vesk-bash-")) << pwd;
  EXPECT_EQ((*checkpoint)->stdout_text, pwd + "\nalpha\n");
  EXPECT_EQ(entries_of((*checkpoint)->files), (std::map<std::string, std::string>{
                                                  {"in/a.txt", "alpha\n"},
                                                  {"keep.bin", std::string("\0\1\2", 3)},
                                                  {"out/deep/new.txt", "made\n"},
                                                  {".hidden", "x"},
                                              }));
  // Unchanged contents are shared with the previous checkpoint, not copied.
  const Checkpoint& before = *history_.find((*checkpoint)->id - 1);
  EXPECT_EQ(*before.files.find("in/a.txt"), *(*checkpoint)->files.find("in/a.txt"));
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));

  // A command that changes nothing still makes a checkpoint.
  auto again = run("true");
  ASSERT_TRUE(again);
  EXPECT_EQ((*again)->id, (*checkpoint)->id + 1);
  EXPECT_EQ((*again)->files, (*checkpoint)->files);
}

// The sandbox mounts an empty /tmp after binding the work directory, so a
// work directory there would hide the workspace from the command.
TEST_F(SandboxTest, WorkDirectoryIsNeverUnderTmp) {
  TempDir under_tmp("/tmp");
  // The bind needs the resolved path: a link's own path may not exist inside.
  fs::create_directory_symlink(work_parent_.path(), under_tmp.path() / "link_out");
  const std::optional<std::string> settings[] = {
      std::nullopt, under_tmp.path().string(), "/tmp", work_parent_.path().string(),
      (under_tmp.path() / "link_out").string()};
  for (const auto& setting : settings) {
    SCOPED_TRACE(setting.value_or("(unset)"));
    ScopedEnv tmpdir("TMPDIR", setting);
    EXPECT_FALSE(path_has_prefix(work_dir_parent(0, 512), "/tmp"));
    auto checkpoint = run("pwd; echo seen > proof.txt");
    ASSERT_TRUE(checkpoint) << checkpoint.error().message();
    EXPECT_FALSE((*checkpoint)->stdout_text.str().starts_with("/tmp/")) << (*checkpoint)->stdout_text;
    EXPECT_EQ(entries_of((*checkpoint)->files),
              (std::map<std::string, std::string>{{"proof.txt", "seen\n"}}));
    ASSERT_TRUE(history_.rollback(0));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(under_tmp.path()), fs::directory_iterator()), 1);
}

TEST_F(SandboxTest, CommandCannotWriteOutsideTheWorkDirectory) {
  TempDir host("/var/tmp");
  const std::string token = unique_token();
  const std::string etc_file = "/etc/vesk-escape-" + token;
  // Also as root: no capability is left to remount the host's / writable or
  // to make a device node.
  auto checkpoint = run("mount -o remount,rw / 2>/dev/null; mknod dev c 1 3 2>/dev/null; "
                        "echo x > " + host.path().string() + "/escaped; echo x > " + etc_file +
                        "; echo x > /tmp/in-sandbox-tmp; echo x > ../beside; echo ok");
  ASSERT_TRUE(checkpoint) << checkpoint.error().message();
  EXPECT_EQ((*checkpoint)->stdout_text, "ok\n");
  EXPECT_NE((*checkpoint)->stderr_text, "");
  EXPECT_TRUE((*checkpoint)->files.empty());
  EXPECT_TRUE(dir_is_empty(host.path()));
  EXPECT_FALSE(fs::exists(etc_file));
  fs::remove(etc_file);  // should a regression have written it
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

TEST_F(SandboxTest, CommandHasNoNetwork) {
  const auto python = find_on_path("python3");
  if (!python) GTEST_SKIP() << "python3 is needed inside the sandbox to try a connection";
  // A listener on every host address; the sandbox must reach none of them.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  ASSERT_TRUE(listener);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener.get(), 8), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const int port = ntohs(addr.sin_port);

  std::vector<std::string> targets = {"127.0.0.1"};
  ifaddrs* ifs = nullptr;
  ASSERT_EQ(::getifaddrs(&ifs), 0);
  for (ifaddrs* i = ifs; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
    if (std::string(text) != "127.0.0.1") targets.push_back(text);
  }
  ::freeifaddrs(ifs);

  std::string script = "import socket\nfor host in [";
  for (const auto& t : targets) script += "'" + t + "',";
  script += "]:\n  try:\n    socket.create_connection((host, " + std::to_string(port) +
            "), timeout=5)\n    print('connected', host)\n  except OSError:\n    print('refused', "
            "host)\n";
  auto checkpoint = run("tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' '; " + *python +
                        " -c \"" + script + "\"");
  ASSERT_TRUE(checkpoint) << checkpoint.error().message();
  std::string expected = "lo\n";
  for (const auto& t : targets) expected += "refused " + t + "\n";
  EXPECT_EQ((*checkpoint)->stdout_text, expected) << (*checkpoint)->stderr_text;
  EXPECT_LT(::accept(listener.get(), nullptr, nullptr), 0);
}

TEST_F(SandboxTest, RefusalChangesNothingButAPassedCommandDiscardsLaterCheckpoints) {
  config_.bash_command_denylist = {"forbidden"};
  for (const char* key : {"one", "two", "three"}) ASSERT_TRUE(history_.write_file(key, key));
  ASSERT_TRUE(history_.rollback(1));

  auto refused = run("echo forbidden");
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().is_runner(RunnerErrorKind::CommandDenied));
  EXPECT_EQ(history_.size(), 4u);
  EXPECT_EQ(history_.current_id(), 1u);

  // Fails after screening: the workspace cannot be written out, since "one"
  // is a file and "one/x" needs it to be a directory.
  history_.insert_into_current("one/x", make_content("x"));
  auto failed = run("true");
  ASSERT_FALSE(failed);
  EXPECT_FALSE(failed.error().runner_error());
  EXPECT_EQ(history_.size(), 2u);
  EXPECT_EQ(history_.current_id(), 1u);
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

TEST_F(SandboxTest, FailuresAfterTheRunAppendNothing) {
  struct Case {
    std::optional<std::uint64_t> max_workspace_mb;
    std::optional<std::uint64_t> max_checkpoints;
    std::string message;
  };
  const Case cases[] = {
      {1, std::nullopt, "workspace size 1048577 bytes exceeds limit of 1048576 bytes"},
  };
  for (const Case& c : cases) {
    History history(HistoryLimits{c.max_checkpoints, c.max_workspace_mb});
    Config config;
    config.max_workspace_mb = c.max_workspace_mb;
    ASSERT_TRUE(history.write_file("a", "a"));
    ASSERT_TRUE(history.write_file("c", "c"));
    auto result = execute_bash(history, config, "head -c 1048575 /dev/zero > big", nullptr);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), c.message);
    EXPECT_EQ(history.size(), 3u);
    EXPECT_EQ(history.current_id(), 2u);
  }
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

TEST_F(SandboxTest, MissingBwrapFailsAfterTheDiscard) {
  ASSERT_TRUE(history_.write_file("a", "a"));
  ASSERT_TRUE(history_.write_file("b", "b"));
  ASSERT_TRUE(history_.rollback(0));
  TempDir empty_path("/var/tmp");
  ScopedEnv path("PATH", empty_path.path().string());
  auto result = run("true");
  ASSERT_FALSE(result);
  EXPECT_EQ(
      result.error().message(),
      "bwrap not found; install bubblewrap (e.g. `apt install bubblewrap`) to enable session_bash");
  EXPECT_EQ(history_.size(), 1u);
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

// A full history is refused before the command runs, not after it; the
// checkpoints after the current one are discarded first, which can make room.
// The command leaves a line in a host FIFO that the test holds open, so the
// test sees whether it ran.
TEST_F(SandboxTest, FullHistoryRefusesBeforeRunning) {
  TempDir host("/var/tmp");
  const fs::path fifo = host.path() / "ran";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  UniqueFd reader(::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader);
  const std::string command = "echo ran > " + fifo.string() + "; echo out";
  History history(HistoryLimits{3, std::nullopt});
  ASSERT_TRUE(history.write_file("a", "a"));
  ASSERT_TRUE(history.write_file("b", "b"));
  std::vector<std::string> lines;
  auto refused = execute_bash(history, config_, command,
                              [&lines](std::string line) { lines.push_back(std::move(line)); });
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "checkpoint limit of 3 reached; close or snapshot this session and start a new one");
  char buffer[16];
  EXPECT_EQ(::read(reader.get(), buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(history.size(), 3u);

  ASSERT_TRUE(history.rollback(1));
  auto ran = execute_bash(history, config_, command, nullptr);
  ASSERT_TRUE(ran) << ran.error().message();
  EXPECT_EQ((*ran)->id, 2u);
  EXPECT_EQ((*ran)->stdout_text, "out\n");
  EXPECT_EQ(::read(reader.get(), buffer, sizeof buffer), 4);
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

// What the command writes to its two streams together is bounded by
// max_workspace_mb: beyond it the command is stopped (these would otherwise
// run until the time limit) and nothing is appended; up to it, all is kept.
TEST_F(SandboxTest, OutputBeyondTheWorkspaceLimitStopsTheCommand) {
  struct Case {
    std::string command;
    std::size_t stdout_size;  // when within the bound
    bool exceeds;
  };
  const Case cases[] = {
      {"yes", 0, true},
      {"yes >&2", 0, true},
      {"cat /dev/zero", 0, true},  // one endless line
      {"printf '\\377\\n'; yes", 0, true},  // after a line that is not UTF-8
      {"while :; do head -c 4096 /dev/zero | tr '\\0' a; head -c 4096 /dev/zero >&2; done", 0,
       true},
      {"head -c 1048577 /dev/zero | tr '\\0' a; sleep 100000", 0, true},
      {"head -c 1048576 /dev/zero | tr '\\0' a", 1048576, false},
      {"head -c 524288 /dev/zero | tr '\\0' a; head -c 524288 /dev/zero | tr '\\0' b >&2",
       524288, false},
  };
  config_.max_workspace_mb = 1;
  config_.bash_timeout_ms = 120000;
  ASSERT_TRUE(history_.write_file("kept", "kept"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::size_t before = history_.size();
    auto result = run(c.command);
    if (c.exceeds) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message(),
                "command output exceeds the limit of 1048576 bytes (max_workspace_mb = 1)");
      EXPECT_EQ(history_.size(), before);
    } else {
      ASSERT_TRUE(result) << result.error().message();
      EXPECT_EQ((*result)->stdout_text.size(), c.stdout_size);
    }
    EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
  }
}

// A file in the work directory is measured before it is read: one far beyond
// the limit (sparse, so it costs no disk) is refused without the host ever
// holding its content.
TEST_F(SandboxTest, OversizedFilesAreRefusedBeforeTheyAreRead) {
  const auto peak_kib = [] {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
  };
  // The history's bound alone: with the configuration's, the kernel would
  // refuse the size itself (RLIMIT_FSIZE).
  History history(HistoryLimits{std::nullopt, 1});
  config_.max_workspace_mb = std::nullopt;
  ASSERT_TRUE(history.write_file("small", "x"));
  const long before = peak_kib();
  auto result = execute_bash(history, config_, "truncate -s 1G big", nullptr);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(),
            "workspace size 1073741825 bytes exceeds limit of 1048576 bytes");
  EXPECT_LT(peak_kib() - before, 256 * 1024);
  EXPECT_EQ(history.size(), 2u);
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

// Memory a command takes by any road (its processes, its /tmp, /dev/shm or
// /dev) stops it while it runs: the bound's error, never the time limit's.
TEST_F(SandboxTest, MemoryBeyondTheShellBoundStopsTheCommand) {
  config_.max_shell_memory_mb = 64;
  const std::string hold = "; sleep 60";
  const std::vector<std::string> attacks = {
      "head -c 40M /dev/zero > /tmp/a; head -c 40M /dev/zero > /dev/shm/b" + hold,
      "head -c 40M /dev/zero > /dev/a; head -c 40M /dev/zero > /tmp/b" + hold,
      "for i in 1 2 3; do python3 -c 'b = bytearray(30 << 20); import time; time.sleep(60)' & "
      "done; wait",
  };
  for (const std::string& attack : attacks) {
    const std::size_t before = history_.size();
    auto result = run(attack);
    ASSERT_FALSE(result) << attack;
    EXPECT_EQ(result.error().message(),
              "the shell command went over its memory limit of 64 MiB (max_shell_memory_mb) and "
              "was stopped")
        << attack;
    EXPECT_EQ(history_.size(), before) << attack;
  }
  EXPECT_TRUE(no_process_with("time.sleep(60)"));
  // One process alone is held by the kernel (RLIMIT_DATA) before it gets
  // there: the command goes on and sees its allocation refused.
  auto alone = run("python3 -c 'bytearray(100 << 20)' 2>&1 | tail -n 1");
  ASSERT_TRUE(alone) << alone.error().message();
  EXPECT_EQ((*alone)->stdout_text, "MemoryError\n");
}

// A command that writes past max_workspace_mb into its work directory is
// stopped while it writes, with the workspace-limit error, however it
// writes; and one that fills the file system its work directory shares
// fails instead of recording writes that may have come out short, while
// the next session's command on it finds its room.
TEST_F(SandboxTest, WritesPastTheWorkspaceBoundOrAFullDiskFailTheCall) {
  config_.max_workspace_mb = 8;
  History history(HistoryLimits{std::nullopt, 8});
  for (const std::string& attack : {
           std::string("for i in 1 2 3 4 5 6; do head -c 2M /dev/zero > f$i; done; sleep 60"),
           std::string("head -c 20M /dev/zero > one; sleep 60"),
       }) {
    auto result = execute_bash(history, config_, attack, nullptr);
    ASSERT_FALSE(result) << attack;
    EXPECT_TRUE(result.error().message().starts_with("workspace size ")) << result.error().message();
    EXPECT_TRUE(result.error().message().ends_with(" bytes exceeds limit of 8388608 bytes"));
    EXPECT_EQ(history.size(), 1u);
  }
  EXPECT_TRUE(no_process_with("sleep 60"));

  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  TempDir mount_point{"/var/tmp"};
  if (::mount("tmpfs", mount_point.path().c_str(), "tmpfs", 0, "size=16m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point.path().string()};
  ScopedEnv small_tmpdir{"TMPDIR", mount_point.path().string()};
  // A bound beyond the file system's size reserves nothing there: the
  // command may fill it.
  config_.max_workspace_mb = 64;
  History a(HistoryLimits{std::nullopt, 64});
  History b(HistoryLimits{std::nullopt, 64});
  auto filled = execute_bash(a, config_, "head -c 30M /dev/zero > fill.bin; echo after", nullptr);
  ASSERT_FALSE(filled);
  EXPECT_TRUE(filled.error().message().starts_with(
      "the work directory's file system ran out of space while the command ran"));
  EXPECT_EQ(filled.error().partial_stdout(), "after\n");
  EXPECT_EQ(a.size(), 1u);
  auto next = execute_bash(b, config_, "head -c 4M /dev/zero > b.bin", nullptr);
  ASSERT_TRUE(next) << next.error().message();
  EXPECT_EQ((*(*next)->files.find("b.bin"))->size(), 4u << 20);
}

// Sessions sharing a small file system reserve their bound on it: one whose
// bound does not fit beside the others' idle kept directories is refused up
// front, and each session granted room can still write up to its bound.
TEST_F(SandboxTest, SessionsReserveTheirWorkspaceBoundOnTheSharedFileSystem) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  TempDir mount_point{"/var/tmp"};
  if (::mount("tmpfs", mount_point.path().c_str(), "tmpfs", 0, "size=40m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point.path().string()};
  ScopedEnv small_tmpdir{"TMPDIR", mount_point.path().string()};
  const std::string base = mount_point.path().string();
  config_.max_workspace_mb = 16;
  constexpr std::uint64_t kMiB = 1 << 20;
  struct Holder {
    History history{HistoryLimits{std::nullopt, 16}};
    KeptWorkDir kept;
  } a, b, c;
  auto bash = [&](Holder& h, const std::string& command) {
    return execute_bash(h.history, config_, command, nullptr, &h.kept);
  };
  ASSERT_TRUE(bash(a, "head -c 10M /dev/zero > f"));
  ASSERT_TRUE(bash(b, "head -c 10M /dev/zero > f"));
  EXPECT_EQ(room_reserved_on(base), 12 * kMiB);  // 6 MiB each may still add
  // 20 MiB free, 12 of them reserved: C's 16 do not fit.
  auto refused = bash(c, "echo ran");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "no room for the work directory: " + base +
                " has 20 MiB free and other sessions have reserved 12 MiB of it; this command "
                "may write 16 MiB (max_workspace_mb)");
  EXPECT_EQ(c.history.size(), 1u);
  EXPECT_EQ(room_reserved_on(base), 12 * kMiB);
  // A gives its directory back; C gets room and B still writes up to its
  // bound beside C's full one.
  a.kept.drop();
  ASSERT_TRUE(bash(c, "head -c 15M /dev/zero > f"));
  auto grown = bash(b, "head -c 5M /dev/zero >> f");
  ASSERT_TRUE(grown) << grown.error().message();
  EXPECT_EQ((*(*grown)->files.find("f"))->size(), 15 * kMiB);
  b.kept.drop();
  c.kept.drop();
  EXPECT_EQ(room_reserved_on(base), 0u);

  // Another process's reservation counts until that process is gone.
  auto ready = make_pipe();
  ASSERT_TRUE(ready);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RoomReservation held;
    const bool reserved = held.reserve(base, 30 * kMiB, 0).has_value();
    (void)!::write(ready->write.get(), reserved ? "y" : "n", 1);
    ::pause();
    ::_exit(0);
  }
  char answer = 0;
  EXPECT_EQ(::read(ready->read.get(), &answer, 1), 1);
  EXPECT_EQ(answer, 'y');
  EXPECT_EQ(room_reserved_on(base), 30 * kMiB);
  auto crowded = bash(a, "echo ran");
  ASSERT_FALSE(crowded);
  EXPECT_TRUE(crowded.error().message().starts_with("no room for the work directory"));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(room_reserved_on(base), 0u);
  EXPECT_TRUE(bash(a, "echo ran"));
}

// The command's standard input is /dev/null: it never consumes what the host
// process has on its own (in a stdio server, the client's next request).
TEST_F(SandboxTest, CommandReadsNothingOfTheHostsStandardInput) {
  auto pipe = make_pipe();
  ASSERT_TRUE(pipe);
  ASSERT_TRUE(write_all(pipe->write.get(), "next request\n"));
  UniqueFd saved(::dup(STDIN_FILENO));
  ASSERT_EQ(::dup2(pipe->read.get(), STDIN_FILENO), STDIN_FILENO);
  auto checkpoint = run("head -c 5; echo end");
  ::dup2(saved.get(), STDIN_FILENO);
  ASSERT_TRUE(checkpoint) << checkpoint.error().message();
  EXPECT_EQ((*checkpoint)->stdout_text, "end\n");
  char buffer[64];
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(
                                    ::read(pipe->read.get(), buffer, sizeof buffer))),
            "next request\n");
}

// A descriptor the host left inheritable (not close-on-exec) does not reach
// the command: writing through it would bypass the read-only file system.
TEST_F(SandboxTest, CommandGetsNoDescriptorOfTheHost) {
  TempDir host("/var/tmp");
  const fs::path target = host.path() / "target";
  UniqueFd leaked(::open(target.c_str(), O_WRONLY | O_CREAT, 0600));  // no O_CLOEXEC
  ASSERT_TRUE(leaked);
  const std::string n = std::to_string(leaked.get());
  auto checkpoint = run("echo escaped 2>/dev/null >/proc/self/fd/" + n + " || echo closed; "
                        "ls /proc/self/fd | sort -n | tr '\\n' ' '");
  ASSERT_TRUE(checkpoint) << checkpoint.error().message();
  // 0, 1 and 2, and the directory `ls` itself reads.
  EXPECT_EQ((*checkpoint)->stdout_text, "closed\n0 1 2 3 ");
  EXPECT_EQ(fs::file_size(target), 0u);
}

// bubblewrap that fails to set up the sandbox (here: no `sh` on the PATH it
// searches) is an error carrying its message, not a run with that message as
// the command's stderr; the discard before it stands, nothing is appended.
TEST_F(SandboxTest, SandboxThatNeverStartedIsAnError) {
  ASSERT_TRUE(history_.write_file("a", "a"));
  ASSERT_TRUE(history_.write_file("b", "b"));
  ASSERT_TRUE(history_.rollback(1));
  const auto bwrap = find_on_path("bwrap");
  ASSERT_TRUE(bwrap);
  TempDir bin("/var/tmp");
  fs::create_symlink(*bwrap, bin.path() / "bwrap");
  {
    ScopedEnv path("PATH", bin.path().string());
    auto result = run("echo ran");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(),
              "shell sandbox could not be set up: bwrap: execvp sh: No such file or directory");
    EXPECT_FALSE(result.error().runner_error());
  }
  EXPECT_EQ(history_.size(), 2u);
  EXPECT_EQ(history_.current_id(), 1u);
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
  // A command that fails on its own still makes a checkpoint.
  auto failed = run("exit 127");
  ASSERT_TRUE(failed) << failed.error().message();
  EXPECT_EQ((*failed)->id, 2u);
}

// Commands that would keep a naive reader waiting forever, or leave processes
// behind: every call ends at the time limit (with nothing appended) or at
// once, and leaves no process.
TEST_F(SandboxTest, EveryCallIsBoundedAndLeavesNoProcess) {
  struct Case {
    std::string name;
    std::string command;  // "{T}" stands for a unique sleep duration
    bool times_out;
  };
  const Case cases[] = {
      {"sleeps past the limit", "sleep {T}", true},
      {"closes stdout and keeps running", "echo early; exec >&-; sleep {T}", true},
      {"closes both streams and keeps running", "exec >&- 2>&-; sleep {T}", true},
      {"writes without end after a bad line", "printf 'x\\n\\377\\n'; while :; do echo {T}; done",
       true},
      {"leaves a background process holding stderr", "sleep {T} >/dev/null & echo started", false},
      {"leaves a background process holding stdout", "sleep {T} 2>/dev/null & echo started", false},
      {"leaves a background process holding both", "(sleep {T} &); echo started", false},
      // Processes that leave the command's process group, which a kill of
      // the group no longer reaches.
      {"leaves a process in a session of its own",
       "setsid sleep {T} >/dev/null 2>&1 & sleep 0.3; echo started", false},
      {"forks a process into a session of its own and returns",
       "setsid -f sleep {T} >/dev/null 2>&1; sleep 0.3; echo started", false},
      {"leaves a job of its own group",
       "set -m 2>/dev/null; sleep {T} >/dev/null 2>&1 & sleep 0.3; echo started", false},
      // Fork bombs, bounded so that the host keeps room for other work: a
      // tree of 511 processes in a session of their own, left behind or
      // outliving the limit, and a loop forking until the limit stops it.
      {"leaves a tree of processes in a session of its own",
       "setsid sh -c 'f() { if [ $1 -gt 0 ]; then f $(($1 - 1)) & f $(($1 - 1)) & fi; "
       "exec sleep {T}; }; f 8' >/dev/null 2>&1 & sleep 0.5; echo started",
       false},
      {"grows a tree of processes past the limit",
       "setsid sh -c 'f() { if [ $1 -gt 0 ]; then f $(($1 - 1)) & f $(($1 - 1)) & fi; "
       "exec sleep {T}; }; f 8' >/dev/null 2>&1 & wait",
       true},
      {"forks until the limit stops it",
       "i=0; while [ $i -lt 3000 ]; do setsid sleep {T} >/dev/null 2>&1 & i=$((i + 1)); done; wait",
       true},
  };
  config_.bash_timeout_ms = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Background cases get a long limit, so that ending near it would show.
    config_.bash_timeout_ms = c.times_out ? 1000 : 120000;
    const std::string duration = "3" + unique_token() + ".5";
    std::string command = c.command;
    command.replace(command.find("{T}"), 3, duration);
    const std::size_t before = history_.size();
    auto result = run(command);
    if (c.times_out) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message(), "execution timed out after 1000ms");
      EXPECT_TRUE(result.error().is_runner(RunnerErrorKind::Timeout));
      EXPECT_EQ(history_.size(), before);
    } else {
      ASSERT_TRUE(result) << result.error().message();
      EXPECT_EQ((*result)->stdout_text, "started\n");
    }
    EXPECT_TRUE(no_process_with(duration));
    EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
  }
}

// The command has its own process ids: it can neither see, signal nor open
// the memory of any host process, the test's own included.
TEST_F(SandboxTest, CommandCannotReachHostProcesses) {
  const std::string pid = std::to_string(::getpid());
  auto checkpoint = run("kill -0 " + pid + " 2>/dev/null && echo signalled || echo not-signalled; "
                        "test -e /proc/" + pid + "/mem && echo sees-host || echo blind; "
                        "exec 3<>/proc/1/mem && echo opened-init || echo no-init; "
                        "ls /proc | grep -c '^[0-9]'");
  ASSERT_TRUE(checkpoint) << checkpoint.error().message();
  const std::string out = (*checkpoint)->stdout_text;
  EXPECT_TRUE(out.starts_with("not-signalled\nblind\n")) << out;
  // Its pid 1 is bubblewrap's own first process in the namespace, which it
  // may open like any of its own; what matters is that only a handful of
  // processes, all its own, are there at all.
  const std::size_t last = out.rfind('\n', out.size() - 2);
  EXPECT_LT(std::stoi(out.substr(last + 1)), 10) << out;
}


// --- the kept work directory ---

FileStamp stamp(ino_t ino, off_t size, timespec ctime, timespec mtime, mode_t type = S_IFREG) {
  FileStamp s;
  s.ino = ino;
  s.size = size;
  s.type = type;
  s.ctime = ctime;
  s.mtime = mtime;
  return s;
}

TEST(StampRuleTest, UnchangedOnlyWhenEverythingMatchesAndCtimeIsOlderThanTheReading) {
  const timespec t{1000, 500};
  const timespec reading{1000, 900};
  const FileStamp recorded = stamp(7, 10, t, t);
  // Same size and same times: the reading decides.
  EXPECT_TRUE(stamp_unchanged(recorded, recorded, reading, false));
  EXPECT_FALSE(stamp_unchanged(recorded, recorded, timespec{1000, 500}, false))
      << "written in the reading's tick: a later write in it leaves ctime as it is";
  EXPECT_FALSE(stamp_unchanged(recorded, recorded, timespec{999, 0}, false))
      << "a clock that went backwards";
  // With whole-second timestamps the whole second of the reading is unsafe.
  EXPECT_FALSE(stamp_unchanged(recorded, recorded, reading, true));
  EXPECT_TRUE(stamp_unchanged(recorded, recorded, timespec{1001, 0}, true));
  // Any difference counts, also an mtime set back in time or a new inode
  // with the old size and times (a file replaced by a directory and back).
  EXPECT_FALSE(stamp_unchanged(recorded, stamp(7, 10, t, timespec{1, 0}), reading, false));
  EXPECT_FALSE(stamp_unchanged(recorded, stamp(7, 10, timespec{1000, 501}, t), reading, false));
  EXPECT_FALSE(stamp_unchanged(recorded, stamp(7, 11, t, t), reading, false));
  EXPECT_FALSE(stamp_unchanged(recorded, stamp(8, 10, t, t), reading, false));
  EXPECT_FALSE(stamp_unchanged(recorded, stamp(7, 10, t, t, S_IFDIR), reading, false));
}

// A model of the workspace against a session-like sequence of edits,
// rollbacks and shell commands in one kept directory, directories moved,
// swapped, exchanged, replaced by links and made anew among them. Every
// command first prints what it finds (type, permission bits, name, content in
// hex), which must be exactly the current checkpoint as a fresh directory
// would hold it; afterwards the checkpoint must be exactly what the model
// expects, and the kept directory exactly what a fresh one made from the
// checkpoint holds. VESK_MODEL_STEPS and VESK_MODEL_SEED make longer or other
// runs; a failure names its seed and step.
class KeptDirModelTest : public SandboxTest {
 protected:
  using Files = std::map<std::string, std::string>;

  static std::string hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
    return out;
  }

  // What the listing prefix prints for `files` laid out afresh.
  std::string listing_of(const Files& files) const {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    char file_mode[8], dir_mode[8];
    std::snprintf(file_mode, sizeof file_mode, "%o", 0666 & ~mask);
    std::snprintf(dir_mode, sizeof dir_mode, "%o", 0777 & ~mask);
    std::vector<std::string> entries;
    std::set<std::string> dirs;
    for (const auto& [key, content] : files) {
      entries.push_back(std::string("f ") + file_mode + " " + key);
      for (std::size_t slash = key.find('/'); slash != std::string::npos;
           slash = key.find('/', slash + 1)) {
        dirs.insert(key.substr(0, slash));
      }
    }
    for (const std::string& dir : dirs) entries.push_back(std::string("d ") + dir_mode + " " + dir);
    std::sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
      return a.substr(a.find(' ', 2) + 1) < b.substr(b.find(' ', 2) + 1);
    });
    std::string out;
    for (const std::string& e : entries) out += e + "\n";
    for (const auto& [key, content] : files) out += key + " " + hex(content) + "\n";
    return out + "--\n";
  }

  static constexpr const char* kStepDone = "model-step-done";

  static constexpr const char* kListing =
      "find . -mindepth 1 -printf '%y %m %P\\n' | LC_ALL=C sort -k3; "
      "find . -type f -printf '%P\\n' | LC_ALL=C sort | while read -r f; do "
      "printf '%s %s\\n' \"$f\" \"$(od -An -tx1 -v \"$f\" | tr -d ' \\n')\"; done; echo --; ";

  // `share`: the inotify watches all kept directories may hold (see
  // file_watches.h), nullopt for the default.
  void run_model(std::optional<std::size_t> share = std::nullopt);

  // The share of inotify watches of all kept directories, for as long as it
  // lives (nullopt: the default).
  struct WatchShare {
    explicit WatchShare(std::optional<std::size_t> share) { set_file_watch_share_for_testing(share); }
    ~WatchShare() { set_file_watch_share_for_testing(std::nullopt); }
    WatchShare(const WatchShare&) = delete;
    WatchShare& operator=(const WatchShare&) = delete;
  };

  // Whether /dev/shm is a directory this test may write in.
  static bool shm_writable() {
    struct stat st;
    return ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0;
  }

  std::mt19937 rng_;
  std::vector<Files> model_{Files{}};  // index = checkpoint id

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  std::string text(std::size_t length) {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) out += kChars[pick(36)];
    return out;
  }
  // A key that can be added to `files` without a file where a directory
  // must be or the other way round.
  static bool fits(const Files& files, const std::string& key) {
    for (const auto& [k, v] : files) {
      if (k != key && (key.starts_with(k + "/") || k.starts_with(key + "/"))) return false;
    }
    return true;
  }
  static bool is_dir(const Files& files, const std::string& name) {
    return std::any_of(files.begin(), files.end(),
                       [&](const auto& e) { return e.first.starts_with(name + "/"); });
  }
  static std::string dir_of(const std::string& key) {
    const auto slash = key.rfind('/');
    return slash == std::string::npos ? "." : key.substr(0, slash);
  }
  // Every directory the files make.
  static std::vector<std::string> dirs_of(const Files& files) {
    std::set<std::string> dirs;
    for (const auto& [key, content] : files) {
      for (auto slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
        dirs.insert(key.substr(0, slash));
      }
    }
    return {dirs.begin(), dirs.end()};
  }
  static bool nested(const std::string& a, const std::string& b) {
    return a == b || a.starts_with(b + "/") || b.starts_with(a + "/");
  }
  static bool taken(const Files& files, const std::string& name) {
    return files.count(name) != 0 || is_dir(files, name);
  }
  // `files` after the names `from` and `to` (files or directories, neither
  // below the other) were exchanged; `to` may be a name not taken.
  static Files exchanged(const Files& files, const std::string& from, const std::string& to) {
    Files out;
    for (const auto& [key, content] : files) {
      if (key == from || key.starts_with(from + "/")) {
        out[to + key.substr(from.size())] = content;
      } else if (key == to || key.starts_with(to + "/")) {
        out[from + key.substr(to.size())] = content;
      } else {
        out[key] = content;
      }
    }
    return out;
  }
  // Every entry below `root`: "f <mode> <bytes>", "d <mode>", or the type
  // letter of anything else (l, p, ...).
  static Files tree_of(const std::string& root) {
    Files out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      struct stat st;
      if (::lstat(entry.path().c_str(), &st) != 0) ADD_FAILURE() << entry.path();
      char mode[8];
      std::snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
      const std::string relative = fs::relative(entry.path(), root).string();
      if (S_ISREG(st.st_mode)) {
        out[relative] = std::string("f ") + mode + " " + read_host_file(entry.path());
      } else if (S_ISDIR(st.st_mode)) {
        out[relative] = std::string("d ") + mode;
      } else {
        out[relative] = S_ISLNK(st.st_mode) ? "l" : "other";
      }
    }
    return out;
  }
};

TEST_F(KeptDirModelTest, EveryCommandSeesTheCurrentCheckpointAndLeavesWhatItChanged) {
  run_model();
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

// Without inotify every file is looked at; with a few watches, some are and
// some are not, and the watches stay within their share.
TEST_F(KeptDirModelTest, SameWithoutWatchesAndWithTooFewForEveryFile) {
  run_model(0);
  model_ = {Files{}};
  run_model(3);
  EXPECT_EQ(file_watches_held(), 0u);
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

// On tmpfs timestamps have nanoseconds, and the rule trusts far more stamps.
TEST_F(KeptDirModelTest, SameOnATmpfs) {
  if (!shm_writable()) GTEST_SKIP() << "no writable /dev/shm";
  TempDir shm("/dev/shm");
  ScopedEnv tmpdir("TMPDIR", shm.path().string());
  run_model();
  EXPECT_TRUE(holds_no_work_dir(shm.path()));
}

void KeptDirModelTest::run_model(std::optional<std::size_t> share) {
  WatchShare watch_share(share);
  const char* steps_env = std::getenv("VESK_MODEL_STEPS");
  const char* seed_env = std::getenv("VESK_MODEL_SEED");
  const int steps = steps_env != nullptr ? std::atoi(steps_env) : 150;
  const unsigned seed =
      seed_env != nullptr ? static_cast<unsigned>(std::strtoul(seed_env, nullptr, 10)) : 20261207;
  rng_.seed(seed);
  config_.max_workspace_mb = 1;
  History history(HistoryLimits{std::nullopt, config_.max_workspace_mb});
  KeptWorkDir kept;
  // Directories that hold files of the same names: moving one in place of
  // another leaves every key as it was, and only the bytes tell.
  const std::vector<std::string> names = {"a",   "b",   "d/f",   "d/g",   "h/f",
                                          "h/g", "x/f", "d/e/f", "x/z/f", "h/j/g"};
  const std::string fresh_name[] = {"n1", "d/n2", "m/n3", "d/e/n4"};
  const std::string dir_names[] = {"d", "h", "x", "m", "d/e"};

  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    Files now = model_[history.current_id()];
    std::vector<std::string> keys;
    for (const auto& [k, v] : now) keys.push_back(k);
    const std::string any = names[pick(names.size())];
    const std::string key = keys.empty() ? any : keys[pick(keys.size())];
    const std::string other = keys.empty() ? any : keys[pick(keys.size())];
    const int action = static_cast<int>(pick(27));
    const std::vector<std::string> dirs = dirs_of(now);
    const std::string some_dir = dirs.empty() ? std::string() : dirs[pick(dirs.size())];
    const std::string other_dir = dirs.empty() ? std::string() : dirs[pick(dirs.size())];
    // Moves of whole directories tell the files in them nothing: these
    // commands mostly run without the listing, which would open every file.
    bool quiet = false;
    std::string command;  // empty: an edit, no command
    bool must_fail = false;
    Files next = now;

    // A workspace of a few files has few directories to move: it grows
    // first.
    if (action == 0 || (keys.size() < 10 && action < 16 && action != 2)) {
      if (!fits(now, any)) continue;
      const std::string content = text(1 + pick(12));
      ASSERT_TRUE(history.write_file(any, content));
      model_.resize(history.current_id());
      next[any] = content;
      model_.push_back(next);
    } else if (action == 1) {
      if (keys.empty()) continue;
      ASSERT_TRUE(history.delete_file(key));
      model_.resize(history.current_id());
      next.erase(key);
      model_.push_back(next);
    } else if (action == 2) {
      // Backwards or forwards, as long as later checkpoints are there.
      const std::uint64_t id = pick(history.size());
      ASSERT_TRUE(history.rollback(id));
    } else if (action == 3) {
      if (!fits(now, any)) continue;
      next[any] = text(1 + pick(12));
      command = "mkdir -p " + dir_of(any) + " && printf " + next[any] + " > " + any;
    } else if (action == 4) {
      // Same size, same second: only ctime tells.
      std::string content = text(now[key].size());
      if (content == now[key]) content[0] = content[0] == 'a' ? 'b' : 'a';
      next[key] = content;
      command = "printf " + content + " > " + key;
      if (pick(2) == 0) command += " && touch -d @1000000000 " + key;
    } else if (action == 5) {
      const std::size_t size = now[key].size() / 2 + pick(3) * 3;
      next[key] = now[key].substr(0, std::min(size, now[key].size()));
      next[key].resize(size, '\0');
      command = "truncate -s " + std::to_string(size) + " " + key;
    } else if (action == 6) {
      const std::string to = fresh_name[pick(std::size(fresh_name))];
      if (now.count(to) != 0 || !fits(now, to) || !fits(now, dir_of(to) + "/z") ||
          key.starts_with(to + "/")) {
        continue;
      }
      next.erase(key);
      if (!fits(next, to)) continue;
      next[to] = now[key];
      command = "mkdir -p " + dir_of(to) + " && mv " + key + " " + to;
    } else if (action == 7) {
      // A directory renamed, with everything in it.
      const std::string from = dir_names[pick(std::size(dir_names))];
      const std::string to = dir_names[pick(std::size(dir_names))];
      if (!is_dir(now, from) || to.find('/') != std::string::npos || to == from ||
          is_dir(now, to) || now.count(to) != 0 || from.starts_with(to + "/")) {
        continue;
      }
      next.clear();
      for (const auto& [k, v] : now) {
        next[k.starts_with(from + "/") ? to + k.substr(from.size()) : k] = v;
      }
      command = "mv " + from + " " + to;
    } else if (action == 8) {
      // A file becomes a directory.
      next.erase(key);
      next[key + "/z"] = text(3);
      command = "rm " + key + " && mkdir " + key + " && printf " + next[key + "/z"] + " > " + key +
                "/z";
    } else if (action == 9) {
      // A directory becomes a file.
      const std::string dir = dir_of(key);
      if (dir == ".") continue;
      for (const auto& [k, v] : now) {
        if (k.starts_with(dir + "/")) next.erase(k);
      }
      if (!fits(next, dir)) continue;
      next[dir] = text(4);
      command = "rm -r " + dir + " && printf " + next[dir] + " > " + dir;
    } else if (action == 10) {
      // Nothing of this may reach the checkpoint or the next command. Only
      // root can read back what a command locked up completely.
      const std::string locked = ::geteuid() == 0 ? "000" : "500";
      command = "ln -s " + key + " lnk; ln -s /etc/passwd " + dir_of(key) + "/pw; mkfifo fifo; "
                "mkdir -p empty/deeper; chmod " + locked + " empty " + key + "; chmod 500 " +
                dir_of(key) + "; true";
    } else if (action == 11) {
      // A hard link between two workspace files: later writes to one must
      // never change the other.
      if (other == key) continue;
      next[other] = now[key];
      command = "ln -f " + key + " " + other;
    } else if (action == 12) {
      next[key] = now[key] + "+";
      command = "printf + >> " + key;
    } else if (action == 13) {
      if (keys.empty()) continue;
      next.erase(key);
      command = "rm " + key;
    } else if (action == 15) {
      // Written through a second name in a directory made for it and gone
      // again: only the file's own inode could tell.
      if (keys.empty() || now[key].empty() || now.count("t") != 0) continue;
      next[key] = "Z" + now[key].substr(1);
      command = "mkdir t && ln " + key + " t/l && printf Z | dd of=t/l conv=notrunc status=none && "
                "rm -r t";
    } else if (action == 14) {
      // Leftovers of a failed command stay out of everything later.
      must_fail = true;
      command = std::string("printf junk > ") + (keys.empty() ? "a" : key) +
                "; mkfifo junkfifo; mkdir junkdir; " +
                (pick(2) == 0 ? "head -c 2000000 /dev/zero > big" : "head -c 2000000 /dev/zero");
    } else if (action == 16) {
      // Two directories swapped through a third name.
      if (dirs.size() < 2 || nested(some_dir, other_dir) || taken(now, "swp")) continue;
      next = exchanged(now, some_dir, other_dir);
      command = "mv " + some_dir + " swp && mv " + other_dir + " " + some_dir + " && mv swp " + other_dir;
      quiet = true;
    } else if (action == 17) {
      // Two names exchanged in one step: files, directories, or one of each.
      std::vector<std::string> names_now = keys;
      names_now.insert(names_now.end(), dirs.begin(), dirs.end());
      if (names_now.size() < 2) continue;
      const std::string x = names_now[pick(names_now.size())];
      const std::string y = names_now[pick(names_now.size())];
      if (nested(x, y)) continue;
      next = exchanged(now, x, y);
      command = std::string(VESK_RENAME_EXCHANGE) + " " + x + " " + y;
      quiet = true;
    } else if (action == 18) {
      // A directory put in another's place, the old one kept aside.
      if (dirs.size() < 2 || nested(some_dir, other_dir) || some_dir.find('.') != std::string::npos ||
          taken(now, some_dir + ".bak")) {
        continue;
      }
      next = exchanged(exchanged(now, some_dir, some_dir + ".bak"), other_dir, some_dir);
      command = "mv " + some_dir + " " + some_dir + ".bak && mv " + other_dir + " " + some_dir;
      quiet = true;
    } else if (action == 19) {
      // A directory or a file replaced by a link: to the old directory
      // moved aside, to a tree of hard links to its files, to a host file.
      const int how = static_cast<int>(pick(3));
      if (how < 2) {
        if (dirs.empty() || some_dir.find('.') != std::string::npos || taken(now, some_dir + ".old")) {
          continue;
        }
        next = exchanged(now, some_dir, some_dir + ".old");
        const std::string base = some_dir.substr(some_dir.rfind('/') + 1);
        command = "mv " + some_dir + " " + some_dir + ".old && ";
        if (how == 0) {
          command += "ln -s " + base + ".old " + some_dir;
        } else {
          for (const auto& [k, v] : now) {
            if (k.starts_with(some_dir + "/")) next[k] = v;
          }
          command += "cp -al " + some_dir + ".old " + some_dir;
        }
      } else {
        next.erase(key);
        command = "ln -sf /etc/passwd " + key;
      }
      quiet = true;
    } else if (action == 20) {
      // A directory made anew with the same names, bytes and times; the
      // inode numbers it gave back may come again.
      if (dirs.empty() || taken(now, "cpy")) continue;
      command = "cp -a " + some_dir + " cpy && rm -r " + some_dir + " && cp -a cpy " + some_dir + " && rm -r cpy";
      quiet = true;
    } else if (action == 21) {
      // A file made anew (perhaps under its old inode number) with other
      // bytes of the same size and the old modification time.
      if (keys.empty() || now[key].empty()) continue;
      std::string content = text(now[key].size());
      if (content == now[key]) content[0] = content[0] == 'a' ? 'b' : 'a';
      next[key] = content;
      command = "T=$(stat -c %.9Y " + key + ") && rm " + key + " && printf " + content + " > " +
                key + " && touch -d @$T " + key;
      quiet = true;
    } else {
      command = pick(2) == 0 ? "true" : "exit 3";
    }
    // A command that could not do its part (a tool missing in the sandbox)
    // must fail the step, not leave a model that no longer matches.
    const bool marked = !must_fail && !command.empty() && command != "exit 3";
    if (marked) command = "{ " + command + "; } && echo " + kStepDone;
    if (command.empty()) {
      ASSERT_EQ(entries_of(history.current().files), model_[history.current_id()]);
      continue;
    }

    // A listing opens every file; without one, most files are left alone,
    // as by most commands.
    const bool listed = quiet ? pick(4) == 0 : pick(3) != 0;
    const std::uint64_t base = history.current_id();
    const auto ran =
        execute_bash(history, config_, (listed ? kListing : "") + command, nullptr, &kept);
    SCOPED_TRACE(command);
    if (must_fail) {
      ASSERT_FALSE(ran);
      EXPECT_FALSE(kept.exists());
      EXPECT_EQ(history.current_id(), base);
      model_.resize(base + 1);
    } else {
      ASSERT_TRUE(ran) << ran.error().message();
      const std::string& out = (*ran)->stdout_text;
      if (marked) {
        ASSERT_TRUE(out.ends_with(std::string(kStepDone) + "\n")) << out;
      }
      if (listed) {
        ASSERT_EQ(out.substr(0, out.find("--\n") + 3), listing_of(now));
      }
      model_.resize(base + 1);
      model_.push_back(next);
      ASSERT_EQ(entries_of(history.current().files), next);
      ASSERT_TRUE(kept.exists());
      // The kept directory is what a fresh one made from the checkpoint is.
      TempDir fresh(work_parent_.path());
      ASSERT_TRUE(materialize(history.current().files, fresh.path()));
      ASSERT_EQ(tree_of(kept.path()), tree_of(fresh.path()));
      if (share) {
        EXPECT_LE(file_watches_held(), *share);
      }
      struct stat st;
      ASSERT_EQ(::stat(kept.path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
  }
  // The last state, seen once more by a command.
  auto last = execute_bash(history, config_, kListing, nullptr, &kept);
  ASSERT_TRUE(last) << last.error().message();
  EXPECT_EQ((*last)->stdout_text, listing_of(model_[history.current_id() - 1]));
  kept.drop();
}

// The session's directory lives on between commands and goes with its
// keeper; a failure drops it, and the next command starts from a fresh one.
// Changes that leave the fewest traces: a write through a mapping whose last
// reference is a descriptor in flight in a socket that holds itself (so the
// file's last close comes from the kernel's collector, after the command),
// and a same-size rewrite through a second name with the modification time
// set back. Each must reach the checkpoint, command after command.
TEST_F(SandboxTest, KeptDirectorySeesChangesThatLeaveFewTraces) {
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no python3";
  KeptWorkDir kept;
  ASSERT_TRUE(history_.write_file("f", "aaaa"));
  ASSERT_TRUE(history_.write_file("d/g", "bbbb"));
  ASSERT_TRUE(history_.write_file("quiet", "cccc"));
  ASSERT_TRUE(execute_bash(history_, config_, "true", nullptr, &kept));
  const std::string mapped =
      "python3 - <<'EOF'\n"
      "import mmap, os, socket\n"
      "fd = os.open('f', os.O_RDWR)\n"
      "m = mmap.mmap(fd, 4)\n"
      "m[0:4] = b'MMAP'\n"
      "a, b = socket.socketpair()\n"
      "socket.send_fds(a, [b'x'], [fd, b.fileno()])\n"
      "os._exit(0)\n"
      "EOF";
  const std::string relinked =
      "mkdir t && ln d/g t/l && printf Z | dd of=t/l conv=notrunc status=none && "
      "touch -d @0 t/l && rm -r t";
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto first = execute_bash(history_, config_, mapped, nullptr, &kept);
    ASSERT_TRUE(first) << first.error().message();
    EXPECT_EQ(entries_of((*first)->files),
              (std::map<std::string, std::string>{
                  {"f", "MMAP"}, {"d/g", "bbbb"}, {"quiet", "cccc"}}));
    auto second = execute_bash(history_, config_, relinked, nullptr, &kept);
    ASSERT_TRUE(second) << second.error().message();
    EXPECT_EQ(entries_of((*second)->files),
              (std::map<std::string, std::string>{{"f", "MMAP"}, {"d/g", "Zbbb"}, {"quiet", "cccc"}}));
    // Back to the start, so that the next round changes everything again.
    ASSERT_TRUE(history_.write_file("f", "aaaa"));
    ASSERT_TRUE(history_.write_file("d/g", "bbbb"));
  }
}

// After commands that changed nothing and opened no file, a directory whose
// files all hold watches is passed over without a look at its entries. Each
// way a command can change such a directory's files must still reach the
// checkpoint, and the directory must still be what a fresh one would be.
TEST_F(KeptDirModelTest, QuietDirectoriesArePassedOverOnlyWhileNothingReports) {
  // On a tmpfs, whose times have nanoseconds, a directory passes the stamp
  // rule at once instead of a second after it changed.
  if (!shm_writable()) GTEST_SKIP() << "no writable /dev/shm";
  TempDir shm("/dev/shm");
  ScopedEnv tmpdir("TMPDIR", shm.path().string());
  struct Change {
    const char* host_write;  // a key the host writes "hhhh" to before the command
    const char* command;
    Files after;
  };
  const std::vector<Change> changes = {
      {nullptr, "printf AAAA > d1/a",
       {{"d1/a", "AAAA"}, {"d1/b", "bbbb"}, {"d2/x", "xxxx"}, {"top", "tttt"}}},
      {nullptr, "printf Q | dd of=d1/b conv=notrunc status=none && touch -d @0 d1/b",
       {{"d1/a", "AAAA"}, {"d1/b", "Qbbb"}, {"d2/x", "xxxx"}, {"top", "tttt"}}},
      {nullptr, "mv d1/a d1/c", {{"d1/c", "AAAA"}, {"d1/b", "Qbbb"}, {"d2/x", "xxxx"}, {"top", "tttt"}}},
      {nullptr, "mkdir t && ln d2/x t/x && printf Y | dd of=t/x conv=notrunc status=none && rm -r t",
       {{"d1/c", "AAAA"}, {"d1/b", "Qbbb"}, {"d2/x", "Yxxx"}, {"top", "tttt"}}},
      {nullptr, VESK_RENAME_EXCHANGE " d1 d2",
       {{"d2/c", "AAAA"}, {"d2/b", "Qbbb"}, {"d1/x", "Yxxx"}, {"top", "tttt"}}},
      {"d1/h", "printf HH | dd of=d1/h conv=notrunc status=none && touch -d @0 d1/h",
       {{"d2/c", "AAAA"}, {"d2/b", "Qbbb"}, {"d1/x", "Yxxx"}, {"d1/h", "HHhh"}, {"top", "tttt"}}},
      {nullptr, "truncate -s 0 d1/x",
       {{"d2/c", "AAAA"}, {"d2/b", "Qbbb"}, {"d1/x", ""}, {"d1/h", "HHhh"}, {"top", "tttt"}}},
      {nullptr, "rm d2/b", {{"d2/c", "AAAA"}, {"d1/x", ""}, {"d1/h", "HHhh"}, {"top", "tttt"}}},
  };
  // Every file watched; then one watch for five files, each file rewritten
  // in place in turn, so that most of the rewrites reach a file without a
  // watch (whose directory must still be gone through).
  std::vector<Change> rewrites;
  Files start = {{"d1/a", "aaaa"}, {"d1/b", "bbbb"}, {"d1/c", "cccc"}, {"d2/x", "xxxx"}, {"top", "tttt"}};
  Files now = start;
  std::vector<std::string> commands;
  for (const auto& [key, content] : start) {
    commands.push_back("printf Z | dd of=" + key + " conv=notrunc status=none");
    now[key][0] = 'Z';
    rewrites.push_back({nullptr, nullptr, now});
  }
  for (std::size_t i = 0; i < rewrites.size(); ++i) rewrites[i].command = commands[i].c_str();
  for (const bool limited : {false, true}) {
    SCOPED_TRACE(limited ? "one watch" : "every file watched");
    WatchShare watch_share(limited ? std::optional<std::size_t>(1) : std::nullopt);
    History history(HistoryLimits{std::nullopt, config_.max_workspace_mb});
    KeptWorkDir kept;
    Files expected = limited ? start
                             : Files{{"d1/a", "aaaa"}, {"d1/b", "bbbb"}, {"d2/x", "xxxx"}, {"top", "tttt"}};
    for (const auto& [key, content] : expected) ASSERT_TRUE(history.write_file(key, content));
    for (const Change& change : limited ? rewrites : changes) {
      const std::string command = change.command;
      SCOPED_TRACE(command);
      // Settled: the first of these records the quiet directories, the next
      // ones pass over them.
      for (int i = 0; i < 3; ++i) {
        auto quiet = execute_bash(history, config_, "true", nullptr, &kept);
        ASSERT_TRUE(quiet) << quiet.error().message();
        ASSERT_EQ(entries_of((*quiet)->files), expected);
      }
      if (change.host_write != nullptr) {
        ASSERT_TRUE(history.write_file(change.host_write, "hhhh"));
      }
      auto changed = execute_bash(history, config_, command, nullptr, &kept);
      ASSERT_TRUE(changed) << changed.error().message();
      expected = change.after;
      EXPECT_EQ(entries_of((*changed)->files), expected);
      TempDir fresh(work_parent_.path());
      ASSERT_TRUE(materialize(history.current().files, fresh.path()));
      EXPECT_EQ(tree_of(kept.path()), tree_of(fresh.path()));
    }
  }
}

TEST_F(SandboxTest, KeptDirectoryLivesBetweenCommandsAndGoesWithItsKeeper) {
  {
    KeptWorkDir kept;
    ASSERT_TRUE(history_.write_file("f", "one"));
    auto first = execute_bash(history_, config_, "pwd; echo two > g", nullptr, &kept);
    ASSERT_TRUE(first) << first.error().message();
    const std::string dir = kept.path();
    EXPECT_EQ((*first)->stdout_text, fs::canonical(dir).string() + "\n");
    auto second = execute_bash(history_, config_, "pwd; cat f g", nullptr, &kept);
    ASSERT_TRUE(second) << second.error().message();
    EXPECT_EQ((*second)->stdout_text, fs::canonical(dir).string() + "\none" "two\n");
    EXPECT_EQ(kept.path(), dir);

    config_.bash_timeout_ms = 200;
    auto timed_out =
        execute_bash(history_, config_, "echo left > junk; exec sleep 30", nullptr, &kept);
    ASSERT_FALSE(timed_out);
    EXPECT_TRUE(timed_out.error().is_runner(RunnerErrorKind::Timeout));
    EXPECT_FALSE(kept.exists());
    EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
    config_.bash_timeout_ms = Config::defaults().bash_timeout_ms;
    auto after = execute_bash(history_, config_, "ls", nullptr, &kept);
    ASSERT_TRUE(after) << after.error().message();
    EXPECT_EQ((*after)->stdout_text, "f\ng\n");
    EXPECT_NE(kept.path(), dir);
  }
  EXPECT_TRUE(holds_no_work_dir(work_parent_.path()));
}

}  // namespace
}  // namespace vesk
