// Spare runners lent from one process to others.
//
// A server keeps one session per worker process, so a spare kept in each
// would cost about as much memory as parking saves. Instead one keeper
// process keeps the spare (spare_runner.h) and lends it, over a Unix socket
// the server gave both, to the worker that asks first; the worker takes its
// input and output pipes and pidfds of it and runs it as its own runner.
//
// The keeper stays its parent: it reaps it, removes its directory (runners
// outside a sandbox), and kills it when the worker it was lent to closes its
// end of the socket (it has ended, however) or the server says it ends
// ("end PID" on the control socket). The worker kills it through its pidfds
// (process.h). A lent runner has run nothing of any session and goes to
// exactly one; one launched by another command than the borrower's is never
// lent, and a forked child of a worker never borrows on its parent's socket.
//
// Messages are datagrams on SOCK_SEQPACKET sockets, descriptors passed with
// SCM_RIGHTS:
//   server -> keeper (control): "channel PID" + one socket; "end PID"
//   worker -> keeper (channel): "take KEY" (runner_command_key()); "served"
//       once a borrowed runner has served its first request (the keeper
//       then starts its next spare, no sooner: see SpareGate)
//   keeper -> worker (channel): "none", or "runner PID MEASURED" + its
//       standard input, output and error, pidfd, and the sandboxed
//       process's pidfd when MEASURED differs from PID.
//
// The worker copies what the runner writes to its standard error to its
// own, as if the runner were its child.
//
// Nothing here throws but std::bad_alloc.
#ifndef VESK_CORE_RUNNER_SPARE_LENDING_H_
#define VESK_CORE_RUNNER_SPARE_LENDING_H_

#include <memory>
#include <optional>

#include "core/runner/engine.h"
#include "core/base/error.h"
#include "core/runner/runner_process.h"
#include "core/runner/spare_runner.h"

namespace vesk {

// Keeps a spare runner for `engine`'s command and lends it to the workers
// whose channels arrive on `control_fd`, until that socket ends. Returns at
// once when `engine`'s sessions would keep no spare (parking or
// spare_runner off). Runners still lent when it returns are killed.
// Errors: the Os error of a failing poll or receive on the control socket.
Status serve_spares(const VeskEngine& engine, int control_fd);

// A runner borrowed from the keeper on the socket named by the environment's
// VESK_SPARE_CHANNEL (a descriptor number), when there is one and it has a
// spare for `engine`'s command that still runs. A socket that fails or does
// not answer within seconds is not asked again.
std::optional<RunnerProcess> borrow_spare_runner(const VeskEngine& engine);

// For a borrowed runner: opening it tells the keeper "served".
std::shared_ptr<SpareGate> borrowed_runner_gate();

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_SPARE_LENDING_H_
