#include "core/parallel.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vesk {

std::size_t worker_count(std::size_t items) {
  // Below this, starting threads costs more than it saves.
  constexpr std::size_t kItemsPerWorker = 64;
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::clamp<std::size_t>(items / kItemsPerWorker, 1, std::min<std::size_t>(cores, 4));
}

Status parallel_for(std::size_t items, std::size_t workers,
                    const std::function<Status(std::size_t item, std::size_t worker)>& body) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> lowest_failed{items};
  std::mutex mu;
  std::optional<Error> failure;

  auto record = [&](std::size_t item, Error error) {
    std::lock_guard<std::mutex> lock(mu);
    if (item < lowest_failed.load()) {
      lowest_failed.store(item);
      failure = std::move(error);
    }
  };
  auto work = [&](std::size_t worker) noexcept {
    for (;;) {
      const std::size_t item = next.fetch_add(1);
      if (item >= items || item > lowest_failed.load()) return;
      try {
        if (auto s = body(item, worker); !s) record(item, std::move(s.error()));
      } catch (...) {
        record(item, error_from_current_exception());
      }
    }
  };

  std::vector<std::thread> threads;
  try {
    for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(work, w);
  } catch (...) {
    // Fewer threads: the ones running share the items.
  }
  work(0);
  for (std::thread& t : threads) t.join();
  if (failure) return fail(std::move(*failure));
  return {};
}

}  // namespace vesk
