// History: write_file on a large workspace with a long history.
//
// A workspace of 10,000 files of 10 KB, then 199 write_file calls of one new
// 10 KB file each (200 checkpoints in all). Reported: the median write_file
// time, and the peak resident memory of the whole process against the
// distinct content bytes it holds. The work runs in a forked child so that
// its peak is not mixed with other benchmarks of this binary.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/history/history.h"

namespace vesk {
namespace {

constexpr int kFiles = 10000;
constexpr int kFileSize = 10 * 1024;
constexpr int kCheckpoints = 200;

struct Figures {
  double median_write_s;
  double peak_rss_bytes;
  double distinct_bytes;
};

std::string random_bytes(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; i += 8) {
    const std::uint64_t v = rng();
    for (std::size_t j = 0; j < 8 && i + j < n; ++j) s[i + j] = static_cast<char>(v >> (8 * j));
  }
  return s;
}

Figures measure() {
  std::mt19937_64 rng(42);
  History history(HistoryLimits{kCheckpoints, 512});
  for (int i = 0; i < kFiles; ++i) {
    char key[64];
    std::snprintf(key, sizeof key, "src/module_%03d/file_%05d.dat", i / 100, i);
    history.insert_into_current(key, history.blobs().intern_bytes(random_bytes(rng, kFileSize)));
  }
  std::vector<double> times;
  for (int i = 1; i < kCheckpoints; ++i) {
    std::string content = random_bytes(rng, kFileSize);
    char key[64];
    std::snprintf(key, sizeof key, "out/result_%03d.dat", i);
    const auto start = std::chrono::steady_clock::now();
    auto s = history.write_file(key, std::move(content));
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!s) std::abort();
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Figures{times[times.size() / 2], static_cast<double>(usage.ru_maxrss) * 1024.0,
                 static_cast<double>(kFiles + kCheckpoints - 1) * kFileSize};
}

void BM_HistoryWriteFile(benchmark::State& state) {
  Figures f{};
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
      Figures mine = measure();
      (void)!write(fds[1], &mine, sizeof mine);
      _exit(0);
    }
    close(fds[1]);
    if (read(fds[0], &f, sizeof f) != sizeof f) state.SkipWithError("child failed");
    close(fds[0]);
    waitpid(pid, nullptr, 0);
  }
  state.counters["median_write_s"] = f.median_write_s;
  state.counters["peak_rss_bytes"] = f.peak_rss_bytes;
  state.counters["distinct_bytes"] = f.distinct_bytes;
}
BENCHMARK(BM_HistoryWriteFile)->Name("history/write_file_10k_files")->Iterations(1)->Unit(
    benchmark::kMillisecond);

}  // namespace
}  // namespace vesk
