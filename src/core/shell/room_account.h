// Room reserved on the file systems that hold shell work directories.
//
// Every session's work directories share a few file systems ($TMPDIR,
// /dev/shm, /var/tmp), and each command may write up to max_workspace_mb
// into its directory. Bounding each command is not enough: the sum of what
// sessions hold and may still write could pass what the file system has, and
// then one session's files would make another session's writes come out
// short. So a holder of a work directory (a command while it runs, a session
// while it keeps its directory between commands) reserves its bound on that
// file system before anything is written, and a reservation is granted only
// when the file system's free space covers what it and every other live
// reservation of the user may still add (bound less what each holds already).
// A command that does not fit fails before it runs; a reservation granted
// cannot be starved by later ones.
//
// The account is per user and shared by all vesk processes of the user (in
// one pid namespace): one small record per process, "{dev} {bound} {held}"
// lines, in user_state_dir("room-{pid ns}") (host_dirs.h), read and written
// under flock. Records of processes that are gone are removed as they are
// met. A reservation records what its holder held when it was made (or last
// updated with set_held()); what a running command writes meanwhile lowers
// the free space while its record still claims it, so the check errs on the
// side of refusing. A bound at or above the file system's size is no bound
// there (it would refuse every command): such a holder claims nothing beyond
// what it holds and is never refused. Without a directory for the account, only this process's
// reservations are counted. Files that are not vesk's on the same file
// system are seen only as less free space.
//
// Thread-safe (one process-wide lock; a RoomReservation itself is not).
// Errors are values; nothing here throws but std::bad_alloc.
#ifndef VESK_CORE_SHELL_ROOM_ACCOUNT_H_
#define VESK_CORE_SHELL_ROOM_ACCOUNT_H_

#include <cstdint>
#include <string>

#include "core/base/error.h"

namespace vesk {

class RoomReservation {
 public:
  RoomReservation() = default;
  RoomReservation(const RoomReservation&) = delete;
  RoomReservation& operator=(const RoomReservation&) = delete;
  ~RoomReservation() { release(); }

  // Reserves `bound` bytes on the file system holding `base`, of which the
  // holder has `held` there already, in place of what this object reserved
  // before. Errors: "no room for the work directory: {base} has {f} MiB free
  // and other sessions have reserved {r} MiB of it; this command may write
  // {b} MiB (max_workspace_mb)" (nothing is reserved then), and the Os
  // errors of stat/statvfs.
  Status reserve(const std::string& base, std::uint64_t bound, std::uint64_t held);
  // The holder now has `held` bytes there. Cannot fail.
  void set_held(std::uint64_t held);
  // Gives the room back. Cannot fail.
  void release();
  bool active() const { return id_ != 0; }

 private:
  std::uint64_t id_ = 0;
};

// The bytes reserved and not yet written by all live reservations of the
// user on the file system holding `path` (tests).
std::uint64_t room_reserved_on(const std::string& path);

}  // namespace vesk

#endif  // VESK_CORE_SHELL_ROOM_ACCOUNT_H_
