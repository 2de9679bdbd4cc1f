// Runner: start-up and request round trips with the real Deno and Pyodide.
//
//   runner/start_snapshot    Runner::start from the start snapshot, and
//   runner/start_no_snapshot without one (the first start on a machine),
//                            each until the ready line; both also report the
//                            runner's idle memory after a request;
//   runner/replacement_*     the same for a replacement after a time-out,
//                            until the next request has been answered;
//   session/*                execute_python through a session over 500 files
//                            of 100 MB or 10,000 files of 50 MB: the first
//                            run (whole workspace) and the median of later
//                            ones that change nothing or one file of 1 MB,
//                            and the runner's peak resident memory;
//   runner/start             Runner::start until the ready line, against
//   runner/bare_deno_start   a bare Deno script that only loads Pyodide and
//                            micropip and prints the ready line, started with
//                            the same permissions in the same run.
//   runner/execute_pass      execute_python("pass") on an empty workspace;
//                            the median of many round trips.
//   runner/execute_10mb      execute_python("pass") on 100 files of 100 KB of
//                            random bytes: workspace megabytes per second of
//                            round trip (request out, whole workspace back).
//
// Needs deno on PATH (scripts/env.sh puts the project's first).
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/runner/engine.h"
#include "core/base/io.h"
#include "core/base/process.h"
#include "core/runner/runner.h"
#include "core/session/session.h"
#include "core/runner/snapshot.h"

namespace vesk {
namespace {

using Clock = std::chrono::steady_clock;

const char* const kBareScript = R"TS(// @ts-nocheck
import { loadPyodide } from "npm:pyodide@314.0.8";
const pyodide = await loadPyodide();
try {
  await pyodide.loadPackage("micropip", {
    messageCallback: (m) => console.error(m),
    errorCallback: (m) => console.error(m),
  });
} catch (e) {
  console.error(String(e));
}
Deno.stdout.writeSync(new TextEncoder().encode('{"ready":true}\n'));
)TS";

std::optional<VeskEngine> make_engine(benchmark::State& state) {
  Result<VeskEngine> engine = VeskEngine::create(Config::defaults());
  if (!engine) {
    state.SkipWithError(engine.error().message().c_str());
    return std::nullopt;
  }
  return *engine;
}

// A started runner, or null after skipping the benchmark with the reason.
std::unique_ptr<Runner> start_runner(benchmark::State& state) {
  std::optional<VeskEngine> engine = make_engine(state);
  if (!engine) return nullptr;
  Result<std::unique_ptr<Runner>> runner = Runner::start(*engine);
  if (!runner) {
    state.SkipWithError(runner.error().message().c_str());
    return nullptr;
  }
  return std::move(*runner);
}

// Waits until no start snapshot is being made, and then until one for
// `engine` exists or `want` is false.
bool settle_snapshot(const VeskEngine& engine, bool want) {
  const auto deadline = Clock::now() + std::chrono::minutes(4);
  while (Clock::now() < deadline) {
    if (!start_snapshot_being_made() && (!want || load_start_snapshot(engine))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void remove_snapshot(const VeskEngine& engine) {
  ::unlink((snapshot_dir() + "/" + snapshot_key(engine) + ".snap").c_str());
}

// A field of /proc/<pid>/status in bytes ("VmRSS:", "VmHWM:"), or 0.
double status_bytes(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word) {
    if (word == field) {
      double kib = 0;
      status >> kib;
      return kib * 1024;
    }
  }
  return 0;
}

// One start, with or without the start snapshot, timed until the ready line
// (`with_request`: until the first request has been answered, as after a
// time-out, when the session's next call waits for the replacement). Puts
// the runner's idle memory after that request into `rss`.
std::optional<double> timed_start(benchmark::State& state, const VeskEngine& engine,
                                  bool snapshot, bool with_request, double* rss = nullptr) {
  // An ordinary start has the snapshot made when there is none yet.
  if (snapshot && settle_snapshot(engine, false) && !load_start_snapshot(engine)) {
    (void)Runner::start(engine);
  }
  if (!settle_snapshot(engine, snapshot)) {
    state.SkipWithError("no start snapshot was made");
    return std::nullopt;
  }
  if (!snapshot) remove_snapshot(engine);
  const auto start = Clock::now();
  Result<std::unique_ptr<Runner>> runner =
      with_request ? Runner::new_from_timeout_recovery(engine, {}) : Runner::start(engine);
  if (runner && with_request) (void)(*runner)->execute_python("pass", FileMap(), nullptr);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!runner || (*runner)->from_snapshot() != snapshot) {
    state.SkipWithError(runner ? "the start did not use the snapshot as asked"
                               : runner.error().message().c_str());
    return std::nullopt;
  }
  if (rss != nullptr) {
    // Idle: once the resident size holds still after a request. Until then
    // V8 is still compiling Pyodide's hot functions in the background and
    // freeing what the start allocated, which takes longer after a start
    // that was quicker.
    (void)(*runner)->execute_python("pass", FileMap(), nullptr);
    double last = status_bytes((*runner)->deno_pid(), "VmRSS:");
    for (int i = 0; i < 40; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      const double now = status_bytes((*runner)->deno_pid(), "VmRSS:");
      const bool still = std::abs(now - last) < 1024.0 * 1024.0;
      last = now;
      if (still && i >= 3) break;
    }
    *rss = last;
  }
  return seconds;
}

// Runs `iterations` timed starts of one kind.
void start_benchmark(benchmark::State& state, bool snapshot, bool with_request) {
  std::optional<VeskEngine> engine = make_engine(state);
  if (!engine) return;
  double rss = 0;
  for (auto _ : state) {
    std::optional<double> seconds = timed_start(state, *engine, snapshot, with_request, &rss);
    if (!seconds) return;
    state.SetIterationTime(*seconds);
  }
  state.counters["idle_rss_bytes"] = rss;
  // Leave a snapshot for whatever runs next.
  settle_snapshot(*engine, true);
}

void BM_RunnerStartFromSnapshot(benchmark::State& state) { start_benchmark(state, true, false); }
BENCHMARK(BM_RunnerStartFromSnapshot)->Name("runner/start_snapshot")->Iterations(3)->UseManualTime()->Unit(
    benchmark::kMillisecond);

void BM_RunnerStartWithoutSnapshot(benchmark::State& state) { start_benchmark(state, false, false); }
BENCHMARK(BM_RunnerStartWithoutSnapshot)->Name("runner/start_no_snapshot")->Iterations(3)->UseManualTime()->Unit(
    benchmark::kMillisecond);

void BM_ReplacementFromSnapshot(benchmark::State& state) { start_benchmark(state, true, true); }
BENCHMARK(BM_ReplacementFromSnapshot)->Name("runner/replacement_snapshot")->Iterations(3)->UseManualTime()->Unit(
    benchmark::kMillisecond);

void BM_ReplacementWithoutSnapshot(benchmark::State& state) { start_benchmark(state, false, true); }
BENCHMARK(BM_ReplacementWithoutSnapshot)->Name("runner/replacement_no_snapshot")->Iterations(3)->UseManualTime()->Unit(
    benchmark::kMillisecond);

void BM_RunnerStart(benchmark::State& state) {
  std::optional<VeskEngine> engine = make_engine(state);
  if (!engine) return;
  for (auto _ : state) {
    const auto start = Clock::now();
    Result<std::unique_ptr<Runner>> runner = Runner::start(*engine);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (!runner) {
      state.SkipWithError(runner.error().message().c_str());
      return;
    }
  }
}
BENCHMARK(BM_RunnerStart)->Name("runner/start")->Iterations(3)->UseManualTime()->Unit(
    benchmark::kMillisecond);

void BM_BareDenoStart(benchmark::State& state) {
  std::optional<VeskEngine> engine = make_engine(state);
  if (!engine) return;
  // Deno as the runner's permissions start it, outside any sandbox, on the
  // bare script.
  Result<std::unique_ptr<PrivateDir>> dir = PrivateDir::create(temp_dir());
  if (!dir) {
    state.SkipWithError(dir.error().message().c_str());
    return;
  }
  const std::string own = (*dir)->path();
  const std::string script = own + ".bare.ts";
  std::ofstream(script) << kBareScript;
  LaunchCommand command;
  command.program = engine->deno_path();
  command.args = {"run", "--no-config", "--no-lock", "--cached-only",
                  "--allow-read=" + script + "," + pyodide_package_dir() + "," + own,
                  "--allow-write=" + own};
  if (auto net = network_flag(engine->config().domain_allowlist)) command.args.push_back(*net);
  command.args.insert(command.args.end(), {script, own});
  for (auto _ : state) {
    const auto start = Clock::now();
    Result<Spawned> spawned = spawn(command.spawn_options());
    if (!spawned) {
      state.SkipWithError(spawned.error().message().c_str());
      break;
    }
    FdReader reader(spawned->stdout_fd.get());
    std::string line;
    const bool read = reader.read_line(line) == FdReader::ReadResult::kLine;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    spawned->child->kill();
    if (!read) {
      state.SkipWithError("the bare script printed nothing");
      break;
    }
  }
  ::unlink(script.c_str());
}
BENCHMARK(BM_BareDenoStart)->Name("runner/bare_deno_start")->Iterations(3)->UseManualTime()->Unit(
    benchmark::kMillisecond);

void BM_ExecutePass(benchmark::State& state) {
  std::unique_ptr<Runner> runner = start_runner(state);
  if (!runner) return;
  const FileMap empty;
  std::vector<double> times;
  for (auto _ : state) {
    for (int i = 0; i < 2000; ++i) {
      const auto start = Clock::now();
      Result<ExecutionOutput> out = runner->execute_python("pass", empty, nullptr);
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      if (!out) {
        state.SkipWithError(out.error().message().c_str());
        return;
      }
    }
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  state.counters["median_s"] = times[times.size() / 2];
}
BENCHMARK(BM_ExecutePass)->Name("runner/execute_pass")->Iterations(1)->Unit(
    benchmark::kMillisecond);

void BM_Execute10Mb(benchmark::State& state) {
  std::unique_ptr<Runner> runner = start_runner(state);
  if (!runner) return;
  std::mt19937_64 rng(11);
  FileMap files;
  for (int f = 0; f < 100; ++f) {
    std::string bytes(100 * 1024, '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    char key[32];
    std::snprintf(key, sizeof key, "data/file_%03d.bin", f);
    files.set(key, make_content(std::move(bytes)));
  }
  const double mb = static_cast<double>(files.total_bytes()) / 1e6;
  std::vector<double> times;
  for (auto _ : state) {
    const auto start = Clock::now();
    Result<ExecutionOutput> out = runner->execute_python("pass", files, nullptr);
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (!out || !(out->files == files)) {
      state.SkipWithError(out ? "the workspace came back changed" : out.error().message().c_str());
      return;
    }
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  state.counters["mb_per_s"] = mb / times[times.size() / 2];
}
BENCHMARK(BM_Execute10Mb)->Name("runner/execute_10mb")->Iterations(5)->Unit(
    benchmark::kMillisecond);

// A session whose workspace holds `count` files of random bytes, `total`
// bytes in all, or null after skipping the benchmark with the reason.
std::unique_ptr<Session> session_with_files(benchmark::State& state, int count,
                                            std::size_t total) {
  Config config = Config::defaults();
  config.max_checkpoints.reset();
  config.max_workspace_mb.reset();
  Result<VeskEngine> engine = VeskEngine::create(config);
  if (!engine) {
    state.SkipWithError(engine.error().message().c_str());
    return nullptr;
  }
  Result<std::unique_ptr<Session>> session = Session::create(*engine);
  if (!session) {
    state.SkipWithError(session.error().message().c_str());
    return nullptr;
  }
  std::mt19937_64 rng(7);
  for (int f = 0; f < count; ++f) {
    std::string bytes(total / static_cast<std::size_t>(count), '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    char key[48];
    std::snprintf(key, sizeof key, "src/dir_%02d/file_%05d.bin", f % 50, f);
    if (!(*session)->write_file(key, std::move(bytes))) {
      state.SkipWithError("write_file failed");
      return nullptr;
    }
  }
  return std::move(*session);
}

// The parent of `pid`, and whether it is a Deno process; 0 when unknown.
pid_t parent_of(pid_t pid, bool* deno) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  int ppid = 0;
  char state_char = 0;
  if (close == std::string::npos ||
      std::sscanf(text.c_str() + close + 1, " %c %d", &state_char, &ppid) != 2) {
    return 0;
  }
  *deno = text.find("(deno)") != std::string::npos;
  return static_cast<pid_t>(ppid);
}

// The session's runner: the Deno process of this program (its child, or its
// child's in bubblewrap's sandbox) that is not making a start snapshot; 0
// when there is none.
pid_t session_runner_pid() {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
  if (!proc) return 0;
  while (const dirent* entry = ::readdir(proc.get())) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    bool deno = false;
    bool unused = false;
    const pid_t parent = parent_of(pid, &deno);
    if (!deno || (parent != ::getpid() && parent_of(parent, &unused) != ::getpid())) continue;
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (args.find("snapshot-make") == std::string::npos) return pid;
  }
  return 0;
}

// execute_python on a session's workspace: the first run (the whole
// workspace goes to a new runner), then the median of runs that change
// nothing, or that rewrite one file of 1 MB (`change_one_mb`).
void session_runs(benchmark::State& state, int count, std::size_t total, bool change_one_mb) {
  std::unique_ptr<Session> session = session_with_files(state, count, total);
  if (!session) return;
  const std::string code =
      change_one_mb ? "import os\nopen('big.bin', 'wb').write(os.urandom(1 << 20))" : "pass";
  std::vector<double> times;
  double first = 0;
  const pid_t runner = session_runner_pid();
  const double idle_rss = runner > 0 ? status_bytes(runner, "VmRSS:") : 0;
  for (auto _ : state) {
    for (int i = 0; i < 21; ++i) {
      const auto start = Clock::now();
      Result<const Checkpoint*> out = session->execute_python(code, nullptr);
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (!out) {
        state.SkipWithError(out.error().message().c_str());
        return;
      }
      if (i == 0) {
        first = seconds;
      } else {
        times.push_back(seconds);
      }
    }
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  state.counters["median_s"] = times[times.size() / 2];
  state.counters["first_s"] = first;
  // Peak memory over the whole form and the runs after it, in proportion to
  // the workspace: as a whole, and above what the runner held before.
  if (runner > 0) {
    const double peak = status_bytes(runner, "VmHWM:");
    state.counters["peak_rss_ratio"] = peak / static_cast<double>(total);
    state.counters["peak_growth_ratio"] = (peak - idle_rss) / static_cast<double>(total);
  }
}

void BM_SessionPass500Files100Mb(benchmark::State& state) {
  session_runs(state, 500, 100u << 20, false);
}
BENCHMARK(BM_SessionPass500Files100Mb)->Name("session/pass_500_files_100mb")->Iterations(1)->Unit(
    benchmark::kMillisecond);

void BM_SessionChange1Mb500Files100Mb(benchmark::State& state) {
  session_runs(state, 500, 100u << 20, true);
}
BENCHMARK(BM_SessionChange1Mb500Files100Mb)->Name("session/change_1mb_500_files_100mb")->Iterations(1)->Unit(
    benchmark::kMillisecond);

void BM_SessionPass10kFiles50Mb(benchmark::State& state) {
  session_runs(state, 10000, 50u << 20, false);
}
BENCHMARK(BM_SessionPass10kFiles50Mb)->Name("session/pass_10000_files_50mb")->Iterations(1)->Unit(
    benchmark::kMillisecond);

}  // namespace
}  // namespace vesk
