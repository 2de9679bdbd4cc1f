// A session whose runner is killed at different points of a request, with the
// real Deno and runner script: each time the caller gets the error the point
// calls for, no checkpoint is lost or half-written, and the session goes on
// with a new runner.
#include "core/session/session.h"

#include <csignal>
#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host_files.h"
#include "process_test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

// The parent of `pid`, or 0.
pid_t parent_of(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || stat.size() < close + 4) return 0;
  const std::string rest = stat.substr(close + 4);
  return static_cast<pid_t>(std::atol(rest.substr(0, rest.find(' ')).c_str()));
}

// Live (not zombie) Deno processes of this process's runners: its children,
// or the children of its children when bubblewrap runs them.
std::vector<pid_t> live_runners() {
  std::vector<pid_t> pids;
  const pid_t self = ::getpid();
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto pid = static_cast<pid_t>(std::stol(name));
    const std::string stat = read_file(entry.path() / "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.size() < close + 4 || stat[close + 2] == 'Z') continue;
    const pid_t parent = parent_of(pid);
    if (parent != self && (parent == 0 || parent_of(parent) != self)) continue;
    const std::string cmdline = read_file(entry.path() / "cmdline");
    if (cmdline.find("vesk_runner") == std::string::npos || cmdline.starts_with("bwrap")) continue;
    pids.push_back(pid);
  }
  return pids;
}

// The one runner of the session under test.
pid_t the_runner() {
  std::vector<pid_t> pids;
  eventually([&] { return (pids = live_runners()).size() == 1; });
  return pids.size() == 1 ? pids[0] : 0;
}

// True once `pid` is a zombie and all its other threads have gone, and with
// them its descriptors (the first thread turns zombie before the others end).
// A runner under bubblewrap is reaped by it at once: then it is gone.
bool descriptors_closed(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return !fs::exists(proc) || (is_zombie(pid) && count_entries(proc + "/task") == 1);
}

// A counter of /proc/<pid>/io ("rchar" or "wchar"); 0 once the process is gone.
std::uint64_t io_count(pid_t pid, const std::string& field) {
  const std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
  const std::size_t at = io.find(field + ": ");
  return at == std::string::npos ? 0 : std::stoull(io.substr(at + field.size() + 2));
}

// Kills `pid` once its `field` counter has grown by `bytes`, on a thread of
// its own, so that the kill lands while the caller is busy in a request.
class KillAfterIo {
 public:
  KillAfterIo(pid_t pid, std::string field, std::uint64_t bytes)
      : thread_([this, pid, field = std::move(field), bytes] {
          const std::uint64_t start = io_count(pid, field);
          while (!stop_ && io_count(pid, field) < start + bytes) std::this_thread::yield();
          if (!stop_) killed_ = ::kill(pid, SIGKILL) == 0;
        }) {}
  KillAfterIo(const KillAfterIo&) = delete;
  KillAfterIo& operator=(const KillAfterIo&) = delete;
  ~KillAfterIo() { stop(); }

  // Stops watching; true if the kill was sent.
  bool stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return killed_;
  }

 private:
  std::atomic<bool> stop_{false};
  bool killed_ = false;
  std::thread thread_;
};

// (id, files) of every checkpoint, to compare before and after a fault.
std::vector<std::map<std::string, std::string>> snapshot(const Session& session) {
  std::vector<std::map<std::string, std::string>> out;
  for (const Checkpoint& c : session.history().checkpoints()) out.push_back(entries_of(c.files));
  return out;
}

constexpr std::uint64_t kMiB = 1048576;

TEST(SessionFaults, RunnerKilledAtAnyPointOfARequest) {
  LeakCheck leaks;
  {
    Config config;
    config.domain_allowlist = {};
    Result<VeskEngine> engine = VeskEngine::create(config);
    ASSERT_TRUE(engine.has_value()) << engine.error().message();
    Result<std::unique_ptr<Session>> created = Session::create(*engine);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    Session& session = **created;
    ASSERT_TRUE(session.write_file("kept.txt", "kept"));

    struct Case {
      std::string name;
      // Starts the kill; returns the code to run.
      std::function<std::string(pid_t runner, std::unique_ptr<KillAfterIo>& killer,
                                ProgressCallback& progress)>
          arm;
      std::string error;
    };
    const std::vector<Case> cases = {
        {"while the request is being written",
         [](pid_t runner, std::unique_ptr<KillAfterIo>& killer, ProgressCallback&) {
           // Far more than the pipes hold; the runner dies having read a part.
           killer = std::make_unique<KillAfterIo>(runner, "rchar", 8 * kMiB);
           return "pass\n#" + std::string(256 * kMiB, 'a');
         },
         "sandbox process exited unexpectedly (exit code: None)"},
        {"while Python runs",
         [](pid_t runner, std::unique_ptr<KillAfterIo>&, ProgressCallback& progress) {
           progress = [runner](std::string text) {
             if (std::string_view(text) == "looping") ::kill(runner, SIGKILL);
           };
           return std::string("print('looping')\nwhile True: pass");
         },
         "sandbox process exited unexpectedly (exit code: None)"},
        {"while the reply streams",
         [](pid_t runner, std::unique_ptr<KillAfterIo>& killer, ProgressCallback& progress) {
           // The reply is about four times the file; the kill comes a little
           // way into it.
           progress = [runner, &killer](std::string text) {
             if (std::string_view(text) == "replying") {
               killer = std::make_unique<KillAfterIo>(runner, "wchar", 16 * kMiB);
             }
           };
           return std::string("open('big.bin', 'wb').write(bytes(range(256)) * (48 * 4096))\n"
                              "print('replying')");
         },
         "sandbox process exited unexpectedly (exit code: None)"},
        {"while it is idle",
         [](pid_t runner, std::unique_ptr<KillAfterIo>&, ProgressCallback&) {
           ::kill(runner, SIGKILL);
           // Dead for good: its last thread has closed the pipes.
           EXPECT_TRUE(eventually([&] { return descriptors_closed(runner); }));
           return std::string("print('never')");
         },
         "sandbox process exited unexpectedly (exit code: None)"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      ASSERT_TRUE(session.execute_python("state = 1", nullptr));
      const auto before = snapshot(session);
      const pid_t runner = the_runner();
      ASSERT_NE(runner, 0);
      std::unique_ptr<KillAfterIo> killer;
      ProgressCallback progress;
      const std::string code = c.arm(runner, killer, progress);
      Result<const Checkpoint*> run = session.execute_python(code, progress);
      ASSERT_FALSE(run.has_value());
      EXPECT_EQ(run.error().message(), c.error);
      EXPECT_TRUE(run.error().interpreter_reset());
      if (killer) {
        EXPECT_TRUE(killer->stop());
      }
      EXPECT_EQ(snapshot(session), before);
      // A new runner took the dead one's place, which is reaped.
      EXPECT_TRUE(eventually([&] { return process_gone(runner); }));
      const pid_t replacement = the_runner();
      EXPECT_NE(replacement, 0);
      EXPECT_NE(replacement, runner);
      // A fresh interpreter, over the same workspace.
      Result<const Checkpoint*> next = session.execute_python(
          "print(open('kept.txt').read(), 'state' in globals())", nullptr);
      ASSERT_TRUE(next.has_value()) << next.error().message();
      EXPECT_EQ((*next)->stdout_text, "kept False");
      EXPECT_EQ((*next)->id, before.size());
    }
  }
  EXPECT_TRUE(leaks.clean()) << leaks.report();
}

}  // namespace
}  // namespace vesk
