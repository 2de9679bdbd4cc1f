#include "core/file_watches.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <limits>

namespace vesk {

namespace {

constexpr std::size_t kNoOverride = std::numeric_limits<std::size_t>::max();

std::atomic<std::size_t> g_watches_held{0};
std::atomic<std::size_t> g_instances_held{0};
std::atomic<std::size_t> g_share_override{kNoOverride};

// The number in a /proc file, nullopt when it cannot be read.
std::optional<std::size_t> read_number(const char* path) {
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) return std::nullopt;
  unsigned long long value = 0;
  const bool read = std::fscanf(f, "%llu", &value) == 1;
  std::fclose(f);
  if (!read) return std::nullopt;
  return static_cast<std::size_t>(value);
}

// A quarter of the lower of two limits (the one of the first user namespace,
// the one of the namespace this process is in), or of `fallback`, the
// kernel's old default, when neither can be read.
std::size_t quarter_of(const char* init_ns, const char* this_ns, std::size_t fallback) {
  const std::optional<std::size_t> a = read_number(init_ns);
  const std::optional<std::size_t> b = read_number(this_ns);
  std::size_t limit = fallback;
  if (a && b) {
    limit = std::min(*a, *b);
  } else if (a || b) {
    limit = a ? *a : *b;
  }
  return limit / 4;
}

// Takes one from `held` when that keeps it within `share`.
bool reserve(std::atomic<std::size_t>& held, std::size_t share) {
  std::size_t now = held.load(std::memory_order_relaxed);
  do {
    if (now >= share) return false;
  } while (!held.compare_exchange_weak(now, now + 1, std::memory_order_relaxed));
  return true;
}

void release(std::atomic<std::size_t>& held, std::size_t n) {
  held.fetch_sub(n, std::memory_order_relaxed);
}

}  // namespace

std::size_t file_watch_share() {
  const std::size_t set = g_share_override.load(std::memory_order_relaxed);
  if (set != kNoOverride) return set;
  static const std::size_t share = quarter_of("/proc/sys/fs/inotify/max_user_watches",
                                              "/proc/sys/user/max_inotify_watches", 8192);
  return share;
}

std::size_t file_watch_instance_share() {
  static const std::size_t share = quarter_of("/proc/sys/fs/inotify/max_user_instances",
                                              "/proc/sys/user/max_inotify_instances", 128);
  return share;
}

void set_file_watch_share_for_testing(std::optional<std::size_t> watches) {
  g_share_override.store(watches.value_or(kNoOverride), std::memory_order_relaxed);
}

std::size_t file_watches_held() { return g_watches_held.load(std::memory_order_relaxed); }

bool FileWatches::open() {
  if (fd_) return true;
  if (!reserve(g_instances_held, file_watch_instance_share())) return false;
  fd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd_) release(g_instances_held, 1);
  return fd_.valid();
}

void FileWatches::reset() {
  if (!fd_) return;
  fd_.reset();
  release(g_watches_held, live_.size());
  live_.clear();
  release(g_instances_held, 1);
}

int FileWatches::add(const char* path, std::uint32_t mask) {
  if (!fd_ || !reserve(g_watches_held, file_watch_share())) return -1;
  int wd = ::inotify_add_watch(fd_.get(), path, mask | IN_DONT_FOLLOW);
  bool counted = false;
  if (wd >= 0) {
    try {
      counted = live_.insert(wd).second;
    } catch (...) {
      // Only a new watch needs room in the set: it goes again.
      ::inotify_rm_watch(fd_.get(), wd);
      wd = -1;
    }
  }
  if (!counted) release(g_watches_held, 1);
  return wd;
}

bool FileWatches::drain(std::unordered_set<int>* flagged) {
  if (!fd_) return false;
  alignas(inotify_event) char buffer[65536];
  bool complete = true;
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return complete && errno == EAGAIN;
    }
    if (n == 0) return false;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_Q_OVERFLOW) != 0) complete = false;
      if ((event->mask & IN_IGNORED) != 0 && live_.erase(event->wd) != 0) {
        release(g_watches_held, 1);
      }
      flagged->insert(event->wd);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace vesk
