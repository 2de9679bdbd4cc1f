// One live runner: a Deno process running the runner script, and the module's
// end of the line protocol with it.
//
// A Runner is started by start() (which waits for the runner's ready line),
// serves requests one at a time on the caller's thread, and is released by its
// destructor, which kills the process without waiting for it. Every wait for
// the runner (the start and each request) is guarded by its own Watchdog: when
// the wait's limit passes, the process is killed and the wait reports the
// time-out. A killed or abandoned process is reaped in the background, so
// none stays a zombie, and a write to a runner that has gone fails with the
// broken-pipe error instead of ending the host with SIGPIPE.
//
// Not thread-safe: one thread at a time (the session's lock sees to that).
#ifndef VESK_CORE_RUNNER_H_
#define VESK_CORE_RUNNER_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine.h"
#include "core/error.h"
#include "core/file_map.h"
#include "core/io.h"
#include "core/process.h"
#include "core/protocol.h"

namespace vesk {

// Receives the text of each progress line, in order, on the caller's thread,
// only during the call it was given to.
using ProgressCallback = std::function<void(std::string)>;

// The result of one execute request.
struct ExecutionOutput {
  std::string stdout_text;
  std::string stderr_text;
  // The complete workspace after the run, as fresh contents (not yet shared
  // with any store).
  FileMap files;
};

class Runner {
 public:
  // Starts a runner with the engine's launch command and waits at most
  // install_timeout_ms for its first line, which must be the ready line. The
  // runner keeps its own copy of the engine (one more holder of the script).
  //
  // Errors (all plain): the Os error when the process cannot be started;
  // "Deno runner startup timed out after {install_timeout_ms}ms; check server
  // stderr for details"; "Deno runner exited during startup (exit code:
  // {code}); check server stderr for details" with {code} Some(n) or None
  // (any first line but the ready line, or none). After a failed start the
  // pipes are closed; the process is left to end at its next read.
  static Result<std::unique_ptr<Runner>> start(const VeskEngine& engine);

  // Starts a runner and installs `packages` into it in order, ignoring every
  // failed install. Errors: those of start().
  static Result<std::unique_ptr<Runner>> new_from_timeout_recovery(
      const VeskEngine& engine, const std::vector<std::string>& packages);

  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;
  // Kills the process (SIGKILL) and closes the pipes; never waits.
  ~Runner();

  // Runs `code` over `files` and waits at most exec_timeout_ms for the reply;
  // progress texts go to `progress`. The reply is the first line shaped like
  // one that carries this request's number; other such lines are passed over.
  //
  // Errors: the Os error of a failed write (a runner that has gone gives
  // "Broken pipe (os error 32)"); RunnerError Timeout (the limit passed; the
  // process has been killed) or Crash (its output ended first, also in the
  // middle of a line; the exit code when it is already known); RunnerError
  // Application with the runner's error text; the decoding message of an
  // invalid reply line (plain; the runner stays usable). After a failed write,
  // a time-out or a crash, usable() is false.
  Result<ExecutionOutput> execute_python(std::string_view code, const FileMap& files,
                                         const ProgressCallback& progress);

  // Installs `package` with micropip, waiting at most install_timeout_ms.
  // Errors: as execute_python, except that a failure reply is a plain error
  // carrying the runner's text.
  Status install(std::string_view package);

  // The runner process's id (for diagnostics and tests).
  pid_t pid() const { return child_->pid(); }

  // False once a request could not be written whole, or the runner's output
  // ended (a crash or a time-out): it cannot serve another request.
  bool usable() const { return usable_; }

 private:
  Runner(VeskEngine engine, Spawned spawned);

  // Writes one request with `write` and reads until its reply (OkReply or
  // ErrReply), all within `limit_ms`; progress texts go to `progress`.
  template <class Write>
  Result<ReplyLine> request(Write&& write, std::uint64_t limit_ms,
                            const ProgressCallback& progress);

  VeskEngine engine_;
  std::shared_ptr<Child> child_;
  UniqueFd stdin_;
  UniqueFd stdout_;
  FdWriter writer_;
  FdReader reader_;
  // The line being read; it keeps the capacity of the last reply, up to four
  // times its size (see request()).
  std::string line_;
  // Requests written, numbered as the runner numbers the requests it reads;
  // a reply is taken only when it carries the number of the request waited
  // for, so no request ever receives the reply of an earlier one, nor a line
  // that code in the runner forged.
  std::uint64_t sent_ = 0;
  // The newest request whose reply has been read (or passed over as late).
  std::uint64_t answered_ = 0;
  bool usable_ = true;
};

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_H_
