// Workspace materialization: a file map written out as a directory tree, and
// a directory tree read back into a file map.
//
// Tools that work on real files (the sandboxed shell above all) need the
// workspace on disk. These two free functions do the conversion and nothing
// else: they know nothing of checkpoints, limits or sandboxes. The caller owns
// the directory for the duration of a call; neither function takes a lock.
#ifndef VESK_CORE_EXCHANGE_WORKSPACE_H_
#define VESK_CORE_EXCHANGE_WORKSPACE_H_

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/base/error.h"
#include "core/history/file_map.h"

namespace vesk {

// Writes every entry of `files` below the existing directory `root`, in the
// map's own order: missing directories are created (0777 before the umask),
// each file is created (0666 before the umask) or truncated and written byte
// for byte. Files in `root` that are not in the map are left alone; an empty
// map writes nothing.
//
// Keys are not trusted (they also come from runner replies): a key breaking
// the key rules (empty, a root or a '..' component) fails with the key-rule
// message of validate_file_path(), and nothing is ever created or written
// outside `root` — no link below the root is followed ("refusing to write
// through symbolic link '{path}'"), and an existing non-directory where a
// directory is needed fails with "Not a directory (os error 20)". Other
// failures are the OS error of the failing step, without the path. At the
// first failure it stops; what was written stays, and the caller removes the
// directory.
Status materialize(const FileMap& files, const std::filesystem::path& root);

// Reads the tree below `root` into a new file map whose contents are fresh
// (not interned). The walk is depth first in the order the file system lists
// each directory, follows `root` itself if it is a link but no link below it,
// and keeps regular files only (links, directories, FIFOs, sockets and
// devices are skipped; hidden names are not special). A key is the file's
// path relative to `root` with '/' separators, invalid UTF-8 replaced by
// U+FFFD; when two names become one key that way, the later one wins.
//
// With `max_workspace_mb` set, the files are measured first (their sizes from
// the file system, per key as above, nothing read) and a total beyond
// max_workspace_mb × 1048576 bytes fails with "workspace size {total} bytes
// exceeds limit of {limit} bytes" (the history's own size message) before
// any content is read: a command may leave a file far larger than memory,
// sparse or not.
//
// Errors: a directory that cannot be opened or listed, or an entry that
// vanished, stops the walk with "IO error for operation on {path}: {os error}";
// a file that cannot be measured or read stops it with the bare OS error.
Result<FileMap> collect(const std::filesystem::path& root,
                        std::optional<std::uint64_t> max_workspace_mb = std::nullopt);

}  // namespace vesk

#endif  // VESK_CORE_EXCHANGE_WORKSPACE_H_
