// Start snapshots: a memory image of a runner that has just loaded Pyodide
// and set itself up, from which later runners start in a fraction of the
// time an ordinary load takes.
//
// Only the module makes and stores them: a snapshot comes from a runner
// started for that purpose alone (it runs no session code), is written by
// the module into a directory of vesk's own beside Deno's cache
// ({cache}/../vesk/snapshots, 0700), and reaches a runner over its standard
// input, so no runner can read, let alone write, the place it is kept. A
// snapshot file holds its key and the SHA-256 of its bytes, recorded by the
// module; one that does not match is removed and made again.
//
// The key names everything that makes a snapshot valid: the Pyodide version,
// the runner script's text and the Deno executable (its device, inode, size
// and modification time), hashed.
#ifndef VESK_CORE_RUNNER_SNAPSHOT_H_
#define VESK_CORE_RUNNER_SNAPSHOT_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/runner/engine.h"
#include "core/base/error.h"
#include "core/base/io.h"

namespace vesk {

// The directory snapshots are kept in, for the Deno cache in effect now.
std::string snapshot_dir();

// The hex key of snapshots valid for `engine`'s Deno and script.
std::string snapshot_key(const VeskEngine& engine);

// The lower-case hex SHA-256 of `bytes`. Pure.
std::string sha256_hex(std::string_view bytes);

// The checked bytes of the snapshot for `engine`, or nullopt when there is
// none. A file whose key or digest does not match is removed. Never fails:
// any problem means starting without one.
std::optional<std::string> load_start_snapshot(const VeskEngine& engine);

// The snapshot file for `engine`, opened and its header checked, to be sent
// in pieces as it is read (stream_start_snapshot()): a start need not wait
// for the whole file to be read and hashed before the runner gets its first
// byte, nor hold its tens of megabytes. Nullopt when there is none.
struct OpenedSnapshot {
  UniqueFd fd;
  std::string path;
  std::uint64_t offset = 0;  // of the bytes, after the header
  std::uint64_t size = 0;
  std::string digest;  // lower-case hex SHA-256 the header records
};
std::optional<OpenedSnapshot> open_start_snapshot(const VeskEngine& engine);

// Gives the bytes of `snapshot` to `send` in pieces, hashing them on the way.
// A file that reads short or whose digest does not match once the last piece
// has gone is removed, `*damaged` is set, and an error returned: the runner
// that got the pieces must not start from them. An error of `send` is
// returned as it is. `piece` is the buffer the pieces are read into: made by
// the caller, so that a producer thread running this allocates nothing
// (glibc would keep what such a thread freed in an arena of its own).
Status stream_start_snapshot(const OpenedSnapshot& snapshot,
                             const std::function<Status(std::string_view)>& send, bool* damaged,
                             std::string& piece);

// Makes the snapshot for `engine` on a thread of its own and returns at
// once: starts a runner in snapshot-making mode, checks and hashes what it
// writes, and stores it atomically (temporary name, then rename). Does
// nothing while this process already makes one, or while another process
// holds the key's lock file. Failures are silent: the next start tries
// again.
void make_start_snapshot_in_background(const VeskEngine& engine);

// Whether a snapshot is being made by this process now (for tests).
bool start_snapshot_being_made();

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_SNAPSHOT_H_
