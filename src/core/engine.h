// The engine: what every runner start needs.
//
// A VeskEngine bundles the configuration, the path of the Deno executable and
// the runner script written to disk, and forms the exact command that starts
// one runner process. It never changes after creation; copies share the
// script file.
//
// The script file is "vesk_runner_{pid}.ts" in the temporary directory (TMPDIR,
// else /tmp). Since the name depends only on the process id, all engines of
// one process share one RunnerFile: the first creates and writes it, later
// ones (while any holder lives) share it, and the file is removed when the
// last holder in the process goes. So dropping one session never deletes the
// file that another live session needs to start its runner again.
#ifndef VESK_CORE_ENGINE_H_
#define VESK_CORE_ENGINE_H_

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/error.h"
#include "core/process.h"

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

// The program, arguments and stream setup of one runner process. The
// environment and working directory are inherited unchanged; standard input
// and output are pipes, standard error is inherited.
struct LaunchCommand {
  std::string program;
  std::vector<std::string> args;

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
  // Absolute path of the runner script file.
  const std::string& script_path() const { return runner_file_->path(); }
  // How many holders share the script file (engines and runners), for tests.
  long script_holders() const { return runner_file_.use_count(); }

  // The command that starts a runner:
  //   deno run --allow-read={script},{cache} --allow-write={cache}
  //            [--allow-net | --allow-net={hosts}] {script}
  // where {cache} is Deno's cache directory as found from the environment
  // now (DENO_DIR; else XDG_CACHE_HOME/deno; else HOME, or the temporary
  // directory, joined with .cache/deno), and the network flag follows
  // domain_allowlist. Paths that are not valid UTF-8 get U+FFFD in place of
  // their bad bytes.
  LaunchCommand launch_command() const;

 private:
  VeskEngine(Config config, std::string deno_path, std::shared_ptr<const RunnerFile> file)
      : config_(std::move(config)), deno_path_(std::move(deno_path)),
        runner_file_(std::move(file)) {}

  Config config_;
  std::string deno_path_;
  std::shared_ptr<const RunnerFile> runner_file_;
};

// The parts of the launch command, exposed for tests.

// The temporary directory: TMPDIR if set and not empty, else /tmp.
std::string temp_dir();

// Deno's cache directory from the environment. A variable counts as set only
// if its value is valid UTF-8.
std::string deno_cache_dir();

// No flag for an empty list; "--allow-net" if any entry is "*"; otherwise
// "--allow-net=" with the entries joined by ",".
std::optional<std::string> network_flag(const std::vector<std::string>& domain_allowlist);

}  // namespace vesk

#endif  // VESK_CORE_ENGINE_H_
