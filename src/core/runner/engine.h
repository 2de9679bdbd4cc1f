// The engine: what every runner start needs.
//
// A VeskEngine bundles the configuration, the path of the Deno executable and
// the runner script written to disk, and forms the exact command that starts
// one runner process. It never changes after creation; copies share the
// script file.
//
// Runners run in a sandbox of their own wherever bubblewrap can make one
// (RunnerIsolation::kSandbox; runner_process.h): the script then never
// touches the host's disks. Otherwise (kDirect) the script file is
// "vesk_runner_{pid}.js" in the temporary directory (TMPDIR, else /tmp).
// Since the name depends only on the process id, all engines of one process
// share one RunnerFile: the first creates and writes it, later ones (while
// any holder lives) share it, and the file is removed when the last holder
// in the process goes. So dropping one session never deletes the file that
// another live session needs to start its runner again.
#ifndef VESK_CORE_RUNNER_ENGINE_H_
#define VESK_CORE_RUNNER_ENGINE_H_

#include <sys/types.h>

#include <memory>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/config.h"
#include "core/base/error.h"
#include "core/base/process.h"

namespace vesk {

// The runner script on disk. Shared by reference count; the destructor of
// the last holder removes the file (errors ignored), unless a newer
// RunnerFile of this process has taken the same path meanwhile, or the
// process is a forked copy of the one that wrote it.
class RunnerFile {
 public:
  RunnerFile(std::string path, pid_t owner) : path_(std::move(path)), owner_(owner) {}
  RunnerFile(const RunnerFile&) = delete;
  RunnerFile& operator=(const RunnerFile&) = delete;
  ~RunnerFile();

  const std::string& path() const { return path_; }
  pid_t owner() const { return owner_; }

 private:
  const std::string path_;
  const pid_t owner_;
};

// The Pyodide release the runner script imports. The script names the same
// version, so a newer package in Deno's cache or on the registry never
// changes what runs.
inline constexpr std::string_view kPyodideVersion = "314.0.8";

// How runner processes are kept apart from the host (runner_process.h).
enum class RunnerIsolation {
  kSandbox,  // under bubblewrap: read-only host, a bounded tmpfs of its own
  kDirect,   // Deno as it is, with its permissions alone
};

// kSandbox where bubblewrap is on PATH and can make the runner's sandbox,
// asked once per process (a sandbox that runs `true`, a few milliseconds);
// kDirect otherwise. Tests may fix the answer (nullopt asks again).
RunnerIsolation runner_isolation();
void set_runner_isolation_for_testing(std::optional<RunnerIsolation> isolation);

// Inside a runner's sandbox: its own directory and its script.
inline constexpr std::string_view kSandboxOwnDir = "/tmp/vesk-runner";
inline constexpr std::string_view kSandboxScript = "/tmp/vesk_runner.js";

// The program, arguments and stream setup of one runner process. The
// environment is inherited but for `env_overrides`, the working directory
// unchanged; standard input and output are pipes, standard error is
// inherited.
struct LaunchCommand {
  std::string program;
  std::vector<std::string> args;
  std::vector<std::string> env_overrides;  // "NAME=value"
  // A sandboxed command is bubblewrap's: it reads the script from descriptor
  // 3, reports the runner's process id on descriptor 4 (--info-fd), and
  // leads a process group of its own.
  bool sandboxed = false;

  SpawnOptions spawn_options() const;
};

class VeskEngine {
 public:
  // Finds Deno on PATH (the first regular file named deno with execute
  // permission; relative entries against the working directory) and writes
  // the runner script file, or shares the one already written by a live
  // engine of this process (rewriting it, atomically, with the same text).
  // Takes `config` over, also on failure.
  //
  // Errors (plain): "deno not found; install from https://deno.com/" when no
  // Deno is found (nothing is written then); the Os error when the script
  // cannot be written.
  static Result<VeskEngine> create(Config config);

  const Config& config() const { return config_; }
  // Absolute path of the Deno executable found at creation.
  const std::string& deno_path() const { return deno_path_; }
  // How this engine's runners are isolated, decided at creation.
  RunnerIsolation isolation() const { return isolation_; }
  // Absolute path of the runner script file; empty for kSandbox, which
  // writes none.
  const std::string& script_path() const;
  // How many holders share the script file (engines and runners), for tests.
  long script_holders() const { return runner_file_.use_count(); }

  // The command that starts a runner whose own writable directory is
  // `private_dir`:
  //   deno run --no-config --no-lock --cached-only
  //            --allow-read={script},{pyodide},{private_dir}
  //            --allow-write={private_dir}
  //            [--allow-net | --allow-net={hosts}] {script} {private_dir}
  //            --interpreter-memory-mb={three quarters of max_runner_memory_mb}
  //            [--parkable]
  // where {pyodide} is the directory of the pinned Pyodide package in Deno's
  // cache (pyodide_package_dir()), and the network flag follows
  // domain_allowlist. The runner can read nothing else of the cache (whose
  // gen/ holds transpiled copies of the user's other programs) and write
  // none of it: nothing one runner writes is read by another. --parkable
  // when park_after_idle_secs is set (the runner can then image its
  // interpreter, see Runner::park). --cached-only
  // keeps Deno itself from fetching modules into the shared cache when code
  // imports one, and --no-config and --no-lock keep a deno.json or deno.lock
  // in the host's working directory (which export can write) from remapping
  // what the script imports. Paths that are not valid UTF-8 get U+FFFD in
  // place of their bad bytes.
  //
  // The environment gets MALLOC_MMAP_THRESHOLD_=131072 unless the host sets
  // that variable (freed blocks of 128 KiB or more go back to the system),
  // and DENO_V8_FLAGS=--no-wasm-inlining-call-indirect, followed by the
  // host's own DENO_V8_FLAGS, when this Deno starts with them: the first
  // command for an executable asks it once (deno eval --no-config "", about
  // 30 ms), and a Deno that refuses gets the host's variable unchanged.
  //
  // Errors (plain): a path holding a comma, which Deno's permission lists
  // would split into two paths: "cannot start the runner: the path '{path}'
  // holds a comma, which Deno's permission flags cannot express; choose
  // another directory (DENO_DIR, TMPDIR)".
  Result<LaunchCommand> launch_command(const std::string& private_dir) const;

  // The command that starts a runner in its sandbox (kSandbox):
  //   bwrap --ro-bind / / --dev /dev --proc /proc [--size BYTES] --tmpfs /tmp
  //         [--ro-bind PATH PATH]... --dir {own} --ro-bind-data 3 {script}
  //         --cap-drop ALL --info-fd 4 -- {deno run ... as launch_command()}
  // with {own} and {script} kSandboxOwnDir and kSandboxScript; BYTES is
  // max_workspace_mb MiB when that is set; each PATH is a host directory
  // below /tmp that Deno needs (its executable's, resolved, and its cache),
  // which the tmpfs would otherwise hide. The same environment as
  // launch_command(). Errors: as launch_command().
  Result<LaunchCommand> sandboxed_launch_command() const;

 private:
  VeskEngine(Config config, std::string deno_path, RunnerIsolation isolation,
             std::shared_ptr<const RunnerFile> file)
      : config_(std::move(config)), deno_path_(std::move(deno_path)), isolation_(isolation),
        runner_file_(std::move(file)) {}

  // `deno run` and its arguments for a script at `script` whose own
  // directory is `own`, and the environment, shared by both forms.
  Result<LaunchCommand> deno_command(const std::string& script, const std::string& own) const;

  Config config_;
  std::string deno_path_;
  RunnerIsolation isolation_;
  std::shared_ptr<const RunnerFile> runner_file_;  // kDirect only
};

// The parts of the launch command, exposed for tests.

// The temporary directory: TMPDIR if set and not empty, else /tmp.
std::string temp_dir();

// Deno's cache directory from the environment (DENO_DIR; else
// XDG_CACHE_HOME/deno; else HOME, or the temporary directory, joined with
// .cache/deno). A variable counts as set only if its value is valid UTF-8.
std::string deno_cache_dir();

// Where Deno's cache keeps the pinned Pyodide package:
// {cache}/npm/registry.npmjs.org/pyodide/{kPyodideVersion}.
std::string pyodide_package_dir();

// Makes sure Deno's cache holds the pinned Pyodide package. When a file the
// runner loads is missing, runs `deno cache --no-config --no-lock
// npm:pyodide@{version}` (Deno fetches and unpacks the package; nothing of it
// is executed) and waits for it at most `timeout_ms`. Errors (plain): "Deno's
// cache ({cache}) lacks Pyodide {version} and it could not be fetched; with
// access to the npm registry run: deno cache npm:pyodide@{version} (or
// ./scripts/setup.sh)".
Status ensure_pyodide_cached(const std::string& deno_path, std::uint64_t timeout_ms);

// Names one build of the executable at `path`: "{device} {inode} {size}
// {mtime seconds}.{nanoseconds}", or nullopt when it cannot be looked at.
std::optional<std::string> executable_identity(const std::string& path);

// No flag for an empty list; "--allow-net" if any entry is "*"; otherwise
// "--allow-net=" with the entries joined by ",".
std::optional<std::string> network_flag(const std::vector<std::string>& domain_allowlist);

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_ENGINE_H_
