// The implementation of memory_guard.h; its role and contract are stated there.

#include "core/runner/memory_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace vesk {

struct MemoryGuard::Entry {
  std::weak_ptr<Child> child;
  pid_t measured = 0;
  std::uint64_t limit = 0;
  std::atomic<bool> fired{false};
};

namespace {

// The watched entries and the thread that polls them while there are any.
// Never destroyed: the thread may outlive static destruction.
struct Monitor {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::shared_ptr<MemoryGuard::Entry>> entries;
  pid_t owner = 0;  // the process whose thread polls; 0 before the first
  bool polling = false;  // a thread polls; it ends when nothing is watched
};

Monitor& monitor() {
  static Monitor* m = new Monitor();
  return *m;
}

void poll(Monitor* m) {
  std::unique_lock<std::mutex> lock(m->mu);
  while (!m->entries.empty()) {
    m->cv.wait_for(lock, MemoryGuard::kPollInterval);
    for (const auto& entry : m->entries) {
      if (entry->fired.load()) continue;
      const std::optional<std::uint64_t> rss = resident_bytes(entry->measured);
      if (!rss || *rss <= entry->limit) continue;
      // Set before the kill, so that whoever sees the process end because
      // of it finds the mark.
      entry->fired.store(true);
      if (auto child = entry->child.lock()) child->kill();
    }
  }
  m->polling = false;
}

}  // namespace

std::optional<std::uint64_t> resident_bytes(pid_t pid) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[128];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  text[n] = '\0';
  // "size resident shared ...", in pages.
  char* end = nullptr;
  std::strtoull(text, &end, 10);
  const unsigned long long pages = std::strtoull(end, nullptr, 10);
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

Result<std::unique_ptr<MemoryGuard>> MemoryGuard::watch(std::shared_ptr<Child> child,
                                                        pid_t measured,
                                                        std::uint64_t limit_bytes) {
  auto entry = std::make_shared<Entry>();
  entry->child = child;
  entry->measured = measured;
  entry->limit = limit_bytes;
  Monitor& m = monitor();
  {
    std::lock_guard<std::mutex> lock(m.mu);
    if (m.owner != ::getpid()) {
      // A forked child has no thread of its parent's and none of its entries.
      m.entries.clear();
      m.polling = false;
      m.owner = ::getpid();
    }
    if (!m.polling) {
      try {
        std::thread(poll, &m).detach();
      } catch (...) {
        return fail(Error::internal("the memory watch thread could not be started"));
      }
      m.polling = true;
    }
    m.entries.push_back(entry);
  }
  m.cv.notify_all();
  return std::unique_ptr<MemoryGuard>(new MemoryGuard(std::move(entry)));
}

MemoryGuard::~MemoryGuard() {
  Monitor& m = monitor();
  std::lock_guard<std::mutex> lock(m.mu);
  m.entries.erase(std::remove(m.entries.begin(), m.entries.end(), entry_), m.entries.end());
}

bool MemoryGuard::fired() const { return entry_->fired.load(); }

}  // namespace vesk
