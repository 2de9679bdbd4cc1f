// Directory trees on the host file system, as the workspace exchange needs
// them: writing files below a directory without ever leaving it (in place, or
// by renaming a temporary file over the old one), opening paths without
// following links, walking a tree without following links, reading whole
// files and removing trees.
//
// Everything works relative to open directory descriptors (openat, mkdirat,
// O_NOFOLLOW), so a symbolic link met below a root, whether planted before or
// swapped in during the operation, is never followed out of it. Paths are byte
// strings as the file system has them; turning them into workspace keys
// (lossy UTF-8) is the caller's business. Errors are Os errors unless said
// otherwise.
#ifndef VESK_CORE_EXCHANGE_FS_TREE_H_
#define VESK_CORE_EXCHANGE_FS_TREE_H_

#include <sys/stat.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base/error.h"
#include "core/base/io.h"

namespace vesk {

// Writes files named by workspace keys below one directory.
//
// The root itself is opened following links (it is the caller's choice);
// below it no link is followed and nothing outside it is ever created or
// written. Owns the root's descriptor and a small cache of subdirectory
// descriptors; not thread-safe.
class TreeWriter {
 public:
  // Opens the existing directory `root` (a link there is followed). Errors
  // name no path: "No such file or directory (os error 2)" and the like.
  static Result<TreeWriter> open(const std::string& root);

  // Writes `content` to the file `key` names below the root: missing
  // directories are created (0777 before the umask), the file is created
  // (0666) or truncated and written byte for byte. The key must already have
  // passed validate_file_path(); '.' and empty components are skipped. Fails
  // with "refusing to write through symbolic link '{path}'" when a component
  // is a link, with "workspace key must not contain a NUL byte: '{key}'", with
  // "Is a directory (os error 21)" for a key naming the root or ending in '/',
  // and with the Os error of the failing step otherwise (an existing file
  // where a directory is needed gives "Not a directory (os error 20)").
  Status write(std::string_view key, std::string_view content);

  // Like write(), but the file never changes in place: `content` goes to a
  // temporary file in the same directory (see write_temporary_file) that is
  // then renamed over the name, so a reader sees the old file or the new one
  // and another hard link to the old file keeps the old content. An existing
  // file's permission bits (and, where allowed, owner) carry over; a new file
  // gets 0666 before the umask. A link at the name fails as in write(); any
  // other file that is not a regular file fails with "refusing to replace
  // '{path}': not a regular file" (a FIFO there never blocks), a directory
  // with "Is a directory (os error 21)". Nothing but the temporary file is
  // left behind on failure, and that is removed too.
  Status replace(std::string_view key, std::string_view content);

 private:
  TreeWriter(UniqueFd root, std::string display)
      : root_(std::move(root)), display_(std::move(display)) {}
  // The descriptor of directory `prefix` (components joined by '/'), created
  // when missing, opened below its parent without following links.
  Result<int> directory(const std::string& prefix);
  // The directory descriptor and file name a key names (see write()).
  Result<std::pair<int, std::string>> locate(std::string_view key);
  Error symlink_or(int dir_fd, const std::string& name, const std::string& shown, int err) const;

  UniqueFd root_;
  std::string display_;
  std::unordered_map<std::string, UniqueFd> dirs_;
};

// How walk_regular_files treats an entry it cannot read (a directory that
// cannot be opened or listed, an entry that vanished).
enum class WalkErrors {
  kStop,  // stop with "IO error for operation on {path}: {os error}"
  kSkip,  // leave the entry out and go on
};

// Visits every regular file below `root`, depth first, each directory in the
// order the file system lists it, descending into a subdirectory where it is
// listed. `root` itself is followed if it is a link; below it, links,
// devices, FIFOs and sockets are passed over without a word. `on_file` gets
// the descriptor of the directory holding the file, the file's name in it,
// and its path relative to the root ('/'-separated raw bytes); an error it
// returns stops the walk and is returned unchanged. Holds one descriptor per
// level of depth.
Status walk_regular_files(const std::string& root, WalkErrors errors,
                          const std::function<Status(int dir_fd, const char* name,
                                                     const std::string& relative)>& on_file);

// One regular file read by read_tree.
struct TreeFile {
  std::string relative;  // path below the root, '/'-separated raw bytes
  std::string content;
};

// Every regular file below `root` with its content, in walk order (the walk
// of walk_regular_files); `root` is followed if it is a link. The reading is
// spread over a few threads for trees of many files; a failure is reported as
// a sequential walk would report it: whichever of a walk error (per `errors`)
// and a read error (the bare OS error) comes first in walk order. Files that
// stopped being regular files between walk and read are left out. Below the
// root no link is followed.
Result<std::vector<TreeFile>> read_tree(const std::string& root, WalkErrors errors);

// The same for the directory open as `root_fd` (any descriptor of it, O_PATH
// will do; borrowed), so that what is read is exactly the directory the
// caller opened and checked. `display` stands for the root in errors.
Result<std::vector<TreeFile>> read_tree(int root_fd, const std::string& display,
                                        WalkErrors errors);

// The whole content of the file `name` in directory `dir_fd` (AT_FDCWD for a
// path), read to end of file. nullopt when the entry is not a regular file
// (any more): a FIFO, device or socket, or a link when `follow_link` is
// false. Opening never blocks on a FIFO swapped in meanwhile. Errors of
// opening and reading are Os errors without the path.
Result<std::optional<std::string>> read_regular_file(int dir_fd, const char* name,
                                                     bool follow_link);

// The whole content of the regular file open as `fd` (borrowed), read from
// where its offset stands to end of file; nullopt when it is not a regular
// file. Os errors.
Result<std::optional<std::string>> read_open_file(int fd);

// Opens `path` with `flags` (O_CLOEXEC and O_NOFOLLOW are added) without
// following a symbolic link anywhere: not in the directories on the way and
// not at the end. A relative path is resolved below `dir_fd` (AT_FDCWD: the
// working directory) and may not leave it; an absolute one from '/'. Uses
// openat2() (RESOLVE_NO_SYMLINKS), or on kernels without it and for paths
// longer than it takes, one component at a time, which refuses '..'. Returns
// the descriptor, or an invalid one with errno set: ELOOP when a link was
// met, EXDEV for a '..' that may not be followed, otherwise the error of the
// failing step (ENOENT, ENOTDIR, EACCES, ...).
UniqueFd open_no_links(int dir_fd, std::string_view path, int flags);

// Writes `content` to a new file with a fresh name of the form
// ".vesk-XXXXXXXXXXXX" in the directory `dir_fd` (borrowed; O_PATH will do)
// and returns that name; the caller renames it into place or removes it.
// With `like`, the file gets its permission bits and, where the kernel lets
// this process, its owner and group; without it, 0666 before the umask.
// Nothing is left behind on failure. Os errors.
Result<std::string> write_temporary_file(int dir_fd, std::string_view content,
                                         const struct stat* like);

// Removes `path` and everything below it without following links, restoring
// owner permissions where a command took them away. Best effort: errors are
// ignored.
void remove_tree(const std::string& path);

// The absolute path `path` leads to, every link and `..` resolved, or nullopt
// when it leads nowhere (or holds a NUL byte). Reads the file system.
std::optional<std::string> canonical_path(const std::string& path);

// True when `path`, compared component by component, is `prefix` or lies
// below it (`/data/in` admits `/data/in/x`, not `/data/inbox`). Components
// split the Unix way: a leading '/' is a root component, runs of '/' and a
// trailing '/' count as one, '.' is dropped except as the very first
// component. A prefix without components ("") admits everything. Pure.
bool path_has_prefix(std::string_view path, std::string_view prefix);

}  // namespace vesk

#endif  // VESK_CORE_EXCHANGE_FS_TREE_H_
