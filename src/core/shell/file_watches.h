// Inotify watches on files' inodes, within a share of what the user may hold.
//
// The kernel bounds the inotify instances and watches of a user (in each user
// namespace: fs.inotify.max_user_instances and max_user_watches, and
// /proc/sys/user/max_inotify_*), and every program of the user draws on the
// same count: a program that holds them all makes the others fail (ENOSPC,
// EMFILE). All FileWatches of all vesk processes of the user together hold at
// most a quarter of each limit, the lower of the two files' values; beyond
// that, open() and add() refuse, and the caller looks at its files itself.
//
// The user-wide account: each process is granted part of the quarter and
// takes watches within its grant without asking; the grant grows by a chunk
// (a sixty-fourth of the share of watches, one instance) when it is used up
// and shrinks when most of it lies unused. A grant is a file named for the
// process (host_dirs.h: process_name) in "inotify-{user ns}-{pid ns}/" of
// the user's fixed root (the kernel counts per user namespace, and a record
// names its process by a pid of its pid namespace), holding "{instances}
// {watches}", written under an flock of "lock" there after summing the
// others' files. A file whose process is gone (crashed,
// killed) is removed by whoever sums next, so a crash never keeps a grant;
// a process removes its own at a normal exit. Cost: one lock, one listing
// and one small read per live vesk process of the user per chunk, which is
// some thirty times for a process of 50,000 watched files; once refused, a
// process does not ask again for a second (its files are looked at
// meanwhile). What it cannot
// see: processes of the user in another user or pid namespace or with
// another /dev/shm and /var/tmp keep accounts of their own (what a child user
// namespace's processes hold also counts in its parent's, unseen there). Without a fixed root of the user,
// the process keeps the whole quarter, as a lone process would.
//
// Ownership: a FileWatches owns its instance and the watches in it; reset()
// or destruction closes the instance and gives its share back. The shared
// count is thread-safe, a FileWatches is not. No exception leaves it.
#ifndef VESK_CORE_SHELL_FILE_WATCHES_H_
#define VESK_CORE_SHELL_FILE_WATCHES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>

#include "core/base/io.h"

namespace vesk {

class FileWatches {
 public:
  FileWatches() = default;
  FileWatches(const FileWatches&) = delete;
  FileWatches& operator=(const FileWatches&) = delete;
  ~FileWatches() { reset(); }

  // Takes an instance (non-blocking reads) when the share has room for one;
  // false when it has not or the kernel refuses.
  bool open();
  bool valid() const { return fd_.valid(); }

  // Watches the inode `path` names (a link is not followed) for `mask`: the
  // watch descriptor, which is the one the inode already has when it is
  // watched, or -1 (no instance, the share is used up, the kernel refused).
  int add(const char* path, std::uint32_t mask);

  // Reads every queued event and adds the watch of each to `flagged`. False
  // when events were lost (the queue overflowed) or could not be read: which
  // inodes they were about cannot be known. Watches the kernel dropped (the
  // inode is gone) stop counting.
  bool drain(std::unordered_set<int>* flagged);

  // Closes the instance: every watch goes, and its share with it.
  void reset();

  // The watches held now.
  std::size_t size() const { return live_.size(); }

 private:
  UniqueFd fd_;
  std::unordered_set<int> live_;
};

// How many watches and instances all FileWatches of the user's vesk
// processes may hold: by default a quarter of the user's limits, read once.
// A test may set a smaller number of watches (nullopt: the default again),
// which is then its process's own unless it names an account of its own too;
// watches already held beyond it stay until they go.
std::size_t file_watch_share();
std::size_t file_watch_instance_share();
void set_file_watch_share_for_testing(std::optional<std::size_t> watches);
// Keeps the user-wide account in `dir` (nullopt: the default place again);
// grants made elsewhere are asked for anew.
void set_file_watch_account_for_testing(std::optional<std::string> dir);

// The watches all FileWatches of the process hold now.
std::size_t file_watches_held();

}  // namespace vesk

#endif  // VESK_CORE_SHELL_FILE_WATCHES_H_
