// Runner: start-up and request round trips with the real Deno and Pyodide.
//
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

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/io.h"
#include "core/process.h"
#include "core/runner.h"

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
  const std::string script = engine->script_path() + ".bare.ts";
  std::ofstream(script) << kBareScript;
  // The runner's own command with the bare script in its place.
  Result<std::unique_ptr<PrivateDir>> dir = PrivateDir::create(temp_dir());
  Result<LaunchCommand> launch =
      dir ? engine->launch_command((*dir)->path()) : Result<LaunchCommand>(fail(dir.error()));
  if (!launch) {
    state.SkipWithError(launch.error().message().c_str());
    return;
  }
  LaunchCommand command = *launch;
  for (std::string& arg : command.args) {
    const std::size_t at = arg.find(engine->script_path());
    if (at != std::string::npos) arg.replace(at, engine->script_path().size(), script);
  }
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

}  // namespace
}  // namespace vesk
