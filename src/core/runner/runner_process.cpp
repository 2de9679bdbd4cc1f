// The implementation of runner_process.h; its role and contract are stated there.

#include "core/runner/runner_process.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "core/exchange/fs_tree.h"
#include "core/exchange/host_dirs.h"
#include "core/base/io.h"
#include "core/runner/runner_script.h"

namespace vesk {

namespace {

// The script's bytes in an anonymous file, read from its start: what
// bubblewrap copies into the runner's sandbox.
Result<UniqueFd> script_descriptor() {
  UniqueFd fd(::memfd_create("vesk-runner-script", MFD_CLOEXEC));
  if (!fd) return fail(Error::last_os_error());
  if (Status s = write_all(fd.get(), runner_script()); !s) return fail(s.error());
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) return fail(Error::last_os_error());
  return fd;
}

// The "child-pid" of bubblewrap's --info-fd report, read until the
// descriptor ends (bubblewrap closes it before the runner starts); 0 when
// there is none (it failed first).
pid_t child_pid_of(int info_fd, std::uint64_t timeout_ms) {
  std::string report;
  char buffer[256];
  for (;;) {
    pollfd p{info_fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<std::uint64_t>(timeout_ms, 600000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n = ::read(info_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || report.size() > 4096) break;
    report.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t key = report.find("\"child-pid\"");
  if (key == std::string::npos) return 0;
  const std::size_t colon = report.find(':', key);
  if (colon == std::string::npos) return 0;
  const long pid = std::strtol(report.c_str() + colon + 1, nullptr, 10);
  return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

// util-linux's setpriv, where it can give a program a parent-death signal
// (asked once per process: a start of `setpriv --pdeathsig KILL true`);
// empty where it cannot.
const std::string& pdeathsig_helper() {
  static const std::string helper = [] {
    const std::string path = "/usr/bin/setpriv";
    if (::access(path.c_str(), X_OK) != 0) return std::string();
    SpawnOptions probe;
    probe.program = path;
    probe.args = {"--pdeathsig", "KILL", "--", "true"};
    probe.null_stdin = true;
    Result<Spawned> spawned = spawn(probe);
    if (!spawned) return std::string();
    return spawned->child->wait().code == 0 ? path : std::string();
  }();
  return helper;
}

}  // namespace

Result<std::unique_ptr<PrivateDir>> PrivateDir::create(const std::string& parent) {
  std::string pattern = parent;
  if (pattern.empty() || pattern.back() != '/') pattern += '/';
  pattern += "vesk-runner-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return fail(Error::last_os_error());
  return std::unique_ptr<PrivateDir>(new PrivateDir(std::move(pattern)));
}

PrivateDir::~PrivateDir() { remove_tree(path_); }

Result<RunnerProcess> start_runner_process(const VeskEngine& engine, std::string_view mode,
                                           bool null_stdin, bool pipe_stderr) {
  return guard([&]() -> Result<RunnerProcess> {
    RunnerProcess process;
    if (engine.isolation() == RunnerIsolation::kDirect) {
      Result<std::string> parent = process_dir(temp_dir());
      if (!parent) return fail(parent.error());
      Result<std::unique_ptr<PrivateDir>> dir = PrivateDir::create(*parent);
      if (!dir) return fail(dir.error());
      process.own_dir = std::move(*dir);
      Result<LaunchCommand> command = engine.launch_command(process.own_dir->path());
      if (!command) return fail(command.error());
      if (!mode.empty()) command->args.emplace_back(mode);
      SpawnOptions options = command->spawn_options();
      options.pipe_stdin = !null_stdin;
      options.null_stdin = null_stdin;
      options.pipe_stderr = pipe_stderr;
      Result<Spawned> spawned = spawn(options);
      if (!spawned) return fail(spawned.error());
      process.spawned = std::move(*spawned);
      process.pid = process.spawned.child->pid();
      return process;
    }
    Result<LaunchCommand> command = engine.sandboxed_launch_command();
    if (!command) return fail(command.error());
    if (!mode.empty()) command->args.emplace_back(mode);
    Result<UniqueFd> script = script_descriptor();
    if (!script) return fail(script.error());
    Result<Pipe> info = make_pipe();
    if (!info) return fail(info.error());
    SpawnOptions options = command->spawn_options();
    options.pipe_stdin = !null_stdin;
    options.null_stdin = null_stdin;
    options.pipe_stderr = pipe_stderr;
    options.pass_fds = {script->get(), info->write.get()};
    // bubblewrap dies with this process, and takes the runner with it
    // (--die-with-parent), even one too busy in code to see its input end.
    options.from_lasting_thread = true;
    // setpriv gives bubblewrap that signal before it starts (and execs it:
    // the process id stays bubblewrap's), so that a host that dies while
    // bubblewrap still sets the sandbox up ends it too (one was seen left
    // waiting for ever on a sandbox child that had gone).
    if (const std::string& helper = pdeathsig_helper(); !helper.empty()) {
      options.args.insert(options.args.begin(), {"--pdeathsig", "KILL", "--", options.program});
      options.program = helper;
    }
    Result<Spawned> spawned = spawn(options);
    if (!spawned) return fail(spawned.error());
    info->write.reset();
    process.spawned = std::move(*spawned);
    process.pid = child_pid_of(info->read.get(), engine.config().install_timeout_ms);
    // bubblewrap that failed before it started the runner: its own process
    // stands in, and the missing ready line tells what happened.
    if (process.pid == 0) process.pid = process.spawned.child->pid();
    return process;
  });
}

}  // namespace vesk
