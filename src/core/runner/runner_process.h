// Starting one runner process, kept apart from the host.
//
// Where bubblewrap can make a mount namespace (runner_isolation(), asked
// once per process), Deno runs under it (kSandbox): the host's file system
// read-only, Deno's cache included, so nothing a runner does, and no module
// that code in it writes and imports, changes what later runners or other
// programs of the user load (Deno caches what it compiles there, unasked);
// and a tmpfs of its own at /tmp, of at most max_workspace_mb when that is
// set, holding the runner's own directory (kSandboxOwnDir, the one place it
// may write: Pyodide keeps the packages it downloads there) and its script
// (kSandboxScript, bound read-only from the bytes handed to bubblewrap on a
// descriptor). Nothing of a runner is on the host's disks and no other
// process's sandbox can see it; all of it goes with the process however it
// ends, and a runner that fills its directory fills only that. Host paths
// below /tmp that Deno needs (its executable, its cache) are bound back
// read-only. The process started is bubblewrap, leading a process group of
// its own (killing it kills the runner inside); bubblewrap reports the
// runner's own process id, whose memory is the runner's. bubblewrap dies
// with this process (--die-with-parent, started from a thread that lasts
// while it does: SpawnOptions::from_lasting_thread), and takes the runner
// with it, even one too busy in code to notice its input's end.
//
// Where it cannot (kDirect), Deno is started as it is, with its permissions
// alone: its script is the engine's file and its own directory a new one
// below vesk's root in the temporary directory (host_dirs.h), removed with
// the runner.
//
// Errors are values; nothing here throws but std::bad_alloc.
#ifndef VESK_CORE_RUNNER_RUNNER_PROCESS_H_
#define VESK_CORE_RUNNER_RUNNER_PROCESS_H_

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/runner/engine.h"
#include "core/base/error.h"
#include "core/base/process.h"

namespace vesk {

// A directory of one runner's own on the host (kDirect), made 0700 by
// mkdtemp and removed with everything in it (no link below it followed)
// when the object goes.
class PrivateDir {
 public:
  // Errors: the Os error of mkdtemp.
  static Result<std::unique_ptr<PrivateDir>> create(const std::string& parent);
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;
  ~PrivateDir();
  const std::string& path() const { return path_; }

 private:
  explicit PrivateDir(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// One started runner process.
struct RunnerProcess {
  Spawned spawned;  // standard input (unless null) and output piped, error maybe
  // The Deno process itself, whose resident memory is the runner's: the
  // child, or the process bubblewrap started in the sandbox.
  pid_t pid = 0;
  // kDirect: the runner's directory on the host, to be dropped only once
  // the process has been killed.
  std::unique_ptr<PrivateDir> own_dir;
};

// Starts a runner for `engine` with `mode` ("", "snapshot-load" or
// "snapshot-make") as its last argument when not empty. Standard input is
// /dev/null with `null_stdin`, else a pipe; standard error is a pipe with
// `pipe_stderr` (a spare to be lent to another process), else this
// process's. Errors: those of the launch
// command, of making the private directory or the script's descriptor
// (Os), and of spawn().
Result<RunnerProcess> start_runner_process(const VeskEngine& engine, std::string_view mode,
                                           bool null_stdin = false, bool pipe_stderr = false);

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_RUNNER_PROCESS_H_
