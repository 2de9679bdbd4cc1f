// The implementation of spare_runner.h; its role and contract are stated there.

#include "core/runner/spare_runner.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vesk {

namespace {

struct SpareJob;

struct SpareState {
  std::mutex mu;
  pid_t owner = 0;
  // The command of the spare, or of the one being started.
  std::string key;
  std::optional<RunnerProcess> spare;
  bool starting = false;
  // A thread is starting one now (between the gate and the spare's store).
  bool spawning = false;
  bool exiting = false;
  bool exit_hook = false;
  // The thread starting a spare, which owns it (kept here, not lost, when
  // the process exits before it is done).
  SpareJob* job = nullptr;
  // A forked child's record of its parent's spare, never acted on.
  std::vector<std::shared_ptr<Child>> inherited;
  std::vector<PrivateDir*> inherited_dirs;
  std::condition_variable started;  // `starting` or `spawning` went false
};

SpareState& state() {
  // Never destroyed: a spare still waiting at exit ends when its input does.
  static SpareState* s = new SpareState();
  return *s;
}

}  // namespace

std::string runner_command_key(const VeskEngine& engine) {
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

namespace {

void stop(RunnerProcess& process) {
  if (process.spawned.child) process.spawned.child->kill();
}

// In a forked child the parent's spare is not this process's: its
// descriptors are closed and its process and directory left alone (the
// objects that would kill it or remove them are kept, never released).
void adopt(SpareState& s) {
  if (s.owner == ::getpid()) return;
  if (s.spare) {
    s.inherited.push_back(std::move(s.spare->spawned.child));
    if (s.spare->own_dir) s.inherited_dirs.push_back(s.spare->own_dir.release());
    s.spare.reset();
  }
  s.owner = ::getpid();
  s.key.clear();
  s.starting = false;
  s.spawning = false;
}

struct SpareJob {
  VeskEngine engine;
  std::string key;
  std::shared_ptr<SpareGate> gate;
  bool pipe_stderr = false;
};

// Once the process has begun to exit no spare is started, and the exit waits
// (a while at most) for one being started: starting one touches what the
// exit destroys.
void stop_starting_at_exit() {
  SpareState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  s.exiting = true;
  s.started.wait_for(lock, std::chrono::seconds(10), [&] { return !s.spawning; });
}

void run_spare_job(SpareJob* job) {
  job->gate->wait(1000);
  SpareState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.exiting || s.owner != ::getpid()) {
      s.starting = false;
      s.started.notify_all();
      return;
    }
    s.spawning = true;
  }
  Result<RunnerProcess> process = start_runner_process(job->engine, "spare", false, job->pipe_stderr);
  std::optional<RunnerProcess> unused;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (process && s.key == job->key && !s.spare) {
      s.spare = std::move(*process);
    } else if (process) {
      unused = std::move(*process);
    }
  }
  if (unused) stop(*unused);
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.job == job) s.job = nullptr;
  delete job;
  s.starting = false;
  s.spawning = false;
  s.started.notify_all();
}

}  // namespace

std::optional<RunnerProcess> take_spare_runner(const VeskEngine& engine) {
  const std::string key = runner_command_key(engine);
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
  std::function<void()> on_open;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (open_) return;
    open_ = true;
    on_open = std::move(on_open_);
  }
  cv_.notify_all();
  if (on_open) on_open();
}

void SpareGate::wait(std::uint64_t ms) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return open_; });
}

std::shared_ptr<SpareGate> start_spare_runner(const VeskEngine& engine, bool pipe_stderr) {
  std::string key = runner_command_key(engine);
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
    if (s.exiting) return nullptr;
    if (!s.exit_hook) s.exit_hook = std::atexit(stop_starting_at_exit) == 0;
    s.starting = true;
    s.key = key;
  }
  if (replaced) stop(*replaced);
  auto gate = std::make_shared<SpareGate>();
  // Let go of (never destroyed) when the process exits first: the engine's
  // release does work that must not run while the process's own objects are
  // being destroyed.
  auto* job = new SpareJob{engine, std::move(key), gate, pipe_stderr};
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.job = job;
  }
  try {
    std::thread(run_spare_job, job).detach();
  } catch (...) {
    std::lock_guard<std::mutex> lock(s.mu);
    s.job = nullptr;
    delete job;
    s.starting = false;
    s.started.notify_all();
    return nullptr;
  }
  return gate;
}

bool spare_runner_waiting(const VeskEngine& engine) {
  const std::string key = runner_command_key(engine);
  SpareState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  adopt(s);
  return s.spare && !key.empty() && s.key == key;
}

pid_t spare_runner_pid() {
  SpareState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  adopt(s);
  s.started.wait(lock, [&] { return !s.starting; });
  return s.spare ? s.spare->spawned.child->pid() : 0;
}

}  // namespace vesk
