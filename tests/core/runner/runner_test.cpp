// The runner against stand-in deno programs: small shell scripts first on
// PATH that play a runner and fail in ways a real one can't be made to.
#include "core/runner/runner.h"

#include <csignal>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process_test_util.h"
#include "test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

// Shell functions every stand-in may use. The engine's question whether
// this Deno takes the runner's V8 flags (deno eval) is answered yes, and is
// not a start.
const char* const kPrelude = R"SH(#!/bin/sh
[ "$1" = eval ] && exit 0
log() { printf '%s\n' "$1" >> "$VESK_FAKE_LOG"; }
# Exits with status $1 such that the status is known once the output ends: a
# child keeps standard output open until this shell has become a zombie.
exit_seen() {
  ( while s=$(cut -d' ' -f3 /proc/$$/stat 2>/dev/null) && [ "$s" != Z ]; do sleep 0.01; done ) &
  exit "$1"
}
log "pid $$"
)SH";

// A runner that answers by keywords in the request. `reply` numbers a reply
// with the request it answers, as the real runner does.
const char* const kServe = R"SH(
echo '{"ready":true}'
n=0
reply() { printf '{"seq":%s,%s\n' "$n" "$1"; }
while IFS= read -r line; do
  log "$line"
  n=$((n + 1))
  case "$line" in
    *MISSING_FILES*) reply '"stdout":"a","stderr":"b"}' ;;
    *STRAY*) echo 'Loading micropip'; echo '{"progress":"late"}'
             reply '"stdout":"stale","stderr":"","files":{}}' ;;
    *FORGED*) echo '{"stdout":"forged","stderr":"","files":{"/etc/x":[1]}}'
              echo '{"seq":0,"error":"forged"}'
              echo "{\"seq\":$((n + 1)),\"error\":\"forged\"}"
              echo '{"progress":"real"}'
              reply '"stdout":"real","stderr":"","files":{}}' ;;
    *CUT*) printf '{"seq":%s,"stdout":"cut","stderr":"","fi' "$n"; exit_seen 0 ;;
    *RAISE*) reply '"error":"Traceback (most recent call last):\nValueError: boom"}' ;;
    *NOT_UTF8*) printf '{"progress":"\377"}\n' ;;
    *DIE*) exit_seen 7 ;;
    *HANG*) ;;
    *'"package":"missing"'*) reply '"error":"no wheel for missing"}' ;;
    *'"package"'*) reply '"stdout":"","stderr":"","files":{}}' ;;
    *) echo '{"progress":"step 1"}'; echo '{"progress":""}'
       reply '"stdout":"out","stderr":"err","files":{"a":[104,105],"e":[]}}' ;;
  esac
done
)SH";

class FakeDeno {
 public:
  // `body` follows the prelude, unless `raw` asks for the file as given.
  explicit FakeDeno(const std::string& body, bool raw = false) {
    write_file(dir_.path() / "deno", raw ? body : kPrelude + body, true);
    env_.set("PATH", dir_.path().string() + ":/usr/bin:/bin");
    env_.set("TMPDIR", dir_.path().string());
    env_.set("VESK_FAKE_LOG", log_path().string());
  }
  VeskEngine engine(std::uint64_t exec_ms = 20000, std::uint64_t install_ms = 20000) {
    Config config;
    config.exec_timeout_ms = exec_ms;
    config.install_timeout_ms = install_ms;
    Result<VeskEngine> e = VeskEngine::create(config);
    EXPECT_TRUE(e.has_value()) << e.error().message();
    return *e;
  }
  // Lines the stand-in logged: "pid N", then every request it read.
  std::vector<std::string> log() const {
    std::istringstream in(read_file(log_path()));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  pid_t pid() const {
    const std::vector<std::string> lines = log();
    return lines.empty() ? 0 : static_cast<pid_t>(std::stoi(lines[0].substr(4)));
  }

 private:
  fs::path log_path() const { return dir_.path() / "log"; }
  ScopedRunnerIsolation direct_{RunnerIsolation::kDirect};
  TempDir dir_;
  ScopedEnv env_;
};

const RunnerError* kind_of(const Error& e) { return e.runner_error(); }

class RunnerTest : public ::testing::Test {
 protected:
  // Ending the host on SIGPIPE is the default; a write to a dead runner must
  // not do that.
  void SetUp() override { std::signal(SIGPIPE, SIG_DFL); }
};

TEST_F(RunnerTest, StartFailures) {
  struct Case {
    std::string script;
    bool raw;
    std::uint64_t install_ms;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"echo 'Download complete'\nread -r x\n", false, 20000,
       "Deno runner exited during startup (exit code: None); check server stderr for details"},
      {"echo '{\"ready\":false}'\nread -r x\n", false, 20000,
       "Deno runner exited during startup (exit code: None); check server stderr for details"},
      {"echo '{\"ready\":true'\nread -r x\n", false, 20000,
       "Deno runner exited during startup (exit code: None); check server stderr for details"},
      {"echo oops >&2\nexit_seen 3\n", false, 20000,
       "Deno runner exited during startup (exit code: Some(3)); check server stderr for details"},
      {"read -r x\n", false, 300,
       "Deno runner startup timed out after 300ms; check server stderr for details"},
      {"\x7f" "ELF not really\n", true, 20000, "Exec format error (os error 8)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    LeakCheck leaks;
    {
      FakeDeno deno(c.script, c.raw);
      Result<std::unique_ptr<Runner>> runner = Runner::start(deno.engine(20000, c.install_ms));
      ASSERT_FALSE(runner.has_value());
      EXPECT_EQ(runner.error().message(), c.message);
      EXPECT_FALSE(runner.error().runner_error());
      // A runner that was left running ends once its input closes, and is
      // reaped; one that timed out was killed.
      if (const pid_t pid = deno.pid(); pid != 0) {
        EXPECT_TRUE(eventually([&] { return process_gone(pid); }));
      }
    }
    EXPECT_TRUE(leaks.clean()) << leaks.report();
  }
}

TEST_F(RunnerTest, RequestsRoundTrip) {
  FakeDeno deno(kServe);
  VeskEngine engine = deno.engine();
  Result<std::unique_ptr<Runner>> runner = Runner::start(engine);
  ASSERT_TRUE(runner.has_value()) << runner.error().message();
  // The runner holds its own copy of the engine, and so the script file.
  EXPECT_EQ(engine.script_holders(), 2);

  FileMap files;
  files.set("k", make_content(std::string("\x01\x02", 2)));
  std::vector<std::string> progress;
  Result<ExecutionOutput> out =
      (*runner)->execute_python("print(1)", files, [&](std::string t) { progress.push_back(t); });
  ASSERT_TRUE(out.has_value()) << out.error().message();
  EXPECT_EQ(progress, (std::vector<std::string>{"step 1", ""}));
  EXPECT_EQ(out->stdout_text, "out");
  EXPECT_EQ(out->stderr_text, "err");
  ASSERT_EQ(out->files.size(), 2u);
  EXPECT_EQ(**out->files.find("a"), "hi");
  // An empty file is a file, not a missing one.
  ASSERT_NE(out->files.find("e"), nullptr);
  EXPECT_EQ(**out->files.find("e"), "");

  EXPECT_TRUE((*runner)->install("numpy"));
  // A callback may be empty.
  EXPECT_TRUE((*runner)->execute_python("pass", FileMap(), nullptr));
  const std::vector<std::string> log = deno.log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1], R"J({"code":"print(1)","files":{"k":[1,2]}})J");
  EXPECT_EQ(log[2], R"({"package":"numpy"})");
  EXPECT_EQ(log[3], R"({"code":"pass","files":{}})");

  // Releasing an idle runner kills it at once.
  const pid_t pid = (*runner)->pid();
  runner->reset();
  EXPECT_EQ(engine.script_holders(), 1);
  EXPECT_TRUE(eventually([&] { return process_gone(pid); }));
}

TEST_F(RunnerTest, InvalidRepliesLeaveTheRunnerUsable) {
  FakeDeno deno(kServe);
  Result<std::unique_ptr<Runner>> started = Runner::start(deno.engine());
  ASSERT_TRUE(started.has_value()) << started.error().message();
  Runner& runner = **started;
  std::vector<std::string> progress;
  const ProgressCallback collect = [&](std::string t) { progress.push_back(t); };

  Result<ExecutionOutput> out = runner.execute_python("MISSING_FILES", FileMap(), collect);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().message(), kNoVariantMessage);
  EXPECT_FALSE(kind_of(out.error()));

  out = runner.execute_python("RAISE", FileMap(), collect);
  ASSERT_FALSE(out.has_value());
  ASSERT_TRUE(out.error().is_runner(RunnerErrorKind::Application));
  EXPECT_EQ(out.error().message(), "Traceback (most recent call last):\nValueError: boom");

  // A stray line fails the wait with the parser's message; what the runner
  // still sends for that request never reaches a later one.
  out = runner.execute_python("STRAY", FileMap(), collect);
  ASSERT_FALSE(out.has_value());
  EXPECT_FALSE(kind_of(out.error()));
  EXPECT_EQ(out.error().message().rfind("parse error at line 1, column 1: ", 0), 0u)
      << out.error().message();
  progress.clear();
  out = runner.execute_python("again", FileMap(), collect);
  ASSERT_TRUE(out.has_value()) << out.error().message();
  EXPECT_EQ(out->stdout_text, "out");
  EXPECT_EQ(progress, (std::vector<std::string>{"step 1", ""}));

  // Lines shaped like a reply without this request's number (none, an
  // earlier one, a later one) are passed over: code in the runner can write
  // them, and they must not stand in for the reply, now or later.
  progress.clear();
  out = runner.execute_python("FORGED", FileMap(), collect);
  ASSERT_TRUE(out.has_value()) << out.error().message();
  EXPECT_EQ(out->stdout_text, "real");
  EXPECT_EQ(progress, (std::vector<std::string>{"real"}));
  out = runner.execute_python("again", FileMap(), nullptr);
  ASSERT_TRUE(out.has_value()) << out.error().message();
  EXPECT_EQ(out->stdout_text, "out");
  EXPECT_TRUE(runner.usable());

  // A failed install is the runner's text, not a RunnerError.
  Status installed = runner.install("missing");
  ASSERT_FALSE(installed.has_value());
  EXPECT_EQ(installed.error().message(), "no wheel for missing");
  EXPECT_FALSE(kind_of(installed.error()));
  EXPECT_TRUE(runner.install("present"));
}

TEST_F(RunnerTest, TimeOutKillsAndReapsTheRunner) {
  LeakCheck leaks;
  {
    FakeDeno deno(kServe);
    Result<std::unique_ptr<Runner>> runner = Runner::start(deno.engine(300, 400));
    ASSERT_TRUE(runner.has_value()) << runner.error().message();
    const pid_t pid = (*runner)->pid();

    // An install is limited by install_timeout_ms; the runner is then dead.
    Status installed = (*runner)->install("HANG");
    ASSERT_FALSE(installed.has_value());
    ASSERT_TRUE(installed.error().is_runner(RunnerErrorKind::Timeout));
    EXPECT_EQ(installed.error().runner_error()->timeout_ms, 400u);
    EXPECT_EQ(installed.error().message(), "execution timed out after 400ms");
    // Killed already, before its release: a zombie until the release reaps it.
    EXPECT_TRUE(eventually([&] { return is_zombie(pid); }));

    // Writing to it fails as the crash it is (never the broken pipe), and
    // the host lives on.
    Result<ExecutionOutput> out = (*runner)->execute_python("print(2)", FileMap(), nullptr);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().message(), "sandbox process exited unexpectedly (exit code: None)");
    EXPECT_TRUE(out.error().is_runner(RunnerErrorKind::Crash));

    runner->reset();
    EXPECT_TRUE(eventually([&] { return process_gone(pid); }));

    Result<std::unique_ptr<Runner>> second = Runner::start(deno.engine(300, 400));
    ASSERT_TRUE(second.has_value()) << second.error().message();
    const pid_t second_pid = (*second)->pid();
    out = (*second)->execute_python("HANG", FileMap(), nullptr);
    ASSERT_FALSE(out.has_value());
    ASSERT_TRUE(out.error().is_runner(RunnerErrorKind::Timeout));
    EXPECT_EQ(out.error().message(), "execution timed out after 300ms");
    EXPECT_TRUE(eventually([&] { return is_zombie(second_pid); }));
    second->reset();
    EXPECT_TRUE(eventually([&] { return process_gone(second_pid); }));
  }
  EXPECT_TRUE(leaks.clean()) << leaks.report();
}

TEST_F(RunnerTest, RunnerThatStopsReadingCannotBlockAWrite) {
  LeakCheck leaks;
  {
    FakeDeno deno("echo '{\"ready\":true}'\nexec sleep 1000\n");
    Result<std::unique_ptr<Runner>> runner = Runner::start(deno.engine(300));
    ASSERT_TRUE(runner.has_value()) << runner.error().message();
    // Far more than a pipe holds.
    FileMap files;
    files.set("big", make_content(std::string(1 << 20, 'x')));
    Result<ExecutionOutput> out = (*runner)->execute_python("pass", files, nullptr);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().message(), "execution timed out after 300ms");
  }
  EXPECT_TRUE(leaks.clean()) << leaks.report();
}

TEST_F(RunnerTest, CrashReportsTheExitCode) {
  LeakCheck leaks;
  {
    FakeDeno deno(kServe);
    Result<std::unique_ptr<Runner>> runner = Runner::start(deno.engine());
    ASSERT_TRUE(runner.has_value()) << runner.error().message();
    Result<ExecutionOutput> out = (*runner)->execute_python("DIE", FileMap(), nullptr);
    ASSERT_FALSE(out.has_value());
    ASSERT_TRUE(out.error().is_runner(RunnerErrorKind::Crash));
    EXPECT_EQ(out.error().runner_error()->exit_code, 7);
    EXPECT_EQ(out.error().message(), "sandbox process exited unexpectedly (exit code: Some(7))");
    EXPECT_FALSE((*runner)->usable());
    out = (*runner)->execute_python("print(3)", FileMap(), nullptr);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().message(), "sandbox process exited unexpectedly (exit code: Some(7))");

    // A reply cut short by the runner's end is no reply: the stream ended.
    Result<std::unique_ptr<Runner>> cut = Runner::start(deno.engine());
    ASSERT_TRUE(cut.has_value()) << cut.error().message();
    out = (*cut)->execute_python("CUT", FileMap(), nullptr);
    ASSERT_FALSE(out.has_value());
    ASSERT_TRUE(out.error().is_runner(RunnerErrorKind::Crash)) << out.error().message();
    EXPECT_EQ(out.error().message(), "sandbox process exited unexpectedly (exit code: Some(0))");
    EXPECT_FALSE((*cut)->usable());

    // Bytes that are not UTF-8 end the wait like a closed stream; the
    // process still runs, so there is no exit code.
    Result<std::unique_ptr<Runner>> second = Runner::start(deno.engine());
    ASSERT_TRUE(second.has_value()) << second.error().message();
    out = (*second)->execute_python("NOT_UTF8", FileMap(), nullptr);
    ASSERT_FALSE(out.has_value());
    ASSERT_TRUE(out.error().is_runner(RunnerErrorKind::Crash));
    EXPECT_EQ(out.error().message(), "sandbox process exited unexpectedly (exit code: None)");
  }
  EXPECT_TRUE(leaks.clean()) << leaks.report();
}

TEST_F(RunnerTest, RecoveryReinstallsPackagesIgnoringFailures) {
  FakeDeno deno(kServe);
  Result<std::unique_ptr<Runner>> runner =
      Runner::new_from_timeout_recovery(deno.engine(), {"a", "missing", "b", "a"});
  ASSERT_TRUE(runner.has_value()) << runner.error().message();
  Result<ExecutionOutput> out = (*runner)->execute_python("x", FileMap(), nullptr);
  ASSERT_TRUE(out.has_value()) << out.error().message();
  const std::vector<std::string> log = deno.log();
  const std::vector<std::string> expected = {
      R"({"package":"a"})", R"({"package":"missing"})", R"({"package":"b"})",
      R"({"package":"a"})", R"({"code":"x","files":{}})"};
  EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()), expected);
}


// ---------------------------------------------------------------------------
// The real runner script under the real Deno (put first on PATH by the
// project's scripts). Each start costs a few seconds, so they are few.

// A Config for a runner without network, unless hosts are given.
Config real_config(std::vector<std::string> hosts = {}) {
  Config config;
  config.domain_allowlist = std::move(hosts);
  return config;
}

std::string all_bytes() {
  std::string s;
  for (int b = 0; b < 256; ++b) s.push_back(static_cast<char>(b));
  return s;
}

TEST(RealRunner, ExecuteRoundTripsAndErrors) {
  LeakCheck leaks;
  {
    Result<VeskEngine> engine = VeskEngine::create(real_config());
    ASSERT_TRUE(engine.has_value()) << engine.error().message();
    Result<std::unique_ptr<Runner>> started = Runner::start(*engine);
    ASSERT_TRUE(started.has_value()) << started.error().message();
    Runner& runner = **started;

    FileMap files;
    files.set("bin.dat", make_content(all_bytes()));
    files.set("empty", make_content(""));
    files.set("bad_utf8.txt", make_content("\xff\xfe abc \xc3"));
    files.set("dir/\xC3\xBCn\xC3\xAF.txt", make_content("x"));
    std::vector<std::string> progress;
    Result<ExecutionOutput> out = runner.execute_python(
        "import os\n"
        "print(sorted(os.listdir('.')))\n"
        "open('new.txt', 'wb').write(bytes(range(3)))\n"
        "os.remove('dir/\xC3\xBCn\xC3\xAF.txt')\n"
        "x = 41\n"
        "print('\xC3\xA4\xE2\x82\xAC\\t\"q\"\\\\')\n",
        files, [&](std::string t) { progress.push_back(std::move(t)); });
    ASSERT_TRUE(out.has_value()) << out.error().message();
    EXPECT_EQ(progress, (std::vector<std::string>{"['bad_utf8.txt', 'bin.dat', 'dir', 'empty']",
                                                  "\xC3\xA4\xE2\x82\xAC\t\"q\"\\"}));
    EXPECT_EQ(out->stdout_text,
              "['bad_utf8.txt', 'bin.dat', 'dir', 'empty']\n\xC3\xA4\xE2\x82\xAC\t\"q\"\\");
    FileMap expected = files;
    expected.erase("dir/\xC3\xBCn\xC3\xAF.txt");
    expected.set("new.txt", make_content(std::string("\0\1\2", 3)));
    EXPECT_TRUE(out->files == expected);

    // The interpreter's state stays; the workspace is whatever is sent.
    out = runner.execute_python("print(x + 1)", FileMap(), nullptr);
    ASSERT_TRUE(out.has_value()) << out.error().message();
    EXPECT_EQ(out->stdout_text, "42");
    EXPECT_TRUE(out->files.empty());

    out = runner.execute_python("raise ValueError('boom')", FileMap(), nullptr);
    ASSERT_FALSE(out.has_value());
    ASSERT_TRUE(out.error().is_runner(RunnerErrorKind::Application));
    // The traceback as CPython prints it for the user's code: no frame of
    // Pyodide's own machinery before it.
    EXPECT_EQ(out.error().message(),
              "Traceback (most recent call last):\n"
              "  File \"<exec>\", line 1, in <module>\n"
              "ValueError: boom\n");

    // A workspace the runner cannot rebuild (a file and a directory of one
    // name) ends it.
    FileMap clash;
    clash.set("a", make_content("1"));
    clash.set("a/b", make_content("2"));
    out = runner.execute_python("pass", clash, nullptr);
    ASSERT_FALSE(out.has_value());
    ASSERT_TRUE(out.error().is_runner(RunnerErrorKind::Crash)) << out.error().message();
    const std::optional<std::int32_t> code = out.error().runner_error()->exit_code;
    EXPECT_TRUE(!code || *code == 1) << *code;
  }
  EXPECT_TRUE(leaks.clean()) << leaks.report();
}

// Builds a one-module wheel in `dir` and serves `dir` on a loopback port.
const char* const kWheelServer = R"PY(
import http.server, os, sys, zipfile
d = sys.argv[1]
with zipfile.ZipFile(os.path.join(d, "demo_pkg-1.0-py3-none-any.whl"), "w") as z:
    z.writestr("demo_pkg/__init__.py", "VALUE = 'demo'\n")
    info = "demo_pkg-1.0.dist-info/"
    z.writestr(info + "METADATA", "Metadata-Version: 2.1\nName: demo-pkg\nVersion: 1.0\n")
    z.writestr(info + "WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
    z.writestr(info + "RECORD", "")
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), lambda *a, **k: Quiet(*a, directory=d, **k))
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

TEST(RealRunner, TimeOutThenRecoveryReinstallsPackages) {
  LeakCheck leaks;
  TempDir served;
  SpawnOptions server_options;
  server_options.program = "/usr/bin/python3";
  server_options.args = {"-c", kWheelServer, served.path().string()};
  server_options.pipe_stdout = true;
  Result<Spawned> server = spawn(server_options);
  ASSERT_TRUE(server.has_value()) << server.error().message();
  {
    // The server shares our standard streams: it must end with the test even
    // when an assertion returns early, or whoever reads our output waits on it.
    struct KillOnExit {
      std::shared_ptr<Child> child;
      ~KillOnExit() {
        child->kill();
        child->wait();
      }
    } stop_server{server->child};
    FdReader reader(server->stdout_fd.get());
    std::string port;
    ASSERT_EQ(reader.read_line(port), FdReader::ReadResult::kLine);
    port.pop_back();
    const std::string host = "127.0.0.1:" + port;
    const std::string wheel = "http://" + host + "/demo_pkg-1.0-py3-none-any.whl";
    const std::string missing = "http://" + host + "/missing-1.0-py3-none-any.whl";

    Config config = real_config({host});
    config.exec_timeout_ms = 2000;
    Result<VeskEngine> engine = VeskEngine::create(config);
    ASSERT_TRUE(engine.has_value()) << engine.error().message();
    Result<std::unique_ptr<Runner>> runner = Runner::start(*engine);
    ASSERT_TRUE(runner.has_value()) << runner.error().message();
    ASSERT_TRUE((*runner)->install(wheel));
    Status failed = (*runner)->install(missing);
    ASSERT_FALSE(failed.has_value());
    EXPECT_FALSE(failed.error().runner_error());
    EXPECT_NE(failed.error().message().find("missing-1.0-py3-none-any.whl"), std::string::npos)
        << failed.error().message();

    Result<ExecutionOutput> out =
        (*runner)->execute_python("import demo_pkg\nx = 1\nprint(demo_pkg.VALUE)", FileMap(), nullptr);
    ASSERT_TRUE(out.has_value()) << out.error().message();
    EXPECT_EQ(out->stdout_text, "demo");

    // Output does not extend the limit.
    out = (*runner)->execute_python("while True:\n    print('busy')", FileMap(), nullptr);
    ASSERT_FALSE(out.has_value());
    ASSERT_TRUE(out.error().is_runner(RunnerErrorKind::Timeout)) << out.error().message();
    EXPECT_EQ(out.error().message(), "execution timed out after 2000ms");
    const pid_t dead = (*runner)->pid();
    EXPECT_TRUE(eventually([&] { return is_zombie(dead); }));

    Result<std::unique_ptr<Runner>> recovered =
        Runner::new_from_timeout_recovery(*engine, {missing, wheel});
    ASSERT_TRUE(recovered.has_value()) << recovered.error().message();
    runner->reset();
    EXPECT_TRUE(eventually([&] { return process_gone(dead); }));
    out = (*recovered)->execute_python("import demo_pkg\nprint(demo_pkg.VALUE, 'x' in globals())",
                                       FileMap(), nullptr);
    ASSERT_TRUE(out.has_value()) << out.error().message();
    EXPECT_EQ(out->stdout_text, "demo False");
  }
  server->stdout_fd.reset();
  EXPECT_TRUE(leaks.clean()) << leaks.report();
}

}  // namespace
}  // namespace vesk
