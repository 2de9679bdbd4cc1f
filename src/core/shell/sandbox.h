// Sandboxed shell execution.
//
// execute_bash runs one shell command against the current checkpoint's
// workspace and records the outcome as a new checkpoint. The workspace is
// written into a fresh work directory, the command runs there as `sh -c`
// under bubblewrap (host file system read-only, fresh /dev, /proc and /tmp,
// the directories holding vesk's work directories and temporary files
// replaced by empty ones, network and process ids unshared, a terminal
// session of its own, no capabilities even when the host runs as root, only
// the work directory writable, standard input /dev/null, no descriptor of the
// host but its output pipes), its standard output is handed line by line to
// a callback, and afterwards the work directory is read back and becomes the
// new checkpoint's files, with the captured output.
//
// Where the work directory lives. The sandbox mounts an empty tmpfs on /tmp
// after binding the work directory, so a work directory below /tmp would be
// hidden from the command (it would run elsewhere and its writes would be
// lost). work_dir_parent() therefore never picks anything below /tmp:
//   1. $TMPDIR, when it resolves to a writable directory that is not /tmp or
//      below it: operators and tests choose the place (a small tmpfs to try
//      a full disk, a fast disk); one below /tmp is ignored;
//   2. /dev/shm, when it is a writable directory outside /tmp with room for
//      the largest workspace the call could accept plus a margin (see
//      work_dir_parent); a tmpfs writes and reads a workspace of many small
//      files several times faster than a disk, but it is often small (64 MiB
//      in a default container) and it is memory, hence the room test;
//   3. /var/tmp otherwise.
// "/" is never picked either. The work directory is a new uniquely named
// "vesk-bash-XXXXXX" in this process's own directory below vesk's per-user
// root in the chosen base (host_dirs.h: "{base}/vesk-{uid}/{random}"), and
// it is removed with everything in it when the call ends, on every path, or,
// when the caller keeps one (a session does), when the keeper drops it.
// Inside the sandbox every root of vesk's that can hold work directories is
// an empty tmpfs holding only the command's own work directory, so that
// commands of other sessions, of this process or any other of the user,
// which run as the same user, never see theirs (host_dirs.h says why).
//
// Bounds. A call never outlasts bash_timeout_ms by much, whatever the command
// does with its streams: the command runs as its own process group, which is
// killed as soon as `bwrap` has exited (background leftovers die with it) or
// when the time limit passes (or the caller cancels); standard output is
// drained to its end, never left full; and neither stream is waited on past
// the child's exit or the limit. A process that leaves the
// group on purpose (setsid) still dies: the command runs in a process
// namespace of its own, which the kernel empties when `bwrap`'s first process
// in it ends. With max_workspace_mb set, what the command writes to standard
// output and standard error together is bounded by the same number of MiB:
// past it the command is killed and the call fails, so neither the capture
// nor a file left in the work directory can take more of the host's memory
// than a workspace may.
#ifndef VESK_CORE_SHELL_SANDBOX_H_
#define VESK_CORE_SHELL_SANDBOX_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/history/checkpoint.h"
#include "core/base/config.h"
#include "core/base/error.h"
#include "core/history/history.h"
#include "core/shell/kept_dir.h"
#include "core/base/process.h"

namespace vesk {

// Receives each line of standard output without its line feed (a carriage
// return before it is kept), on the calling thread.
using LineCallback = std::function<void(std::string)>;

// Screens `command` against the configuration: a CommandDenied error "command
// denied: matches denylist pattern '{pattern}'" for the first denylist
// pattern occurring in it, otherwise, when the allowlist is not empty and
// none of its patterns occurs, "command denied: not matched by any allowlist
// pattern; permitted: {patterns joined by ', '}". Patterns are plain
// substrings, byte-wise and case-sensitive; an empty pattern occurs in every
// command. Pure.
Status screen_command(const Config& config, std::string_view command);

// The directories that sandboxed_sh covers with an empty tmpfs, enclosing
// ones first: vesk's fixed per-user roots and $TMPDIR (sandbox_hidden_roots()
// in host_dirs.h, which makes the fixed roots first), and the parent of
// `work_dir` (resolved through links where possible) when it lies below none
// of them; never "/", and each once. Paths as lossy UTF-8. Reads the
// environment and the file system, and may make the fixed roots; cannot
// fail.
std::vector<std::string> hidden_dirs(const std::string& work_dir);

// The bubblewrap command running `sh -c command` with `work_dir` (resolved
// through links where possible, as lossy UTF-8) bound writable at its own
// path: program "bwrap", arguments
//   --ro-bind / / --dev /dev --proc /proc
//   [--tmpfs HIDDEN]...          for each of hidden_dirs(work_dir), in order
//   --bind DIR DIR --tmpfs /tmp --unshare-net --unshare-pid --new-session
//   --die-with-parent --cap-drop ALL --json-status-fd 3 -- sh -c COMMAND
// with standard input /dev/null (null_stdin) and `status_fd`, the write end
// of a pipe the caller reads, passed as the child's descriptor 3 (pass_fds);
// bubblewrap writes its JSON status lines there, the last one carrying
// "exit-code" only when the command ran. A negative `status_fd` leaves out
// "--json-status-fd 3" and passes nothing (a caller that need not tell a
// failed setup from a run). The caller sets the rest (cwd, pipes, process
// group); `status_fd` stays the caller's. Fails with "bwrap not found;
// install bubblewrap (e.g. `apt install bubblewrap`) to enable session_bash"
// when PATH has no bwrap.
//
// With `limits` set, the command is also bounded per process and per mount:
// /dev/shm (before the hidden directories, which may lie below it) and /tmp
// are tmpfs of `memory_bytes` each and every hidden directory's tmpfs takes
// at most 1 MiB (where bubblewrap knows --size, 0.8 and later), and the
// command runs as `sh -c 'ulimit -f BLOCKS; ulimit -d KIB; exec sh -c "$0"'
// COMMAND` (RLIMIT_FSIZE from `file_bytes`, RLIMIT_DATA from `memory_bytes`,
// hard and soft, so no process of it can raise them again; the file limit is
// one 512-byte block beyond `file_bytes`).
struct ShellLimits {
  std::optional<std::uint64_t> memory_bytes;
  std::optional<std::uint64_t> file_bytes;
};
Result<SpawnOptions> sandboxed_sh(std::string_view command, const std::string& work_dir,
                                  int status_fd = -1, const ShellLimits& limits = {});

// The command's exit status in bubblewrap's --json-status-fd report: the
// number of its last "exit-code" member (bubblewrap gives 128+N for a
// command ended by signal N), or nothing when there is none (the sandbox was
// never set up) or it is no status. Pure.
std::optional<int> reported_exit_code(std::string_view report);

// The directory execute_bash creates its work directory in (see the top of
// this file); never one that resolves to /tmp or below. `workspace_bytes` is
// the size of the workspace to be written out: /dev/shm must have room for
// twice that and for max_workspace_mb (when set), plus 64 MiB. Reads the
// environment and the file system; cannot fail (the fallback is /var/tmp).
std::string work_dir_parent(std::uint64_t workspace_bytes,
                            std::optional<std::uint64_t> max_workspace_mb);

// Runs `command` against the current checkpoint of `history` and appends the
// outcome as a new checkpoint, which is returned (valid until the history
// next appends or discards).
//
// Without `kept` the command runs in a fresh work directory that is removed
// when the call ends. With `kept` (borrowed; the caller's, e.g. the
// session's) it runs in that kept directory, brought in line with the current
// checkpoint by difference and read back by change (see kept_dir.h); what the
// caller sees is the same either way. On every failure after screening the
// kept directory is dropped, so that a failed command's leftovers never reach
// the next command.
//
// Order: screening (a refusal changes nothing); then the checkpoints after the
// current one are discarded, which stands whatever happens next; then a
// workspace that cannot be laid out (History::check_current_layout) and a
// history at max_checkpoints are refused before anything runs; work
// directory, materialize, sandbox, run; the callback gets each stdout line;
// stderr is read on its own thread; both streams become text with U+FFFD in
// place of each ill-formed sequence (lossy_utf8), every line kept; the
// output bound counts the bytes as they came. The exit status is recorded as
// the checkpoint's exit_code: a failing command still makes a checkpoint.
// `control` may shorten bash_timeout_ms and name a cancel descriptor, which
// kills the command's process group as the time limit would. Then the files in the directory
// are measured, refused early when beyond max_workspace_mb, read back and
// appended with History::append_run (interning, size test, limit test).
//
// Errors: the two CommandDenied refusals; the checkpoint-limit error (before
// the run); "command output exceeds the limit of {bytes} bytes
// (max_workspace_mb = {n})" when stdout and stderr together passed the bound
// (the command is killed); Timeout carrying the limit applied when it
// passed; Cancelled ("execution cancelled") when the cancel descriptor
// became readable; in those three cases nothing is appended and the error
// carries the output captured before it (Error::partial_stdout()).
// "shell sandbox could not be set up: {bubblewrap's message}" when
// bubblewrap failed before the command ran (a missing `sh`, a failed mount);
// nothing is appended. Also the "bwrap not found" message; OS errors of creating,
// writing, starting or reading back; the size errors; an internal fault when
// a thread cannot be started or the callback throws.
Result<const Checkpoint*> execute_bash(History& history, const Config& config,
                                       std::string_view command, const LineCallback& on_line,
                                       KeptWorkDir* kept = nullptr,
                                       const RunControl& control = {});

}  // namespace vesk

#endif  // VESK_CORE_SHELL_SANDBOX_H_
