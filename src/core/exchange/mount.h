// The exchange of files between a session's workspace and the host file
// system: mount brings host files in, commit writes mounted files back where
// they came from, export_files writes workspace files into a directory.
//
// The mount origins remember, for each key a mount imported, where it came
// from on the host and what the session last knew to be there. Only mount adds
// entries (replacing earlier ones) and commit updates what it wrote; nothing
// removes them. The session owns the origins and the history; all three
// functions run with exclusive access to both.
//
// No host file is ever written through a symbolic link or opened unless it
// is a regular file: commit reaches its files from the mount's root without
// following links, export below its directory the same way, and both replace
// a file by renaming a temporary file over it rather than writing into it.
//
// Host paths (origins and the paths returned by commit) are byte strings as
// the file system has them and need not be valid UTF-8 when a mounted name
// was not; workspace keys always are, and so are error messages (lossy UTF-8).
#ifndef VESK_CORE_EXCHANGE_MOUNT_H_
#define VESK_CORE_EXCHANGE_MOUNT_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/base/config.h"
#include "core/base/error.h"
#include "core/history/file_map.h"
#include "core/history/history.h"

namespace vesk {

// Where one mounted key came from, and what the host held there last.
struct MountOrigin {
  // The canonical directory the mount opened: the directory mounted, or the
  // directory holding a mounted file. Shared by the keys of one mount.
  std::shared_ptr<const std::string> root;
  // The file's path below `root` ('/'-separated raw bytes, no '.' or '..').
  std::string relative;
  // What the host file held when the session last saw it: what mount read,
  // or what commit last wrote there.
  Content known;

  // `root` joined with `relative`: the host path of the file.
  std::string path() const;
};

// Workspace key -> its origin.
using MountOrigins = std::unordered_map<std::string, MountOrigin>;

// Imports the file or directory at `path` into the current checkpoint in
// place (no new checkpoint, no cut of the history, no key rules, no size
// test) and records each key's origin, replacing earlier entries. Returns the
// keys in the order they were read.
//
// The path is canonicalised ("path does not exist: {path as given}" when that
// fails); a non-empty mount_allowlist must hold an entry that is a prefix of
// it component by component ("'{canonical}' is not in the mount allowlist;
// permitted prefixes: {entries joined by ', '}"). The canonical path is then
// opened without following any link, and everything is read through that
// descriptor, so what is read is what was checked: a link swapped in
// meanwhile fails with "path changed while it was being mounted: {path as
// given}" (or "path does not exist: ..." when it went away). A file is
// imported under its own name; a directory's regular files under their paths
// relative to it (lossy UTF-8, '/' separators), walked without following
// links, entries that cannot be listed skipped. Any other kind of file (a
// device, a FIFO, a socket) is refused with "path is not a regular file or
// directory: {path as given}", since reading one could block or never end. A
// file that cannot be read fails the whole mount with the OS error and
// nothing is added.
Result<std::vector<std::string>> mount(History& history, MountOrigins& origins,
                                       const Config& config, std::string_view path);

// Writes each mounted key (the given ones in order, or every origin) whose
// current content differs from its content in checkpoint 0 (absent there
// counts as empty) back to its origin, and returns the host paths written.
// Committing again writes the same files again.
//
// Every key is checked before anything is written, and any failure writes
// nothing: "'{key}' was not mounted from host", "'{key}' not in current
// checkpoint", and, for a key to be written, a conflict unless the host file
// still holds exactly what the origin knew (what mount read or commit last
// wrote): "conflict on '{key}': '{path}' {changed | was deleted | was
// replaced by a symbolic link | now lies behind a symbolic link | is no longer
// a regular file} since it was mounted or last committed; nothing was
// written". The file is reached from the origin's root without following a
// link (so a link planted there is a conflict, never written through), and
// only ever opened as a regular file (a FIFO planted there never blocks).
// Other failures: "cannot commit '{key}' to '{path}': {os error}".
//
// Each file is written to a temporary file in its own directory, taking the
// old file's permission bits (and owner, where allowed), and renamed over it
// once all are written and the host files are checked again; no directory is
// created. Only a failing rename (rare: the directory changed under it) can
// leave the files renamed before it written. Each written key's origin then
// knows the written content.
Result<std::vector<std::string>> commit(const History& history, MountOrigins& origins,
                                        const std::optional<std::vector<std::string>>& keys);

// Writes the given keys (or, by default, every current key that was not
// mounted) into `output_dir`, which is used as given (relative to the working
// directory when relative; a link there is followed) and created with any
// missing directories on the first write. Each key must pass the key rules
// (their message otherwise) and be in the current checkpoint ("'{key}' not
// in current checkpoint"). Below `output_dir` no link is followed: a link
// planted there fails with "refusing to write through symbolic link
// '{path}'". Each file is written as TreeWriter::replace() writes it: to a
// temporary file renamed over the old one, whose permission bits it keeps, so
// another hard link to the old file is never written and a FIFO never
// blocks. Returns the paths written, `output_dir` joined with each key.
// Other errors are OS errors; files written before a failure stay.
Result<std::vector<std::string>> export_files(const History& history, const MountOrigins& origins,
                                              std::string_view output_dir,
                                              const std::optional<std::vector<std::string>>& keys);

}  // namespace vesk

#endif  // VESK_CORE_EXCHANGE_MOUNT_H_
