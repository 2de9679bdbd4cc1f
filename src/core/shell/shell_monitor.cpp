// The implementation of shell_monitor.h; its role and contract are stated there.

#include "core/shell/shell_monitor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <set>

#include "core/exchange/fs_tree.h"
#include "core/base/io.h"

namespace vesk {

namespace {

// A fork bomb is stopped by the memory its processes take long before this;
// the walk never grows without end meanwhile.
constexpr std::size_t kMostProcesses = 65536;

std::string read_proc_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return {};
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > (1 << 20)) break;
  }
  return text;
}

// `root` and every process below it, by the kernel's children lists (a
// process that left its parent, as a daemon does, is adopted by the
// namespace's first process, which is below `root` too).
std::vector<pid_t> process_tree(pid_t root) {
  std::vector<pid_t> all{root};
  for (std::size_t i = 0; i < all.size() && all.size() < kMostProcesses; ++i) {
    const std::string tasks = "/proc/" + std::to_string(all[i]) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) continue;
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      const std::string children = read_proc_file(tasks + "/" + e->d_name + "/children");
      const char* p = children.c_str();
      char* end = nullptr;
      for (long pid = std::strtol(p, &end, 10); end != p; pid = std::strtol(p, &end, 10)) {
        if (pid > 0) all.push_back(static_cast<pid_t>(pid));
        p = end;
      }
    }
    ::closedir(dir);
  }
  return all;
}

std::uint64_t field_kib(std::string_view text, std::string_view name) {
  const std::size_t at = text.find(name);
  if (at == std::string_view::npos) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = at + name.size(); i < text.size() && text[i] != '\n'; ++i) {
    if (text[i] >= '0' && text[i] <= '9') value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return value;
}

std::optional<struct statvfs> statvfs_of(const std::string& path) {
  struct statvfs fs;
  if (::statvfs(path.c_str(), &fs) != 0) return std::nullopt;
  return fs;
}

std::uint64_t free_bytes(const struct statvfs& fs) {
  return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

}  // namespace

std::uint64_t resident_bytes_of_status(std::string_view status) {
  return (field_kib(status, "\nRssAnon:") + field_kib(status, "\nRssShmem:")) * 1024;
}

Result<std::unique_ptr<ShellMonitor>> ShellMonitor::start(std::shared_ptr<Child> child,
                                                          ShellBounds bounds) {
  return guard([&]() -> Result<std::unique_ptr<ShellMonitor>> {
    std::unique_ptr<ShellMonitor> monitor(new ShellMonitor(std::move(child), std::move(bounds)));
    monitor->walked_bytes_ = monitor->bounds_.workspace_start_bytes;
    if (auto fs = statvfs_of(monitor->bounds_.work_dir)) monitor->free_at_walk_ = free_bytes(*fs);
    // Throws std::system_error when no thread can be started: guard makes it
    // an internal fault.
    monitor->thread_ = std::thread(&ShellMonitor::run, monitor.get());
    return monitor;
  });
}

void ShellMonitor::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ShellMonitor::run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    if (wake_.wait_for(lock, kShellMonitorInterval, [this] { return stopping_; })) return;
    lock.unlock();
    const bool stopped = look();
    lock.lock();
    if (stopped) return;
  }
}

void ShellMonitor::stop_for(Overrun why, std::uint64_t bytes) {
  measured_.store(bytes);
  overrun_.store(why);
  child_->kill();
}

bool ShellMonitor::look() {
  if (bounds_.memory_bytes) {
    const std::vector<pid_t> pids = process_tree(child_->pid());
    std::uint64_t total = 0;
    for (pid_t pid : pids) {
      total += resident_bytes_of_status(read_proc_file("/proc/" + std::to_string(pid) + "/status"));
    }
    // The sandbox's file systems are seen through the root of a process in
    // it. Until bubblewrap has mounted them, that root shows the host's
    // own (same device as on the host), which are not the command's.
    std::set<dev_t> counted;
    for (std::size_t i = 1; i < pids.size() && counted.empty(); ++i) {
      const std::string root = "/proc/" + std::to_string(pids[i]) + "/root";
      for (const std::string& path : bounds_.sandbox_tmpfs) {
        struct stat inside, host;
        if (::stat((root + path).c_str(), &inside) != 0) continue;
        if (::stat(path.c_str(), &host) == 0 && host.st_dev == inside.st_dev) continue;
        if (!counted.insert(inside.st_dev).second) continue;
        if (auto fs = statvfs_of(root + path)) {
          total += static_cast<std::uint64_t>(fs->f_blocks - fs->f_bfree) * fs->f_frsize;
        }
      }
    }
    if (total > *bounds_.memory_bytes) {
      stop_for(Overrun::kMemory, total);
      return true;
    }
  }
  const std::optional<struct statvfs> fs = statvfs_of(bounds_.work_dir);
  if (!fs) return false;
  const std::uint64_t free_now = free_bytes(*fs);
  if (free_now <= kFullFileSystemBytes) full_.store(true);
  if (!bounds_.workspace_bytes || !free_at_walk_) return false;
  const std::uint64_t grown = *free_at_walk_ > free_now ? *free_at_walk_ - free_now : 0;
  if (walked_bytes_ + grown <= *bounds_.workspace_bytes) return false;
  std::uint64_t total = 0;
  (void)walk_regular_files(bounds_.work_dir, WalkErrors::kSkip,
                           [&total](int dir_fd, const char* name, const std::string&) -> Status {
                             struct stat st;
                             if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                               total += static_cast<std::uint64_t>(st.st_size);
                             }
                             return {};
                           });
  if (total > *bounds_.workspace_bytes) {
    stop_for(Overrun::kWorkspace, total);
    return true;
  }
  walked_bytes_ = total;
  free_at_walk_ = free_now;
  return false;
}

}  // namespace vesk
