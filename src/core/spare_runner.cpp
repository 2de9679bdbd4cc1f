#include "core/spare_runner.h"

#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace vesk {

namespace {

struct SpareState {
  std::mutex mu;
  pid_t owner = 0;
  // The command of the spare, or of the one being started.
  std::string key;
  std::optional<RunnerProcess> spare;
  bool starting = false;
  std::condition_variable started;  // `starting` went false
};

SpareState& state() {
  // Never destroyed: a spare still waiting at exit ends when its input does.
  static SpareState* s = new SpareState();
  return *s;
}

// Everything that makes two runners alike: what is launched, with which
// arguments and environment. Empty when there is no command.
std::string command_key(const VeskEngine& engine) {
  Result<LaunchCommand> command = engine.isolation() == RunnerIsolation::kSandbox
                                      ? engine.sandboxed_launch_command()
                                      : engine.launch_command(std::string());
  if (!command) return std::string();
  std::string key = command->program;
  for (const auto* list : {&command->args, &command->env_overrides}) {
    key += '\x01';
    for (const std::string& item : *list) {
      key += item;
      key += '\0';
    }
  }
  return key;
}

void stop(RunnerProcess& process) {
  if (process.spawned.child) process.spawned.child->kill();
}

// In a forked child the parent's spare is not this process's: its
// descriptors are closed and its process left alone (the object that would
// kill or reap it is let go of unused).
void adopt(SpareState& s) {
  if (s.owner == ::getpid()) return;
  if (s.spare) {
    new std::shared_ptr<Child>(std::move(s.spare->spawned.child));
    if (s.spare->own_dir) (void)s.spare->own_dir.release();
    s.spare.reset();
  }
  s.owner = ::getpid();
  s.key.clear();
  s.starting = false;
}

}  // namespace

std::optional<RunnerProcess> take_spare_runner(const VeskEngine& engine) {
  const std::string key = command_key(engine);
  SpareState& s = state();
  std::optional<RunnerProcess> taken;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    adopt(s);
    if (!s.spare || key.empty() || s.key != key) return std::nullopt;
    taken = std::move(s.spare);
    s.spare.reset();
  }
  if (taken->spawned.child->try_wait()) return std::nullopt;  // it has ended
  return taken;
}

void SpareGate::open() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
  }
  cv_.notify_all();
}

void SpareGate::wait(std::uint64_t ms) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return open_; });
}

std::shared_ptr<SpareGate> start_spare_runner(const VeskEngine& engine) {
  std::string key = command_key(engine);
  if (key.empty()) return nullptr;
  SpareState& s = state();
  std::optional<RunnerProcess> replaced;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    adopt(s);
    if (s.starting) return nullptr;
    if (s.spare && s.key == key && !s.spare->spawned.child->try_wait()) return nullptr;
    replaced = std::move(s.spare);
    s.spare.reset();
    s.starting = true;
    s.key = key;
  }
  if (replaced) stop(*replaced);
  auto gate = std::make_shared<SpareGate>();
  std::thread([engine, key = std::move(key), gate] {
    gate->wait(1000);
    Result<RunnerProcess> process = start_runner_process(engine, "spare");
    SpareState& shared = state();
    std::optional<RunnerProcess> unused;
    {
      std::lock_guard<std::mutex> lock(shared.mu);
      shared.starting = false;
      if (process && shared.key == key && !shared.spare) {
        shared.spare = std::move(*process);
      } else if (process) {
        unused = std::move(*process);
      }
    }
    shared.started.notify_all();
    if (unused) stop(*unused);
  }).detach();
  return gate;
}

pid_t spare_runner_pid() {
  SpareState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  adopt(s);
  s.started.wait(lock, [&] { return !s.starting; });
  return s.spare ? s.spare->spawned.child->pid() : 0;
}

}  // namespace vesk
