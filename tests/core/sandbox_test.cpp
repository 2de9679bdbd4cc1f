#include "core/sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/fs_tree.h"
#include "core/io.h"
#include "host_files.h"
#include "test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

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
  for (Case c : cases) {
    SCOPED_TRACE(c.tmpdir.value_or("(unset)"));
    ScopedEnv tmpdir("TMPDIR", c.tmpdir);
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

TEST_F(SandboxTest, CapturesOutputLineByLine) {
  struct Case {
    std::string command;
    std::vector<std::string> lines;
    std::string stdout_text;
    std::string stderr_text;
  };
  const Case cases[] = {
      {"printf 'a\\nb'", {"a", "b"}, "a\nb", ""},
      {"printf 'dos\\r\\nunix\\n'", {"dos\r", "unix"}, "dos\r\nunix\n", ""},
      {"echo out; echo err >&2; exit 3", {"out"}, "out\n", "err\n"},
      {"echo fine; printf 'bad \\377\\n' >&2", {"fine"}, "fine\n", ""},
      {"printf 'caf\\303\\251\\nbad \\377\\nafter\\n'", {"caf\xC3\xA9"}, "caf\xC3\xA9\n", ""},
      {"kill -9 $$", {}, "", ""},
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
    EXPECT_TRUE(dir_is_empty(work_parent_.path()));
  }
}

// After a line that is not UTF-8 the capture ends, but the stream is still
// read, so a command writing far more than a pipe holds runs to its end.
TEST_F(SandboxTest, KeepsDrainingOutputAfterTheCaptureEnds) {
  auto checkpoint = run("printf 'first\\n\\377\\n'; seq 1 200000; echo done > finished.txt");
  ASSERT_TRUE(checkpoint) << checkpoint.error().message();
  EXPECT_EQ((*checkpoint)->stdout_text, "first\n");
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
      (*checkpoint)->stdout_text.substr(0, (*checkpoint)->stdout_text.find('\n'));
  EXPECT_TRUE(pwd.starts_with(fs::canonical(work_parent_.path()).string() + "/vesk-bash-")) << pwd;
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
  EXPECT_TRUE(dir_is_empty(work_parent_.path()));

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
    EXPECT_FALSE((*checkpoint)->stdout_text.starts_with("/tmp/")) << (*checkpoint)->stdout_text;
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
  EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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
  EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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
  EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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
  EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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
  EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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
      {"printf '\\377\\n'; yes", 0, true},  // after the capture ended
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
    EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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
  History history(HistoryLimits{std::nullopt, 1});
  config_.max_workspace_mb = 1;
  ASSERT_TRUE(history.write_file("small", "x"));
  const long before = peak_kib();
  auto result = execute_bash(history, config_, "truncate -s 1G big", nullptr);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(),
            "workspace size 1073741825 bytes exceeds limit of 1048576 bytes");
  EXPECT_LT(peak_kib() - before, 256 * 1024);
  EXPECT_EQ(history.size(), 2u);
  EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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
  EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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
    EXPECT_TRUE(dir_is_empty(work_parent_.path()));
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

}  // namespace
}  // namespace vesk
