// The implementation of room_account.h; its role and contract are stated there.

#include "core/shell/room_account.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>

#include "core/exchange/host_dirs.h"
#include "core/exchange/process_records.h"

namespace vesk {

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

struct Entry {
  dev_t dev = 0;
  std::uint64_t bound = 0;
  std::uint64_t held = 0;
  std::uint64_t open() const { return bound > held ? bound - held : 0; }
};

// This process's reservations, by id; reset in a forked child, whose
// parent's reservations stay its parent's.
std::mutex g_mu;
pid_t g_owner = 0;
std::uint64_t g_next_id = 1;
std::map<std::uint64_t, Entry> g_entries;
bool g_exit_hook = false;

std::optional<std::string> account_dir() {
  // A record names its process by a pid of its pid namespace: one account
  // per namespace.
  struct stat pid_ns;
  if (::stat("/proc/self/ns/pid", &pid_ns) != 0) return std::nullopt;
  return user_state_dir("room-" + std::to_string(pid_ns.st_ino));
}

std::string record_path(const std::string& dir) { return dir + "/" + process_name(::getpid()); }

void remove_record_at_exit() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_owner != ::getpid()) return;
  if (auto dir = account_dir()) ::unlink(record_path(*dir).c_str());
}

// Under g_mu.
void adopt_process() {
  if (g_owner == ::getpid()) return;
  g_owner = ::getpid();
  g_entries.clear();
  if (!g_exit_hook) g_exit_hook = std::atexit(remove_record_at_exit) == 0;
}

// Holds the account's lock, when there is an account.
class AccountLock {
 public:
  explicit AccountLock(const std::optional<std::string>& dir) {
    if (dir) lock_.emplace(*dir);
  }

 private:
  std::optional<ProcessRecordsLock> lock_;
};

// Under the account's lock: what other live processes of the user reserved
// and have not written on `dev`. Records of gone processes are removed.
std::uint64_t open_in_other_processes(const std::string& dir, dev_t dev) {
  std::uint64_t sum = 0;
  read_other_records(dir, [&](std::FILE* f) {
    unsigned long long d_dev = 0, bound = 0, held = 0;
    while (std::fscanf(f, "%llu %llu %llu", &d_dev, &bound, &held) == 3) {
      // Saturating: a damaged record must not wrap the sum to room.
      if (static_cast<dev_t>(d_dev) == dev && bound > held) {
        sum = bound - held > UINT64_MAX - sum ? UINT64_MAX : sum + (bound - held);
      }
    }
  });
  return sum;
}

// Under g_mu and the account's lock: rewrites this process's record (or
// removes it when nothing is reserved).
void write_record(const std::optional<std::string>& dir) {
  if (!dir) return;
  std::string text;
  for (const auto& [id, entry] : g_entries) {
    text += std::to_string(entry.dev) + " " + std::to_string(entry.bound) + " " +
            std::to_string(entry.held) + "\n";
  }
  write_own_record(*dir, text);
}

std::uint64_t open_here(dev_t dev, std::uint64_t except) {
  std::uint64_t sum = 0;
  for (const auto& [id, entry] : g_entries) {
    if (id != except && entry.dev == dev) sum += entry.open();
  }
  return sum;
}

std::string mib(std::uint64_t bytes) { return std::to_string((bytes + kMiB - 1) / kMiB); }

}  // namespace

Status RoomReservation::reserve(const std::string& base, std::uint64_t bound,
                                std::uint64_t held) {
  struct stat st;
  struct statvfs fs;
  if (::stat(base.c_str(), &st) != 0 || ::statvfs(base.c_str(), &fs) != 0) {
    return fail(Error::last_os_error());
  }
  const std::uint64_t free_bytes = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
  // A bound the file system could never hold is no bound there: reserving it
  // would refuse every command, so nothing is claimed beyond what is held.
  if (bound >= static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize) bound = held;
  std::lock_guard<std::mutex> lock(g_mu);
  adopt_process();
  const std::optional<std::string> dir = account_dir();
  AccountLock account(dir);
  std::uint64_t others = open_here(st.st_dev, id_);
  if (dir) others += open_in_other_processes(*dir, st.st_dev);
  const Entry entry{st.st_dev, bound, held};
  if (entry.open() > 0 && (free_bytes < others || free_bytes - others < entry.open())) {
    if (g_entries.erase(id_) != 0) write_record(dir);
    id_ = 0;
    return fail_message("no room for the work directory: " + base + " has " + mib(free_bytes) +
                        " MiB free and other sessions have reserved " + mib(others) +
                        " MiB of it; this command may write " + mib(bound) +
                        " MiB (max_workspace_mb)");
  }
  if (id_ == 0 || !g_entries.contains(id_)) id_ = g_next_id++;
  g_entries[id_] = entry;
  write_record(dir);
  return {};
}

void RoomReservation::set_held(std::uint64_t held) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_owner == ::getpid() ? g_entries.find(id_) : g_entries.end();
  if (it == g_entries.end() || it->second.held == held) return;
  it->second.held = held;
  const std::optional<std::string> dir = account_dir();
  AccountLock account(dir);
  write_record(dir);
}

void RoomReservation::release() {
  if (id_ == 0) return;
  std::lock_guard<std::mutex> lock(g_mu);
  const bool mine = g_owner == ::getpid() && g_entries.erase(id_) != 0;
  id_ = 0;
  if (!mine) return;
  const std::optional<std::string> dir = account_dir();
  AccountLock account(dir);
  write_record(dir);
}

std::uint64_t room_reserved_on(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  std::lock_guard<std::mutex> lock(g_mu);
  adopt_process();
  const std::optional<std::string> dir = account_dir();
  AccountLock account(dir);
  return open_here(st.st_dev, 0) + (dir ? open_in_other_processes(*dir, st.st_dev) : 0);
}

}  // namespace vesk
