// Helpers for tests that change the environment, put stand-in programs on
// PATH and check that no process, fd or thread is left behind.
#ifndef VESK_TESTS_CORE_PROCESS_TEST_UTIL_H_
#define VESK_TESTS_CORE_PROCESS_TEST_UTIL_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "core/base/process.h"

namespace vesk {

// Sets and unsets environment variables for a scope, restoring the old values.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, old] : saved_) {
      if (old) {
        ::setenv(name.c_str(), old->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  void set(const std::string& name, const std::string& value) {
    save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) {
    save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void save(const std::string& name) {
    if (saved_.count(name)) return;
    const char* old = std::getenv(name.c_str());
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

inline void write_file(const std::filesystem::path& path, const std::string& text,
                       bool executable = false) {
  std::ofstream(path, std::ios::binary) << text;
  if (executable) ::chmod(path.c_str(), 0755);
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::size_t count_entries(const std::filesystem::path& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

// The watchdogs' thread, which stays until the last time limit it was given
// would have passed (on a busy machine, past any check's patience) and holds
// one descriptor while it runs: 1 while it runs, else 0.
inline std::size_t watch_threads() {
  std::size_t n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == Watchdog::kWatchThreadName) ++n;
  }
  return n;
}

// Descriptors and threads, the watch thread and its descriptor left out.
inline std::size_t open_fds() { return count_entries("/proc/self/fd") - watch_threads(); }
inline std::size_t threads() { return count_entries("/proc/self/task") - watch_threads(); }

// Polls `done` until it holds or `limit` passes; true if it held.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True once `pid` is neither running nor a zombie of ours.
inline bool process_gone(pid_t pid) {
  return !std::filesystem::exists("/proc/" + std::to_string(pid));
}

// True while `pid` has ended but is not reaped yet.
inline bool is_zombie(pid_t pid) {
  return read_file("/proc/" + std::to_string(pid) + "/stat").find(") Z ") != std::string::npos;
}

// Threads of a process that runs nothing of ours: the main thread, and under
// ThreadSanitizer the runtime's own thread, which it starts along with the
// first thread the program creates.
#if defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kIdleThreads = 2;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr std::size_t kIdleThreads = 2;
#else
inline constexpr std::size_t kIdleThreads = 1;
#endif
#else
inline constexpr std::size_t kIdleThreads = 1;
#endif

// Counts what a test should leave as it found: open fds and threads. The
// check waits a while for the background reaper to finish and leave. The
// reaper keeps one descriptor for the life of the process once it has been
// used, so it is put to use first (which also starts a sanitizer's thread).
class LeakCheck {
 public:
  LeakCheck() {
    std::thread([] {}).join();
    SpawnOptions options;
    options.program = "true";
    (void)spawn(options);  // the child is handed to the reaper at once
    eventually([&] { return threads() == kIdleThreads; }, std::chrono::seconds(5));
    fds_ = open_fds();
    threads_ = threads();
  }
  bool clean() const {
    return eventually([&] { return open_fds() == fds_ && threads() == threads_; });
  }
  std::string report() const {
    return "fds " + std::to_string(fds_) + " -> " + std::to_string(open_fds()) + ", threads " +
           std::to_string(threads_) + " -> " + std::to_string(threads());
  }

 private:
  std::size_t fds_;
  std::size_t threads_;
};

}  // namespace vesk

#endif  // VESK_TESTS_CORE_PROCESS_TEST_UTIL_H_
