// The implementation of file_watches.h; its role and contract are stated there.

#include "core/shell/file_watches.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>

#include "core/exchange/host_dirs.h"
#include "core/exchange/process_records.h"

namespace vesk {

namespace {

constexpr std::size_t kNoOverride = std::numeric_limits<std::size_t>::max();

enum Kind { kInstances = 0, kWatches = 1 };

// What the process holds of each kind, and what the user-wide account grants
// it: a watch is taken without a word to the account while the grant has
// room, and the grant grows or shrinks by a chunk at a time.
struct Account {
  std::atomic<std::size_t> held{0};
  std::atomic<std::size_t> grant{0};
  // After the account refused to grow the grant, it is not asked again
  // before this (steady clock, nanoseconds): a process watching many files
  // while the user's share is taken would otherwise sum the account once per
  // file.
  std::atomic<std::int64_t> refused_until{0};
};
constexpr std::chrono::seconds kAskAgainAfter{1};

std::int64_t steady_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
Account g_accounts[2];
std::atomic<std::size_t> g_share_override{kNoOverride};

// Guards the grants and the account file; held in the slow path only.
std::mutex g_ledger_mu;
std::atomic<pid_t> g_ledger_owner{0};  // the process the grants were made to
std::string g_ledger_file;     // this process's record; empty: none yet
bool g_ledger_exit_hook = false;
std::optional<std::string> g_ledger_dir_override;

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

std::size_t share_of(Kind kind) {
  return kind == kWatches ? file_watch_share() : file_watch_instance_share();
}

// Watches go in chunks of a sixty-fourth of the share: a process of 50,000
// watched files asks the account some thirty times. Instances, of which
// there are few, one at a time.
std::size_t chunk_of(Kind kind) {
  return kind == kWatches ? std::max<std::size_t>(1, share_of(kind) / 64) : 1;
}

// Under g_ledger_mu: this process's record goes, and its next reservation
// asks for a grant anew (where the account is kept changed).
void forget_grants() {
  if (g_ledger_owner.load() == ::getpid() && !g_ledger_file.empty()) {
    ::unlink(g_ledger_file.c_str());
  }
  g_ledger_file.clear();
  g_ledger_owner.store(0);
  for (Account& a : g_accounts) a.refused_until.store(0);
}

void remove_own_record_at_exit() {
  std::lock_guard<std::mutex> lock(g_ledger_mu);
  if (g_ledger_owner.load() == ::getpid() && !g_ledger_file.empty()) ::unlink(g_ledger_file.c_str());
}

std::optional<std::string> ledger_dir() {
  if (g_ledger_dir_override) return g_ledger_dir_override;
  // A test's own share is its process's alone: other processes' grants,
  // made of the real share, are no measure of it.
  if (g_share_override.load(std::memory_order_relaxed) != kNoOverride) return std::nullopt;
  // The kernel counts a user's watches per user namespace, where the limits
  // may differ, and a record names its process by a pid of its own pid
  // namespace: one account per pair.
  struct stat user_ns, pid_ns;
  if (::stat("/proc/self/ns/user", &user_ns) != 0 || ::stat("/proc/self/ns/pid", &pid_ns) != 0) {
    return std::nullopt;
  }
  return user_state_dir("inotify-" + std::to_string(user_ns.st_ino) + "-" +
                        std::to_string(pid_ns.st_ino));
}

// Under the account's lock: what every other live process of the user has
// been granted, by kind. Records of processes that are gone (crashed,
// killed) are removed as they are met, so their grants come back.
std::array<std::size_t, 2> granted_to_others(const std::string& dir) {
  std::array<std::size_t, 2> sum{0, 0};
  read_other_records(dir, [&](std::FILE* f) {
    unsigned long long instances = 0, watches = 0;
    if (std::fscanf(f, "%llu %llu", &instances, &watches) != 2) instances = watches = 0;
    sum[kInstances] += static_cast<std::size_t>(instances);
    sum[kWatches] += static_cast<std::size_t>(watches);
  });
  return sum;
}

// Under g_ledger_mu: sets this process's grant of `kind` to as much of
// `wanted` as the user's share leaves beside the other processes' grants
// (never below what it holds), and records it. Without an account (no
// directory of the user's can be had), the process keeps the whole share to
// itself, as a lone process would.
void regrant(Kind kind, std::size_t wanted) {
  Account& account = g_accounts[kind];
  const std::size_t share = share_of(kind);
  wanted = std::min(wanted, share);
  if (g_ledger_owner.load() != ::getpid()) {
    // A forked child has no grant of its own yet; its parent's stays its
    // parent's.
    g_ledger_owner.store(::getpid());
    g_ledger_file.clear();
    for (Account& a : g_accounts) a.grant.store(0);
    if (!g_ledger_exit_hook) g_ledger_exit_hook = std::atexit(remove_own_record_at_exit) == 0;
  }
  const std::optional<std::string> dir = ledger_dir();
  if (!dir) {
    account.grant.store(share);
    return;
  }
  ProcessRecordsLock lock(*dir);
  if (!lock.locked()) return;  // the grant stays as it was
  const std::array<std::size_t, 2> others = granted_to_others(*dir);
  const std::size_t room = others[kind] >= share ? 0 : share - others[kind];
  account.grant.store(std::max(std::min(wanted, room), account.held.load()));
  g_ledger_file = *dir + "/" + process_name(::getpid());
  const std::string record = std::to_string(g_accounts[kInstances].grant.load()) + " " +
                             std::to_string(g_accounts[kWatches].grant.load()) + "\n";
  write_own_record(*dir, record);
}

// Takes one of `kind` when the process's grant, grown if need be, has room.
bool reserve(Kind kind) {
  Account& account = g_accounts[kind];
  const std::size_t share = share_of(kind);
  std::size_t now = account.held.load(std::memory_order_relaxed);
  for (;;) {
    if (now >= share) return false;
    if (now < account.grant.load(std::memory_order_relaxed) && g_ledger_owner.load() == ::getpid()) {
      if (account.held.compare_exchange_weak(now, now + 1, std::memory_order_relaxed)) return true;
      continue;
    }
    const bool owner = g_ledger_owner.load() == ::getpid();
    if (owner && steady_now() < account.refused_until.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> lock(g_ledger_mu);
    now = account.held.load(std::memory_order_relaxed);
    if (now < account.grant.load(std::memory_order_relaxed) && g_ledger_owner.load() == ::getpid()) {
      continue;
    }
    try {
      regrant(kind, now + chunk_of(kind));
    } catch (...) {
      return false;
    }
    if (now >= account.grant.load(std::memory_order_relaxed)) {
      account.refused_until.store(
          steady_now() + std::chrono::nanoseconds(kAskAgainAfter).count(), std::memory_order_relaxed);
      return false;
    }
  }
}

void release(Kind kind, std::size_t n) {
  Account& account = g_accounts[kind];
  const std::size_t held = account.held.fetch_sub(n, std::memory_order_relaxed) - n;
  const std::size_t chunk = chunk_of(kind);
  if (account.grant.load(std::memory_order_relaxed) <= held + 2 * chunk) return;
  // Much of the grant is unused: most of it goes back to the account.
  std::lock_guard<std::mutex> lock(g_ledger_mu);
  if (g_ledger_owner.load() != ::getpid()) return;
  try {
    regrant(kind, account.held.load(std::memory_order_relaxed) + chunk);
  } catch (...) {
  }
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
  std::lock_guard<std::mutex> lock(g_ledger_mu);
  g_share_override.store(watches.value_or(kNoOverride), std::memory_order_relaxed);
  forget_grants();
}

void set_file_watch_account_for_testing(std::optional<std::string> dir) {
  std::lock_guard<std::mutex> lock(g_ledger_mu);
  forget_grants();
  g_ledger_dir_override = std::move(dir);
}

std::size_t file_watches_held() { return g_accounts[kWatches].held.load(std::memory_order_relaxed); }

bool FileWatches::open() {
  if (fd_) return true;
  if (!reserve(kInstances)) return false;
  fd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd_) release(kInstances, 1);
  return fd_.valid();
}

void FileWatches::reset() {
  if (!fd_) return;
  fd_.reset();
  release(kWatches, live_.size());
  live_.clear();
  release(kInstances, 1);
}

int FileWatches::add(const char* path, std::uint32_t mask) {
  if (!fd_ || !reserve(kWatches)) return -1;
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
  if (!counted) release(kWatches, 1);
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
        release(kWatches, 1);
      }
      flagged->insert(event->wd);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace vesk
