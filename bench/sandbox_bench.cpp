// Shell execution and mounts against their plain command-line counterparts:
//   * execute_bash("true") on an empty workspace vs. the same bwrap command
//     started and waited for directly (the cost of the call's own plumbing);
//   * execute_bash("true") on 1000 files of 10 KB (writing out, reading back
//     and interning the workspace);
//   * execute_bash("true") on 10,000 files / 50 MB in a kept work directory
//     with nothing changed, next to the empty workspace in a kept directory
//     (what a session's commands cost) and the same workspace in a fresh
//     directory per call;
//   * mount of a directory of 10,000 small files vs. `cp -r` of it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/exchange/fs_tree.h"
#include "core/history/history.h"
#include "core/shell/kept_dir.h"
#include "core/exchange/mount.h"
#include "core/base/process.h"
#include "core/shell/sandbox.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

// A directory for the benchmark's own files, removed at exit: where the work
// directories go, so that mount and `cp -r` meet the same file system.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = work_dir_parent(0, 512) + "/vesk-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() { remove_tree(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

HistoryLimits no_limits() { return HistoryLimits{std::nullopt, std::nullopt}; }

void run_true(benchmark::State& state, History& history, KeptWorkDir* kept = nullptr) {
  Config config = Config::defaults();
  config.max_checkpoints.reset();
  config.max_workspace_mb.reset();
  for (auto _ : state) {
    auto checkpoint = execute_bash(history, config, "true", nullptr, kept);
    if (!checkpoint) {
      state.SkipWithError(checkpoint.error().message().c_str());
      return;
    }
    // Back to the start, so the next call discards this checkpoint again.
    (void)history.rollback(history.current_id() - 1);
  }
}

void BM_SandboxExecuteBashTrueEmpty(benchmark::State& state) {
  History history(no_limits());
  run_true(state, history);
}
BENCHMARK(BM_SandboxExecuteBashTrueEmpty)
    ->Name("sandbox/execute_bash_true_empty")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SandboxBareBwrapTrue(benchmark::State& state) {
  const std::string parent = work_dir_parent(0, 512);
  std::string dir = parent + "/vesk-bench-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  auto options = sandboxed_sh("true", dir);
  if (!options) {
    state.SkipWithError(options.error().message().c_str());
    return;
  }
  options->cwd = dir;
  for (auto _ : state) {
    auto spawned = spawn(*options);
    if (!spawned) {
      state.SkipWithError(spawned.error().message().c_str());
      break;
    }
    spawned->child->wait();
  }
  remove_tree(dir);
}
BENCHMARK(BM_SandboxBareBwrapTrue)
    ->Name("sandbox/bare_bwrap_true")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SandboxExecuteBashTrue1000Files(benchmark::State& state) {
  History history(no_limits());
  for (int i = 0; i < 1000; ++i) {
    std::string content(10240, static_cast<char>('a' + i % 26));
    content.replace(0, std::to_string(i).size(), std::to_string(i));
    (void)history.write_file(
        "src/dir" + std::to_string(i % 10) + "/file" + std::to_string(i) + ".txt",
        std::move(content));
  }
  run_true(state, history);
}
BENCHMARK(BM_SandboxExecuteBashTrue1000Files)
    ->Name("sandbox/execute_bash_true_1000_files")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// 10,000 files of 5000 to 5485 bytes (50 MB) in 100 directories.
void fill_50mb(History& history) {
  for (int i = 0; i < 10000; ++i) {
    std::string content(5000 + i % 486, static_cast<char>('a' + i % 26));
    content.replace(0, std::to_string(i).size(), std::to_string(i));
    std::string key = "src/dir";
    key += std::to_string(i % 100);
    key += "/file";
    key += std::to_string(i);
    key += ".txt";
    (void)history.write_file(key, std::move(content));
  }
}

void BM_SandboxKeptTrueEmpty(benchmark::State& state) {
  History history(no_limits());
  KeptWorkDir kept;
  run_true(state, history, &kept);
}
BENCHMARK(BM_SandboxKeptTrueEmpty)
    ->Name("sandbox/kept_true_empty")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_SandboxKeptTrue10000Files(benchmark::State& state) {
  History history(no_limits());
  fill_50mb(history);
  KeptWorkDir kept;
  // The first command writes the workspace out; the measured ones find it
  // there with nothing changed.
  Config config = Config::defaults();
  config.max_checkpoints.reset();
  config.max_workspace_mb.reset();
  if (auto first = execute_bash(history, config, "true", nullptr, &kept); !first) {
    state.SkipWithError(first.error().message().c_str());
    return;
  }
  (void)history.rollback(history.current_id() - 1);
  run_true(state, history, &kept);
}
BENCHMARK(BM_SandboxKeptTrue10000Files)
    ->Name("sandbox/kept_true_10000_files_50mb")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_SandboxFreshTrue10000Files(benchmark::State& state) {
  History history(no_limits());
  fill_50mb(history);
  run_true(state, history);
}
BENCHMARK(BM_SandboxFreshTrue10000Files)
    ->Name("sandbox/fresh_true_10000_files_50mb")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// 10,000 files of 100 to 1000 bytes in 100 directories.
// Made on first use and removed when the program ends.
const ScratchDir& small_files_tree() {
  static const ScratchDir scratch;
  static const bool filled = [] {
    for (int d = 0; d < 100; ++d) {
      // Names built with += : GCC 12 at -O3 warns falsely about "d" + string.
      std::string dir_name = "d";
      dir_name += std::to_string(d);
      const fs::path dir = fs::path(scratch.path()) / "tree" / dir_name;
      fs::create_directories(dir);
      for (int f = 0; f < 100; ++f) {
        std::string file_name = "f";
        file_name += std::to_string(f);
        file_name += ".txt";
        std::ofstream(dir / file_name)
            << std::string(100 + (d * 100 + f) % 900, static_cast<char>('a' + f % 26));
      }
    }
    return true;
  }();
  (void)filled;
  return scratch;
}

void BM_SandboxMount10000Files(benchmark::State& state) {
  const std::string tree = small_files_tree().path() + "/tree";
  const Config config = Config::defaults();
  for (auto _ : state) {
    History history(no_limits());
    MountOrigins origins;
    auto keys = mount(history, origins, config, tree);
    if (!keys || keys->size() != 10000) {
      state.SkipWithError(keys ? "wrong number of keys" : keys.error().message().c_str());
      break;
    }
    state.PauseTiming();
    {
      History released = std::move(history);
      MountOrigins gone = std::move(origins);
    }
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SandboxMount10000Files)
    ->Name("sandbox/mount_10000_files")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SandboxCpR10000Files(benchmark::State& state) {
  const std::string tree = small_files_tree().path() + "/tree";
  const std::string copy = small_files_tree().path() + "/copy";
  SpawnOptions cp;
  cp.program = "cp";
  cp.args = {"-r", tree, copy};
  for (auto _ : state) {
    auto spawned = spawn(cp);
    if (!spawned) {
      state.SkipWithError(spawned.error().message().c_str());
      break;
    }
    spawned->child->wait();
    state.PauseTiming();
    remove_tree(copy);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_SandboxCpR10000Files)
    ->Name("sandbox/cp_r_10000_files")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace vesk
