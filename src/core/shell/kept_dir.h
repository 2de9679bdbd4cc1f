// The shell work directory a session keeps between commands.
//
// Writing the whole workspace out before every shell command and reading it
// all back afterwards costs in proportion to the workspace. A KeptWorkDir
// keeps the directory of the session's last command, the file map it holds
// and a stamp of every file and directory in it, so that a command costs what
// changes: before it, prepare() brings the directory in line with the
// checkpoint by the difference of the two maps (FileMap::diff); after it,
// collect() reads back only what may have changed and puts the directory back
// into the state a fresh one would have (regular files of the workspace only,
// default permission bits).
//
// What collect() returns must be what a full read would return: every
// regular file the directory holds, reached from its root through
// directories, and its bytes. It is built from a record of what the directory
// held (a tree of names, each with the stamp of the inode it led to) and
// trusts the record only where the following argument proves it.
//
// Stamps (stamp_unchanged): a stamp is (inode, size, ctime, mtime, file
// type). A command can set mtime, never ctime: every change to an inode (its
// data, its name count, its mode, a rename of it, an entry added to or
// removed from a directory) moves ctime to the file system's clock at that
// moment, and that clock is CLOCK_REALTIME_COARSE. A clock reading taken after
// the directory was last written and before the command starts therefore
// separates the two: an inode found with a recorded stamp whose ctime is
// strictly older than the reading is the recorded inode (one made since would
// have a later ctime, even under a reused number) and was not touched by the
// command. An entry written in the same tick as the reading could be written
// again by the command in that tick without ctime moving, so it counts as
// changed.
//
// Names: a key leads to a file through a chain of directories, and a rename
// of a directory changes the keys of everything below it while telling none
// of those inodes. So collect() walks the directory from its root, opening
// each directory below the one before without following links, and takes a
// directory's recorded entries for it only when the directory found at that
// name is the recorded one: same inode number. (Another directory there, moved
// in, swapped with `mv`, exchanged with renameat2(RENAME_EXCHANGE) or made
// anew, has another number as long as the recorded one lives; see below for
// why it lives whenever its entries are trusted.) Otherwise everything
// recorded below that name is forgotten and the directory is looked at as new.
// A directory that is the recorded one and passes the stamp rule has the
// entries recorded; any other is listed again. Each entry is then looked at
// (fstatat) and judged by the stamp rule, except a file that inotify vouches
// for.
//
// Inotify (`reported_`): each recorded file's inode is watched from just
// before the command, and a recorded file whose inode reports no event at all
// is, unlooked, the same inode under the same name in the same directory
// inode, with the same bytes. That is sound because every way to change a
// file's bytes or its entry reaches its inode's watch, whatever name or
// descriptor it goes through: opening it (which any write, mmap included,
// needs first), truncating it by name, changing its mode or times, linking
// it, renaming it (also by an exchange), renaming another file over it,
// removing it. So the recorded directory inode still holds that entry, which
// means it lives, which means the directory found at the recorded path with
// its inode number is it: the key still leads to the file. Events are read
// only after every process of the command has gone, and everything queued
// before the command started (vesk's own writes) is discarded. When inotify
// cannot tell (no instance or watch to be had, the event queue overflowed),
// files are looked at.
// When no watch reported anything at all during the command, and no record
// has changed since a collect() that found nothing changed, a directory all
// of whose entries were files vouched for so at that collect() is not gone
// through again: each entry would be vouched for once more. Its own inode
// and stamp are looked at on the way down as always.
//
// Moved directories: the files below a directory that was moved keep their
// inodes and stamps. A file found under a new key whose inode passes the stamp
// rule against a file recorded below a directory that left its place is that
// file, unchanged: its bytes are taken from the record, not read again.
//
// When in doubt the rule looks: whenever it cannot be trusted (the clock went
// backwards during the command, a name that is not UTF-8, a key in a form the
// file system does not keep, any error while looking), collect() falls back
// to the full read of collect() in workspace.h and drops the directory.
//
// Watches: they come from FileWatches (file_watches.h), which holds all
// sessions of all the user's vesk processes within a share of the user's
// inotify limits;
// files without a watch are looked at, on a few threads when there are many.
//
// Ownership: a KeptWorkDir owns its directory (mode 0700) and removes it with
// everything in it in drop() and when destroyed. It holds a descriptor of it
// only from prepare() to the end of collect(), and an inotify instance (one
// watch per file, as far as the share goes) while the directory exists. Not
// thread-safe: one command at a time. No exception leaves it.
#ifndef VESK_CORE_SHELL_KEPT_DIR_H_
#define VESK_CORE_SHELL_KEPT_DIR_H_

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>

#include "core/base/error.h"
#include "core/history/file_map.h"
#include "core/shell/file_watches.h"
#include "core/base/io.h"
#include "core/shell/room_account.h"

namespace vesk {

// What is recorded of a file or directory to tell later that it is unchanged.
struct FileStamp {
  ino_t ino = 0;
  off_t size = 0;
  mode_t type = 0;  // the S_IFMT bits
  timespec ctime{};
  timespec mtime{};
};

FileStamp stamp_of(const struct stat& st);

// True only when an entry recorded as `recorded` and found now as `now` is
// certainly unchanged since it was recorded, given `reading`, a reading of
// CLOCK_REALTIME_COARSE taken after the recording and before anything could
// change it: the stamps are equal and the recorded ctime is strictly older
// than the reading. `whole_seconds`: the file system keeps timestamps in whole
// seconds (or is not known to keep nanoseconds), so the reading counts from
// the start of its second. Pure.
bool stamp_unchanged(const FileStamp& recorded, const FileStamp& now, const timespec& reading,
                     bool whole_seconds);

class KeptWorkDir {
 public:
  KeptWorkDir();
  KeptWorkDir(const KeptWorkDir&) = delete;
  KeptWorkDir& operator=(const KeptWorkDir&) = delete;
  // Removes the directory.
  ~KeptWorkDir();

  // Makes the directory hold exactly `files` and returns its path (valid
  // until drop()). A new "vesk-bash-XXXXXX" directory is made in `parent`
  // when there is none or the one there is lives elsewhere; otherwise only the
  // difference between what it holds and `files` is written (new and changed
  // files by a temporary file renamed into place, never in place) or removed
  // (with directories left empty). Ends with the clock reading that collect()
  // compares against, so the command must start after it returns. When the
  // kept directory cannot be brought in line, a fresh one is tried once.
  // Errors are those of materialize() in workspace.h (key rules, links, OS
  // errors) and mkdtemp's; on error the directory is dropped.
  Result<std::string> prepare(const FileMap& files, const std::string& parent);

  // After the command has ended (no process of it may still write): the
  // files the directory now holds, as collect() in workspace.h would return
  // them (same keys, same bytes, the same size refusal before anything is
  // read, the same errors). Files whose stamps show no change keep their
  // contents from the map prepare() was given. Afterwards the directory holds
  // only the returned files, each regular file and directory of them with
  // default permission bits (0666 and 0777 less the umask; the root 0700),
  // no hard link between two of them, and everything changed is recorded
  // anew. On error, or when it had to fall back to a full read, the directory
  // is dropped.
  Result<FileMap> collect(std::optional<std::uint64_t> max_workspace_mb);

  // Records that the directory holds `files`, equal in keys and bytes to what
  // collect() returned (the checkpoint made from it, whose contents are
  // interned): later differences are taken against it. Cannot fail.
  void set_held(const FileMap& files) { held_ = files; }

  // Removes the directory, if any, and gives back its room(); the next
  // prepare() starts a fresh one. Best effort, cannot fail.
  void drop();

  // The room reserved for the directory on its file system (room_account.h),
  // made and updated by its user (execute_bash) and given back by drop().
  RoomReservation& room() { return room_; }
  // The bytes the directory holds that prepare() with `parent` would keep
  // in place: what it holds when it lives there, else 0.
  std::uint64_t bytes_kept_in(const std::string& parent) const {
    return exists() && parent == parent_ ? held_.total_bytes() : 0;
  }

  // The bytes of the files it holds when it lives on a memory file system
  // (tmpfs, as /dev/shm is), where they are host memory a second time over
  // the history's copy; 0 on a disk or when there is none.
  std::uint64_t memory_bytes() const { return exists() && in_memory_ ? held_.total_bytes() : 0; }

  bool exists() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  struct Node;
  struct Scan;

  // Removes the directory but keeps the room: prepare() and collect() make
  // another in its place, or their caller drops it.
  void remove();
  Status create(const std::string& parent);
  bool reopen();
  Status sync(const FileMap& files);
  Result<FileMap> collect_changes(std::optional<std::uint64_t> max_workspace_mb, bool* unsure);
  void prestat();
  void watch_files();
  void forget_watches();
  // `node` is the record of the directory open as `fd`: the recorded
  // directory itself, or a new record without entries.
  bool visit(int fd, const std::string& prefix, Node& node, bool list, Scan& scan,
             std::uint64_t* files_below);
  void find_moved(Scan& scan) const;
  Node* find(const std::string& relative);
  Node& make_path(const std::string& relative, bool dir, std::set<std::string>* touched);
  Status restamp(const std::string& relative);

  std::string parent_;
  std::string path_;
  UniqueFd root_fd_;
  std::unique_ptr<Node> root_;
  FileWatches watches_;  // invalid: every file is looked at
  std::size_t unwatched_ = 0;  // recorded files without a watch
  // Every recorded file holds a watch: watch_files() has nothing to arm and
  // need not walk the tree. Whatever records a file anew or drops watches
  // clears it.
  bool all_watched_ = false;
  // In a collect() whose events can tell: the watches that reported
  // anything during the command; a file with another watch is unchanged.
  std::optional<std::unordered_set<int>> reported_;
  // The records stand as the last collect() left them after it found
  // nothing changed: whatever records, forgets or watches a file clears it.
  bool records_settled_ = false;
  // In that collect(): a directory that was then a leaf of watched files
  // is passed over (see visit()).
  bool trust_watched_leaves_ = false;
  FileMap held_;
  RoomReservation room_;
  bool in_memory_ = false;  // the directory is on a tmpfs
  timespec reading_{};
  bool whole_seconds_ = true;
  bool exact_ = true;  // false: collect() must read everything
  mode_t file_mode_ = 0644;
  mode_t dir_mode_ = 0755;
};

}  // namespace vesk

#endif  // VESK_CORE_SHELL_KEPT_DIR_H_
