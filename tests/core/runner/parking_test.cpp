#include "core/runner/parking.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vesk {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Generous: the parker's thread may be slow to be scheduled on a busy machine.
constexpr seconds kWait{60};

// A target that records when it was asked and answers as `answer` says; it
// can be made to hold the parker inside park_if_due until released.
class Target final : public Parkable {
 public:
  explicit Target(std::function<std::optional<ParkClock::time_point>(int)> answer,
                  std::atomic<int>* destroyed = nullptr)
      : answer_(std::move(answer)), destroyed_(destroyed) {}
  ~Target() override {
    if (destroyed_ != nullptr) ++*destroyed_;
  }

  std::optional<ParkClock::time_point> park_if_due(ParkClock::time_point now) override {
    std::unique_lock<std::mutex> lock(mu_);
    asked_at_.push_back(now);
    cv_.notify_all();
    cv_.wait(lock, [&] { return !hold_; });
    return answer_(static_cast<int>(asked_at_.size()));
  }

  // Waits until asked `n` times in all.
  bool wait_asked(std::size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kWait, [&] { return asked_at_.size() >= n; });
  }
  std::size_t asked() {
    std::lock_guard<std::mutex> lock(mu_);
    return asked_at_.size();
  }
  ParkClock::time_point asked_at(std::size_t i) {
    std::lock_guard<std::mutex> lock(mu_);
    return asked_at_.at(i);
  }
  void hold(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = on;
    cv_.notify_all();
  }

 private:
  std::function<std::optional<ParkClock::time_point>(int)> answer_;
  std::atomic<int>* destroyed_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<ParkClock::time_point> asked_at_;
  bool hold_ = false;
};

std::optional<ParkClock::time_point> never(int) { return std::nullopt; }

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = ParkClock::now() + kWait;
  while (ParkClock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return condition();
}

TEST(ParkingTest, AsksATargetWhenDueAndAgainWhenItSaysThenForgetsIt) {
  // Refused once (asked again 30 ms on), then done.
  auto target = std::make_shared<Target>([](int n) -> std::optional<ParkClock::time_point> {
    if (n == 1) return ParkClock::now() + milliseconds(30);
    return std::nullopt;
  });
  const auto when = ParkClock::now() + milliseconds(20);
  schedule_parking(target, when);
  ASSERT_TRUE(target->wait_asked(2));
  EXPECT_GE(target->asked_at(0), when);
  EXPECT_GE(target->asked_at(1) - target->asked_at(0), milliseconds(30));
  // Its answer said not again: the thread ends once no target is left.
  EXPECT_TRUE(eventually([] { return parking_targets() == 0 && !parker_running(); }));
  EXPECT_EQ(target->asked(), 2u);
}

TEST(ParkingTest, ForgottenAndDroppedTargetsAreNeverAsked) {
  std::atomic<int> destroyed{0};
  auto forgotten = std::make_shared<Target>(never);
  auto dropped = std::make_shared<Target>(never, &destroyed);
  auto later = std::make_shared<Target>(never);
  schedule_parking(forgotten, ParkClock::now() + milliseconds(30));
  schedule_parking(dropped, ParkClock::now() + milliseconds(30));
  schedule_parking(later, ParkClock::now() + milliseconds(60));
  schedule_parking(forgotten, std::nullopt);
  dropped.reset();
  EXPECT_EQ(destroyed.load(), 1);  // the parker held it weakly
  ASSERT_TRUE(later->wait_asked(1));
  EXPECT_EQ(forgotten->asked(), 0u);
  EXPECT_TRUE(eventually([] { return parking_targets() == 0 && !parker_running(); }));
}

TEST(ParkingTest, ATargetDroppedWhileAskedLivesUntilItAnswers) {
  std::atomic<int> destroyed{0};
  auto target = std::make_shared<Target>(never, &destroyed);
  target->hold(true);
  Target* raw = target.get();
  schedule_parking(target, ParkClock::now());
  ASSERT_TRUE(raw->wait_asked(1));
  // The caller lets go while the parker is inside park_if_due (as a host
  // object deallocated during a park): the parker's hold keeps it alive.
  std::weak_ptr<Target> weak = target;
  target.reset();
  EXPECT_EQ(destroyed.load(), 0);
  raw->hold(false);
  EXPECT_TRUE(eventually([&] { return destroyed.load() == 1; }));
  EXPECT_TRUE(weak.expired());
}

TEST(ParkingTest, AScheduleMadeWhileATargetIsAskedIsKept) {
  // The call that ends while the parker asks (and is refused the lock)
  // schedules anew: that schedule must survive the parker's answer.
  auto target = std::make_shared<Target>(never);
  target->hold(true);
  schedule_parking(target, ParkClock::now());
  ASSERT_TRUE(target->wait_asked(1));
  schedule_parking(target, ParkClock::now() + milliseconds(10));
  target->hold(false);
  ASSERT_TRUE(target->wait_asked(2));
  EXPECT_TRUE(eventually([] { return parking_targets() == 0; }));
  schedule_parking(target, std::nullopt);
}

TEST(ParkingTest, ManyTargetsScheduledFromManyThreadsAreEachAsked) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 25;
  std::vector<std::shared_ptr<Target>> targets;
  for (int i = 0; i < kThreads * kPerThread; ++i) targets.push_back(std::make_shared<Target>(never));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Each a few times, the last schedule winning.
        auto& target = targets[static_cast<std::size_t>(t * kPerThread + i)];
        schedule_parking(target, ParkClock::now() + seconds(3600));
        schedule_parking(target, ParkClock::now() + milliseconds(i % 5));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& target : targets) ASSERT_TRUE(target->wait_asked(1));
  EXPECT_TRUE(eventually([] { return parking_targets() == 0 && !parker_running(); }));
  for (auto& target : targets) EXPECT_EQ(target->asked(), 1u);
}

}  // namespace
}  // namespace vesk
