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
#ifndef VESK_CORE_RUNNER_RUNNER_H_
#define VESK_CORE_RUNNER_RUNNER_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/runner/engine.h"
#include "core/base/error.h"
#include "core/history/file_map.h"
#include "core/base/io.h"
#include "core/runner/memory_guard.h"
#include "core/runner/park_image.h"
#include "core/base/process.h"
#include "core/runner/protocol.h"
#include "core/runner/runner_process.h"
#include "core/runner/spare_runner.h"

namespace vesk {

// Receives the text of each progress line, in order, on the caller's thread,
// only during the call it was given to.
using ProgressCallback = std::function<void(std::string)>;

// The result of one execute request.
struct ExecutionOutput {
  std::string stdout_text;
  std::string stderr_text;
  // The complete workspace after the run, as fresh contents (not yet shared
  // with any store). For a difference request: only the files the run
  // changed or made, and in `removed` the keys it removed.
  FileMap files;
  bool diff = false;
  std::vector<std::string> removed;
  // A difference request the runner did not run: what it holds is not what
  // it last reported (code left running between requests changed it). Send
  // the request again in the whole form.
  bool resync = false;
};

// One package to install again in a new runner: what to ask micropip for
// (an exact wheel address when the installer reported one), and, for a wheel
// that was a file of the workspace, a workspace holding that file.
struct PackageRecord {
  // Implicit, so that a list of names reads as a list of records.
  PackageRecord(std::string p) : package(std::move(p)) {}  // NOLINT
  PackageRecord(const char* p) : package(p) {}             // NOLINT
  PackageRecord(std::string p, FileMap f) : package(std::move(p)), files(std::move(f)) {}
  std::string package;
  std::optional<FileMap> files;
};

class Runner {
 public:
  // Starts a runner (start_runner_process()) and waits at most
  // install_timeout_ms for its first line, which must be the ready line. The
  // runner keeps its own copy of the engine (one more holder of the script
  // file, if there is one) and owns its own directory, the only place the
  // process may write, which goes with the runner. When Deno's cache
  // lacks the pinned Pyodide, it is fetched first (ensure_pyodide_cached).
  //
  // Errors (all plain): those of ensure_pyodide_cached() and of the launch
  // command (a path with a comma); the Os error when the private directory
  // cannot be made or the process cannot be started; the memory limit's
  // message (see below) when the runner went over it while starting;
  // "Deno runner startup timed out after {install_timeout_ms}ms; check server
  // stderr for details"; "Deno runner exited during startup (exit code:
  // {code}); check server stderr for details" with {code} Some(n) or None
  // (any first line but the ready line, or none). After a failed start the
  // pipes are closed; the process is left to end at its next read.
  static Result<std::unique_ptr<Runner>> start(const VeskEngine& engine);

  // Starts a runner that resumes the interpreter of a park image (see park())
  // instead of starting afresh; otherwise as start(). The image is
  // decompressed as the runner reads it (while Deno still starts, and
  // without ever holding it whole). An image that does not decompress fails
  // with decompress_image()'s error and the runner is stopped before it has
  // said it is ready, so nothing of the partial image is ever used. A runner
  // that refuses the image (from another build, or damaged inside a sound
  // frame) starts afresh instead: from_snapshot() then says false.
  static Result<std::unique_ptr<Runner>> resume(const VeskEngine& engine, const ParkImage& image);

  // Starts a runner and installs `packages` into it in order. A package that
  // cannot be installed again is left out, with one line on standard error
  // ("vesk: could not reinstall '{package}' in the new runner: {reason}"),
  // and the others go on. Errors: those of start().
  static Result<std::unique_ptr<Runner>> new_from_timeout_recovery(
      const VeskEngine& engine, const std::vector<PackageRecord>& packages);

  // Installs `packages` in this runner, in order, as
  // new_from_timeout_recovery() does.
  void reinstall(const std::vector<PackageRecord>& packages);

  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;
  // Kills the process (SIGKILL) and closes the pipes; never waits.
  ~Runner();

  // Runs `code` over `files` and waits at most exec_timeout_ms for the reply;
  // progress texts go to `progress`. The reply is the first line shaped like
  // one that carries this request's number; other such lines are passed over.
  //
  // `control` may shorten the limit (the configured one still caps it) and
  // name a cancel descriptor, which stops the request as a time-out would.
  //
  // Errors: RunnerError Timeout (the limit passed; the process has been
  // killed; the limit applied is named), Cancelled (the cancel descriptor
  // became readable; killed likewise) or Crash (its output ended first,
  // also in the middle of a line, or a request could not be written to it:
  // a runner that died between requests; the exit code when the process
  // ends within a moment of it); RunnerError Application with the runner's
  // error text; the decoding message of an invalid reply line (plain; the
  // runner stays usable). After a failed write, a time-out, a cancel or a
  // crash, usable() is false. Every error after the request went out
  // carries the output the run printed before it (Error::partial_stdout(),
  // bounded as a reply's capture is). A runner that went over
  // max_runner_memory_mb, during the request or before it, was killed and
  // the error is plain: "the runner went over its memory limit of {N} MiB
  // (max_runner_memory_mb) and was stopped". A line of the runner's longer
  // than any reply can be (longest_reply_line()) is not read further: the
  // runner is killed (usable() false) and the error is plain, "the runner
  // wrote a line of more than {N} bytes, longer than any reply can be
  // (max_workspace_mb), and was stopped". A reply buffer above 16 MiB, or
  // grown by a line that was no reply, is given back as the call ends. With
  // ReplyForm::kChanges the output is in the difference form (or `resync`),
  // against `files`.
  Result<ExecutionOutput> execute_python(std::string_view code, const FileMap& files,
                                         const ProgressCallback& progress,
                                         ReplyForm reply = ReplyForm::kWhole,
                                         const RunControl& control = {});

  // As execute_python, but sends only `changes`: the differences from the
  // workspace this runner last reported (or was sent whole) to the one the
  // code must see. The output is in the difference form, or `resync`.
  Result<ExecutionOutput> execute_python_changes(std::string_view code,
                                                 const std::vector<FileMap::Difference>& changes,
                                                 const ProgressCallback& progress,
                                                 const RunControl& control = {});

  // Installs `package` with micropip, waiting at most install_timeout_ms.
  // With `files`, the runner first lays out that workspace, so that a wheel
  // in it can be named by its emfs: path. When the runner's reply lists the
  // addresses of the wheels it put in place (dependencies first), they are
  // stored in `*installed` (left empty otherwise). Errors: as execute_python,
  // except that a failure reply is a plain error carrying the runner's text.
  Status install(std::string_view package, const FileMap* files = nullptr,
                 std::optional<std::vector<std::string>>* installed = nullptr,
                 const RunControl& control = {});

  // What a park request came to: an image, or the runner's reason for
  // keeping its interpreter live ("not parked: work still scheduled", ...).
  struct ParkOutcome {
    bool parked = false;
    std::string refusal;
  };

  // Asks the runner for an image of its interpreter (it must have been
  // started with --parkable, see VeskEngine) and waits at most
  // install_timeout_ms for it. The image arrives in pieces, handed to `sink`
  // in order; it is at most `max_bytes` long. The runner stays as it was
  // either way: ending it is the caller's business.
  //
  // Errors: those of execute_python (write, Timeout, Crash, the memory
  // limit; usable() is false afterwards); an image announced longer than
  // `max_bytes` kills the runner (usable() false) and fails with "the
  // runner's image of {L} bytes passes max_runner_memory_mb"; an error of
  // `sink` is returned once the rest of the image has been read (the runner
  // stays usable).
  Result<ParkOutcome> park(std::uint64_t max_bytes,
                           const std::function<Status(std::string_view)>& sink);

  // The runner process's id (for diagnostics and tests): bubblewrap's, for
  // a runner in its sandbox.
  pid_t pid() const { return child_->pid(); }
  // The Deno process's own id, whose memory is the runner's.
  pid_t deno_pid() const { return deno_pid_; }

  // False once a request could not be written whole, or the runner's output
  // ended (a crash or a time-out): it cannot serve another request.
  bool usable() const { return usable_; }

  // Whether the runner started from a start snapshot (see snapshot.h). A
  // runner that did not sets the making of one going for the next start.
  bool from_snapshot() const { return from_snapshot_; }

 private:
  Runner(VeskEngine engine, RunnerProcess process);

  bool sandboxed() const { return engine_.isolation() == RunnerIsolation::kSandbox; }

  // What a runner is handed on its standard input before it starts (a start
  // snapshot or a park image): `size` bytes, which `produce` passes to its
  // `send` piece by piece. An error of `produce` that is not one of `send`
  // fails the start.
  struct StartBytes {
    std::uint64_t size = 0;
    std::function<Status(const std::function<Status(std::string_view)>& send)> produce;
  };

  // Starts a runner with `mode`, handing it `bytes` first when given: the
  // spare runner when there is one and `may_take_spare`.
  static Result<std::unique_ptr<Runner>> start_with(const VeskEngine& engine, std::string_view mode,
                                                    const StartBytes* bytes,
                                                    bool may_take_spare = true);

  // An image reply's bytes are taken by `image` (given the announced size)
  // while the wait's watchdog still runs: true once all are read, false when
  // the runner's output ended first. Without it an image reply is no valid
  // reply.
  using ImageReader = std::function<Result<bool>(std::uint64_t size)>;

  // Writes one request with `write` and reads until its reply, all within
  // `limit_ms` (or until `cancel_fd` becomes readable); progress texts go to
  // `progress` and into partial_.
  template <class Write>
  Result<ReplyLine> request(Write&& write, std::uint64_t limit_ms,
                            const ProgressCallback& progress,
                            const ImageReader* image = nullptr, int cancel_fd = -1);
  // `error` carrying the output of the request in progress.
  Error with_partial(Error error) const;
  // The execution output of an execute request's reply.
  Result<ExecutionOutput> execution_output(Result<ReplyLine> reply);

  VeskEngine engine_;
  // Removed after the process has been killed (members go in reverse order).
  std::unique_ptr<PrivateDir> private_dir_;
  std::shared_ptr<Child> child_;
  pid_t deno_pid_ = 0;
  // Kills the process when its resident memory passes max_runner_memory_mb,
  // between requests too; a request that ends with the process then fails
  // with the limit's message instead of the crash's.
  std::unique_ptr<MemoryGuard> memory_guard_;
  UniqueFd stdin_;
  UniqueFd stdout_;
  FdWriter writer_;
  FdReader reader_;
  // The line being read; it keeps the capacity of the last reply (up to four
  // times its size, and at most 16 MiB; see request()), and gives back what
  // a longer line, or one that was no reply, made it take.
  std::string line_;
  // Requests written, numbered as the runner numbers the requests it reads;
  // a reply is taken only when it carries the number of the request waited
  // for, so no request ever receives the reply of an earlier one, nor a line
  // that code in the runner forged.
  std::uint64_t sent_ = 0;
  // The newest request whose reply has been read (or passed over as late).
  std::uint64_t answered_ = 0;
  // What the request in progress printed, from its progress lines, bounded
  // as the runner bounds a reply's capture; only errors carry it out.
  std::string partial_stdout_;
  std::string partial_stderr_;
  bool usable_ = true;
  // The start of the next spare runner, held back until this runner has
  // served its first request (set when this one may have taken the spare).
  std::shared_ptr<SpareGate> spare_gate_;
  bool from_snapshot_ = false;
};

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_RUNNER_H_
