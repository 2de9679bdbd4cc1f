// The implementation of parallel.h; its role and contract are stated there.

#include "core/base/parallel.h"

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
  // Each worker takes one contiguous share: neighbouring items (files of one
  // directory) then stay on one thread, which keeps the threads off each
  // other's directory locks.
  auto work = [&](std::size_t worker, std::size_t first, std::size_t end) noexcept {
    for (std::size_t item = first; item < end; ++item) {
      if (item > lowest_failed.load()) return;
      try {
        if (auto s = body(item, worker); !s) record(item, std::move(s.error()));
      } catch (...) {
        record(item, error_from_current_exception());
      }
    }
  };

  workers = std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(items, 1));
  auto share_start = [&](std::size_t w) { return items * w / workers; };
  std::vector<std::thread> threads;
  std::size_t started = 1;
  try {
    threads.reserve(workers - 1);
    for (; started < workers; ++started) {
      threads.emplace_back(work, started, share_start(started), share_start(started + 1));
    }
  } catch (...) {
    // A share without a thread is done by the calling thread below.
  }
  work(0, 0, share_start(1));
  work(0, share_start(started), items);
  for (std::thread& t : threads) t.join();
  if (failure) return fail(std::move(*failure));
  return {};
}

}  // namespace vesk
