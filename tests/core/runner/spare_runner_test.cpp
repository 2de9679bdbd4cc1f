// The spare runner: kept per process and per command, never shared with a
// forked child. Real runners (the spare never gets bytes here: it is taken
// or stopped while it waits for them).
#include "core/runner/spare_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "core/base/config.h"
#include "core/runner/engine.h"
#include "process_test_util.h"

namespace vesk {
namespace {

Result<VeskEngine> engine_with_memory(std::uint64_t memory_mb) {
  Config config;
  config.domain_allowlist = {};
  config.park_after_idle_secs = 3600;
  config.max_runner_memory_mb = memory_mb;
  return VeskEngine::create(config);
}

pid_t started_spare(const VeskEngine& engine) {
  std::shared_ptr<SpareGate> gate = start_spare_runner(engine);
  if (gate) gate->open();
  return spare_runner_pid();
}

TEST(SpareRunner, GoesOnlyToItsOwnCommandAndNeverToAForkedChild) {
  Result<VeskEngine> engine = engine_with_memory(2048);
  ASSERT_TRUE(engine) << engine.error().message();
  Result<VeskEngine> other = engine_with_memory(1024);
  ASSERT_TRUE(other) << other.error().message();
  const pid_t spare = started_spare(*engine);
  ASSERT_NE(spare, 0);

  // Another command does not take it, and asking again changes nothing.
  EXPECT_FALSE(take_spare_runner(*other));
  EXPECT_EQ(start_spare_runner(*engine), nullptr);
  EXPECT_EQ(spare_runner_pid(), spare);

  // A forked child knows of no spare and cannot take its parent's.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool none = spare_runner_pid() == 0 && !take_spare_runner(*engine);
    ::_exit(none ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // The parent's is still there, and its own command takes it.
  std::optional<RunnerProcess> taken = take_spare_runner(*engine);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->spawned.child->pid(), spare);
  EXPECT_FALSE(taken->spawned.child->try_wait());
  EXPECT_EQ(spare_runner_pid(), 0);
  taken->spawned.child->kill();
  taken->spawned.child->wait();

  // One that has died is passed over.
  const pid_t dead = started_spare(*engine);
  ASSERT_NE(dead, 0);
  ASSERT_EQ(::kill(dead, SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return is_zombie(dead) || process_gone(dead); },
                         std::chrono::seconds(60)));
  EXPECT_FALSE(take_spare_runner(*engine));

  // A spare for another command replaces one for this.
  const pid_t first = started_spare(*engine);
  const pid_t second = started_spare(*other);
  ASSERT_NE(first, 0);
  ASSERT_NE(second, 0);
  EXPECT_NE(first, second);
  EXPECT_FALSE(take_spare_runner(*engine));
  taken = take_spare_runner(*other);
  ASSERT_TRUE(taken);
  taken->spawned.child->kill();
}

}  // namespace
}  // namespace vesk
