#include "core/runner/memory_guard.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "core/base/io.h"
#include "core/base/process.h"

namespace vesk {
namespace {

constexpr std::uint64_t kMiB = 1048576;

// A real process that takes `mib` MiB of resident memory, says so on its
// standard output, and then waits for its standard input to end.
Spawned hog(int mib) {
  SpawnOptions o;
  o.program = "python3";
  o.args = {"-c", "import sys\nb = bytearray(" + std::to_string(mib) +
                      " << 20)\nprint('held', flush=True)\nsys.stdin.read()"};
  o.pipe_stdin = true;
  o.pipe_stdout = true;
  auto s = spawn(o);
  if (!s) throw std::runtime_error(s.error().message());
  return std::move(*s);
}

std::string first_line(int fd) {
  std::string out;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') out += c;
  return out;
}

TEST(MemoryGuardTest, KillsOnlyWhatPassesItsBoundWhileWatched) {
  Spawned big = hog(160);
  Spawned small = hog(8);
  auto big_guard = MemoryGuard::watch(big.child, big.child->pid(), 100 * kMiB);
  auto small_guard = MemoryGuard::watch(small.child, small.child->pid(), 100 * kMiB);
  ASSERT_TRUE(big_guard && small_guard);
  // The big one dies, while it allocates or once it holds its memory.
  const ExitStatus killed = big.child->wait();
  EXPECT_EQ(killed.signal, SIGKILL);
  EXPECT_TRUE((*big_guard)->fired());

  // The small one lives on, also after its guard is gone and it grows.
  EXPECT_EQ(first_line(small.stdout_fd.get()), "held");
  EXPECT_FALSE((*small_guard)->fired());
  small_guard->reset();
  EXPECT_FALSE(small.child->try_wait());
  small.stdin_fd.reset();
  EXPECT_EQ(small.child->wait().code, 0);
}

TEST(MemoryGuardTest, ResidentBytesOfLiveAndMissingProcesses) {
  const auto own = resident_bytes(::getpid());
  ASSERT_TRUE(own);
  EXPECT_GT(*own, 1 * kMiB);
  EXPECT_FALSE(resident_bytes(-5));
}

}  // namespace
}  // namespace vesk
