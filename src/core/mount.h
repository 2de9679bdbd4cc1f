// The exchange of files between a session's workspace and the host file
// system: mount brings host files in, commit writes mounted files back where
// they came from, export_files writes workspace files into a directory.
//
// The mount origins remember, for each key a mount imported, the canonical
// host path it came from. Only mount adds to them and nothing removes
// entries; commit and export read them. The session owns the origins and the
// history; all three functions run with exclusive access to both.
//
// Host paths (origins and the paths returned by commit) are byte strings as
// the file system has them and need not be valid UTF-8 when a mounted name
// was not; workspace keys always are.
#ifndef VESK_CORE_MOUNT_H_
#define VESK_CORE_MOUNT_H_

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/config.h"
#include "core/error.h"
#include "core/history.h"

namespace vesk {

// Workspace key -> canonical host path it was mounted from.
using MountOrigins = std::unordered_map<std::string, std::string>;

// Imports the file or directory at `path` into the current checkpoint in
// place (no new checkpoint, no cut of the history, no key rules, no size
// test) and records each key's origin, replacing earlier entries. Returns the
// keys in the order they were read.
//
// The path is canonicalised ("path does not exist: {path as given}" when that
// fails); a non-empty mount_allowlist must hold an entry that is a prefix of
// it component by component ("'{canonical}' is not in the mount allowlist;
// permitted prefixes: {entries joined by ', '}"). A file is imported under its
// own name; a directory's regular files under their paths relative to it
// (lossy UTF-8, '/' separators), walked without following links, entries
// that cannot be listed skipped. Any other kind of file (a device, a FIFO, a
// socket) is refused with "path is not a regular file or directory: {path as
// given}", since reading one could block or never end. A file that cannot be
// read fails the whole mount with the OS error and nothing is added.
Result<std::vector<std::string>> mount(History& history, MountOrigins& origins,
                                       const Config& config, std::string_view path);

// Writes each mounted key (the given ones in order, or every origin) whose
// current content differs from its content in checkpoint 0 (absent there
// counts as empty) back to its origin, created or truncated, no directory
// created. Returns the origins written. Errors: "'{key}' was not mounted from
// host", "'{key}' not in current checkpoint", or the OS error of the write;
// files written before a failure stay written. Changes nothing in the
// session.
Result<std::vector<std::string>> commit(const History& history, const MountOrigins& origins,
                                        const std::optional<std::vector<std::string>>& keys);

// Writes the given keys (or, by default, every current key that was not
// mounted) into `output_dir`, which is used as given (relative to the working
// directory when relative; a link there is followed) and created with any
// missing directories on the first write. Each key must pass the key rules
// (their message otherwise) and be in the current checkpoint ("'{key}' not
// in current checkpoint"). Below `output_dir` no link is followed: a link
// planted there fails with "refusing to write through symbolic link
// '{path}'". Returns the paths written, `output_dir` joined with each key.
// Other errors are OS errors; files written before a failure stay.
Result<std::vector<std::string>> export_files(const History& history, const MountOrigins& origins,
                                              std::string_view output_dir,
                                              const std::optional<std::vector<std::string>>& keys);

}  // namespace vesk

#endif  // VESK_CORE_MOUNT_H_
