// Diff of two 100,000-line files that differ in 1% of their lines, scattered:
// diff_file_maps against `git diff --no-index` on the same pair, run as a
// whole process (spawn, read both files, diff, write the patch to a pipe).
//
// Diff of two adjacent checkpoints of a 10,000-file workspace where one file
// changed, through History::diff, and the structural FileMap::diff alone: both
// should cost what the one changed file costs, not what the workspace holds.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/history/diff.h"
#include "core/history/file_map.h"
#include "core/history/history.h"
#include "core/base/process.h"

namespace vesk {
namespace {

constexpr int kLines = 100000;
constexpr int kChanged = kLines / 100;

// Source-like text: mostly distinct lines, with the blank lines and closing
// braces that real files repeat many times.
std::string make_line(std::mt19937& rng, int i) {
  switch (rng() % 10) {
    case 0:
      return "\n";
    case 1:
      return "  }\n";
    default:
      return "  value_" + std::to_string(i) + " = compute(" + std::to_string(rng() % 1000) +
             ", \"item\", " + std::to_string(rng() % 97) + ");\n";
  }
}

struct Pair {
  std::string old_text, new_text;
  std::filesystem::path dir, old_path, new_path;

  Pair() {
    std::mt19937 rng(12345);
    std::vector<std::string> lines;
    lines.reserve(kLines);
    for (int i = 0; i < kLines; ++i) lines.push_back(make_line(rng, i));
    for (const auto& l : lines) old_text += l;
    std::vector<int> picks(kLines);
    for (int i = 0; i < kLines; ++i) picks[static_cast<std::size_t>(i)] = i;
    std::shuffle(picks.begin(), picks.end(), rng);
    for (int k = 0; k < kChanged; ++k) {
      auto& line = lines[static_cast<std::size_t>(picks[static_cast<std::size_t>(k)])];
      line.insert(line.size() - 1, " // edited");
    }
    for (const auto& l : lines) new_text += l;

    std::string pattern = (std::filesystem::temp_directory_path() / "vesk-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    old_path = dir / "old.txt";
    new_path = dir / "new.txt";
    std::ofstream(old_path, std::ios::binary) << old_text;
    std::ofstream(new_path, std::ios::binary) << new_text;
  }
  ~Pair() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

const Pair& pair() {
  static const Pair p;
  return p;
}

long count_changed(const std::string& patch) {
  long n = 0;
  for (std::size_t at = 0; at < patch.size();) {
    const std::size_t end = std::min(patch.find('\n', at), patch.size());
    const char tag = patch[at];
    if ((tag == '-' || tag == '+') && patch.compare(at, 4, "--- ") != 0 &&
        patch.compare(at, 4, "+++ ") != 0) {
      ++n;
    }
    at = end + 1;
  }
  return n;
}

void BM_DiffFileMaps(benchmark::State& state) {
  FileMap from, to;
  from.set("big.txt", make_content(pair().old_text));
  to.set("big.txt", make_content(pair().new_text));
  std::string out;
  for (auto _ : state) {
    out = diff_file_maps(from, to);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["changed_lines"] = static_cast<double>(count_changed(out));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(pair().old_text.size() + pair().new_text.size()));
}
BENCHMARK(BM_DiffFileMaps)->Name("diff/file_maps")->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_GitDiffNoIndex(benchmark::State& state) {
  // The user's and the system's git configuration stay out of the measure.
  ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  ::setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  SpawnOptions options;
  options.program = "git";
  options.args = {"diff", "--no-index", "--no-color", "--no-ext-diff",
                  pair().old_path.string(), pair().new_path.string()};
  options.pipe_stdout = true;
  std::string out;
  for (auto _ : state) {
    auto spawned = spawn(options);
    if (!spawned) {
      state.SkipWithError(spawned.error().message().c_str());
      return;
    }
    out.clear();
    char buf[65536];
    for (ssize_t n; (n = ::read(spawned->stdout_fd.get(), buf, sizeof buf)) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
    // Exit status 1 means "files differ".
    const ExitStatus status = spawned->child->wait();
    if (status.code != 1) {
      state.SkipWithError("git diff did not report a difference");
      return;
    }
  }
  state.counters["changed_lines"] = static_cast<double>(count_changed(out));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(pair().old_text.size() + pair().new_text.size()));
}
BENCHMARK(BM_GitDiffNoIndex)->Name("diff/git_no_index")->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)
    ->ReportAggregatesOnly(true);

constexpr int kFiles = 10000;

// A workspace of kFiles text files of about 1 KB (checkpoint 0), then one
// line of one of them rewritten (checkpoint 1).
const History& adjacent_checkpoints() {
  static const History* history = [] {
    auto* h = new History(HistoryLimits{});
    for (int i = 0; i < kFiles; ++i) {
      char key[64];
      std::snprintf(key, sizeof key, "src/module_%03d/file_%05d.py", i / 100, i);
      std::string text;
      for (int line = 0; line < 32; ++line) {
        text += "value_" + std::to_string(line) + " = compute(" + std::to_string(i) + ")\n";
      }
      h->insert_into_current(key, h->blobs().intern_bytes(std::move(text)));
    }
    const Content* old = h->current().files.find("src/module_042/file_04242.py");
    std::string edited = **old;
    edited.replace(edited.find("compute"), 7, "recompute");
    if (!h->write_file("src/module_042/file_04242.py", std::move(edited))) std::abort();
    return h;
  }();
  return *history;
}

void BM_DiffAdjacentCheckpoints(benchmark::State& state) {
  const History& history = adjacent_checkpoints();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto out = history.diff(0, 1);
    if (!out) std::abort();
    bytes = out->size();
    benchmark::DoNotOptimize(out->data());
  }
  state.counters["diff_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_DiffAdjacentCheckpoints)->Name("diff/adjacent_checkpoints_10k_files")->Unit(
    benchmark::kMicrosecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

void BM_FileMapStructuralDiff(benchmark::State& state) {
  const History& history = adjacent_checkpoints();
  const FileMap& from = history.checkpoints()[0].files;
  const FileMap& to = history.checkpoints()[1].files;
  std::size_t changes = 0;
  for (auto _ : state) {
    const std::vector<FileMap::Difference> d = FileMap::diff(from, to);
    changes = d.size();
    benchmark::DoNotOptimize(d.data());
  }
  state.counters["changes"] = static_cast<double>(changes);
}
BENCHMARK(BM_FileMapStructuralDiff)->Name("diff/file_map_structural_10k_files")->Unit(
    benchmark::kMicrosecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
}  // namespace vesk
