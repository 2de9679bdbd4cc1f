// The implementation of parking.h; its role and contract are stated there.

#include "core/runner/parking.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vesk {

namespace {

struct Entry {
  std::weak_ptr<Parkable> target;
  std::optional<ParkClock::time_point> when;  // nullopt while being asked
  // Counts schedules, so that an answer does not undo a schedule made
  // while the target was being asked.
  std::uint64_t generation = 0;
};

// Never destroyed: the thread may outlive static destruction.
struct Parker {
  std::mutex mu;
  std::condition_variable cv;
  // Keyed by the target's address; an address reused by a new target after
  // the old one went replaces the entry.
  std::map<const Parkable*, Entry> entries;
  pid_t owner = 0;  // the process whose thread runs; 0 before the first
  bool running = false;
  // When the thread looks next unless woken; min while it is not waiting
  // (it looks at every entry before it waits again). A call that ends
  // schedules its session later than that, and need not wake it.
  ParkClock::time_point wake = ParkClock::time_point::min();
};

Parker& parker() {
  static Parker* p = new Parker();
  return *p;
}

void run(Parker* p) {
  std::unique_lock<std::mutex> lock(p->mu);
  while (!p->entries.empty()) {
    const ParkClock::time_point now = ParkClock::now();
    std::optional<ParkClock::time_point> earliest;
    struct Due {
      const Parkable* key;
      std::weak_ptr<Parkable> target;
      std::uint64_t generation;
    };
    std::vector<Due> due;
    for (auto it = p->entries.begin(); it != p->entries.end();) {
      Entry& e = it->second;
      if (e.target.expired()) {
        it = p->entries.erase(it);
        continue;
      }
      if (e.when && *e.when <= now) {
        due.push_back({it->first, e.target, e.generation});
        e.when.reset();
      } else if (e.when && (!earliest || *e.when < *earliest)) {
        earliest = e.when;
      }
      ++it;
    }
    if (due.empty()) {
      if (p->entries.empty()) break;
      // Entries being asked elsewhere have no time; nothing else is due
      // before `earliest`, and a schedule wakes the thread.
      p->wake = earliest ? *earliest : ParkClock::time_point::max();
      if (earliest) {
        p->cv.wait_until(lock, *earliest);
      } else {
        p->cv.wait(lock);
      }
      p->wake = ParkClock::time_point::min();
      continue;
    }
    lock.unlock();
    std::vector<std::optional<ParkClock::time_point>> answers;
    answers.reserve(due.size());
    for (const Due& d : due) {
      std::optional<ParkClock::time_point> next;
      if (std::shared_ptr<Parkable> target = d.target.lock()) next = target->park_if_due(now);
      answers.push_back(next);
    }
    lock.lock();
    for (std::size_t i = 0; i < due.size(); ++i) {
      auto it = p->entries.find(due[i].key);
      if (it == p->entries.end() || it->second.generation != due[i].generation) continue;
      if (answers[i] && !it->second.target.expired()) {
        it->second.when = answers[i];
      } else {
        p->entries.erase(it);
      }
    }
  }
  p->running = false;
}

}  // namespace

void schedule_parking(const std::shared_ptr<Parkable>& target,
                      std::optional<ParkClock::time_point> when) {
  Parker& p = parker();
  bool notify = true;
  {
    std::lock_guard<std::mutex> lock(p.mu);
    if (p.owner != ::getpid()) {
      // A forked child has no thread of its parent's, and the targets it
      // copied are asked again only once they are scheduled here.
      p.entries.clear();
      p.running = false;
      p.wake = ParkClock::time_point::min();
      p.owner = ::getpid();
    }
    if (!when) {
      // Woken so that it ends when nothing is left.
      if (p.entries.erase(target.get()) == 0) return;
    } else {
      Entry& e = p.entries[target.get()];
      e.target = target;
      e.when = when;
      ++e.generation;
      if (!p.running) {
        try {
          std::thread(run, &p).detach();
          p.running = true;
        } catch (...) {
          p.entries.erase(target.get());
          return;
        }
      }
      notify = *when < p.wake;
    }
  }
  if (notify) p.cv.notify_all();
}

std::size_t parking_targets() {
  Parker& p = parker();
  std::lock_guard<std::mutex> lock(p.mu);
  return p.entries.size();
}

bool parker_running() {
  Parker& p = parker();
  std::lock_guard<std::mutex> lock(p.mu);
  return p.running && p.owner == ::getpid();
}

}  // namespace vesk
