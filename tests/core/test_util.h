// Helpers shared by the core tests.
#ifndef VESK_TESTS_CORE_TEST_UTIL_H_
#define VESK_TESTS_CORE_TEST_UTIL_H_

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "core/runner/engine.h"

namespace vesk {

// Fixes how runners are isolated for the scope (stand-in Denos that log to
// files of the test run directly; the sandbox would give them a read-only
// host).
class ScopedRunnerIsolation {
 public:
  explicit ScopedRunnerIsolation(RunnerIsolation isolation) {
    set_runner_isolation_for_testing(isolation);
  }
  ~ScopedRunnerIsolation() { set_runner_isolation_for_testing(std::nullopt); }
  ScopedRunnerIsolation(const ScopedRunnerIsolation&) = delete;
  ScopedRunnerIsolation& operator=(const ScopedRunnerIsolation&) = delete;
};

// A fresh, uniquely named directory, removed with its contents at the end of
// the scope. `parent` defaults to the system's temporary directory.
class TempDir {
 public:
  explicit TempDir(std::filesystem::path parent = std::filesystem::temp_directory_path()) {
    std::string pattern = (parent / "vesk-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace vesk

#endif  // VESK_TESTS_CORE_TEST_UTIL_H_
