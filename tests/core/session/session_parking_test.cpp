// Parking a session from the parker's thread while the caller's thread uses
// it, with the real Deno and runner script: the thread sanitizer's view of
// what the binding does (a session behind a lock that the parker only tries).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/runner/parking.h"
#include "core/runner/runner.h"
#include "core/session/session.h"

namespace vesk {
namespace {

using std::chrono::seconds;

// The binding's slot, reduced: a session and the lock its callers take.
struct Slot final : Parkable {
  std::mutex mu;
  std::unique_ptr<Session> session;

  std::optional<ParkClock::time_point> park_if_due(ParkClock::time_point now) override {
    std::unique_lock<std::mutex> lock(mu, std::try_to_lock);
    if (!lock.owns_lock()) return now + seconds(1);
    Result<std::optional<ParkClock::time_point>> next = session->park_if_due(now);
    return next ? *next : std::nullopt;
  }
};

Result<VeskEngine> parking_engine(std::uint64_t idle_secs) {
  Config config;
  config.domain_allowlist = {};
  config.park_after_idle_secs = idle_secs;
  return VeskEngine::create(config);
}

TEST(SessionParking, TheParkerParksAnIdleSessionAndACallResumesIt) {
  Result<VeskEngine> engine = parking_engine(1);
  ASSERT_TRUE(engine) << engine.error().message();
  auto slot = std::make_shared<Slot>();
  Result<std::unique_ptr<Session>> created = Session::create(*engine);
  ASSERT_TRUE(created) << created.error().message();
  slot->session = std::move(*created);
  const auto call = [&](auto&& op) {
    std::lock_guard<std::mutex> lock(slot->mu);
    op(*slot->session);
    schedule_parking(slot, slot->session->park_deadline());
  };
  call([](Session& s) {
    ASSERT_TRUE(s.execute_python("x = 5", ProgressCallback()));
    ASSERT_TRUE(s.execute_bash("echo a > a.txt", LineCallback()));
    EXPECT_TRUE(s.holds_kept_dir());
  });
  const auto parked = [&] {
    std::lock_guard<std::mutex> lock(slot->mu);
    return slot->session->parked();
  };
  const auto deadline = std::chrono::steady_clock::now() + seconds(120);
  // Calls that leave the runner alone meanwhile do not keep it live.
  for (int i = 0; !parked() && std::chrono::steady_clock::now() < deadline; ++i) {
    call([&](Session& s) { ASSERT_TRUE(s.write_file("n.txt", std::to_string(i))); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(parked());
  call([](Session& s) {
    EXPECT_GT(s.parked_bytes(), 0u);
    EXPECT_FALSE(s.holds_kept_dir()) << "an idle session gives its work directory back";
    Result<const Checkpoint*> shell = s.execute_bash("echo ok", LineCallback());
    ASSERT_TRUE(shell) << shell.error().message();
    EXPECT_EQ((*shell)->stdout_text, "ok\n");
    EXPECT_TRUE(s.parked());
    Result<const Checkpoint*> run = s.execute_python("print(x)", ProgressCallback());
    ASSERT_TRUE(run) << run.error().message();
    EXPECT_EQ((*run)->stdout_text, "5");
    EXPECT_FALSE(s.parked());
  });
  schedule_parking(slot, std::nullopt);
}

// With parking off, the parker still gives an idle shell's kept work
// directory back, and the next command lays the workspace out again.
TEST(SessionParking, AnIdleKeptWorkDirectoryGoesBackWithParkingOff) {
  Result<VeskEngine> engine = parking_engine(0);
  ASSERT_TRUE(engine) << engine.error().message();
  Session::set_kept_dir_idle_time_for_testing(std::chrono::milliseconds(50));
  struct Restore {
    ~Restore() { Session::set_kept_dir_idle_time_for_testing(std::nullopt); }
  } restore;
  auto slot = std::make_shared<Slot>();
  Result<std::unique_ptr<Session>> created = Session::create(*engine);
  ASSERT_TRUE(created) << created.error().message();
  slot->session = std::move(*created);
  const auto bash = [&](const std::string& command) {
    std::lock_guard<std::mutex> lock(slot->mu);
    Result<const Checkpoint*> run = slot->session->execute_bash(command, LineCallback());
    EXPECT_TRUE(run) << run.error().message();
    EXPECT_TRUE(slot->session->holds_kept_dir());
    schedule_parking(slot, slot->session->park_deadline());
    return run ? std::string((*run)->stdout_text) : std::string();
  };
  const auto holds = [&] {
    std::lock_guard<std::mutex> lock(slot->mu);
    return slot->session->holds_kept_dir();
  };
  bash("echo a > a.txt");
  const auto deadline = std::chrono::steady_clock::now() + seconds(120);
  while (holds() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(holds());
  EXPECT_FALSE(slot->session->park_deadline()) << "nothing left for the parker";
  EXPECT_EQ(bash("cat a.txt"), "a\n");
  schedule_parking(slot, std::nullopt);
}

TEST(SessionParking, AnImageLongerThanTheBoundKillsTheRunner) {
  Result<VeskEngine> engine = parking_engine(3600);
  ASSERT_TRUE(engine) << engine.error().message();
  Result<std::unique_ptr<Runner>> runner = Runner::start(*engine);
  ASSERT_TRUE(runner) << runner.error().message();
  std::size_t taken = 0;
  Result<Runner::ParkOutcome> outcome = (*runner)->park(1 << 20, [&](std::string_view piece) {
    taken += piece.size();
    return Status();
  });
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(outcome.error().message().ends_with("bytes passes max_runner_memory_mb"))
      << outcome.error().message();
  EXPECT_EQ(taken, 0u);
  EXPECT_FALSE((*runner)->usable());
}

}  // namespace
}  // namespace vesk
