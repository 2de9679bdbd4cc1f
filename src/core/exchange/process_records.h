// Accounts that every vesk process of a user keeps together.
//
// Some bounds hold for all of a user's processes at once: the share of the
// user's inotify watches (file_watches.h) and the room reserved on the work
// directories' file system (room_account.h). Each such account is a
// directory of the user's (user_state_dir) holding one small text record per
// live process, named by process_name(), and a file "lock". A process reads
// the others' records and rewrites its own while it holds an exclusive flock
// on that file, so that a check and the grant it leads to are one step. The
// record of a process that is gone (crashed, killed) is removed by whoever
// reads next, so what it held comes back.
//
// Nothing here throws or fails: a directory or record that cannot be read
// counts as empty, and a record that cannot be written stays as it was.
#ifndef VESK_CORE_EXCHANGE_PROCESS_RECORDS_H_
#define VESK_CORE_EXCHANGE_PROCESS_RECORDS_H_

#include <cstdio>
#include <functional>
#include <string>

#include "core/base/io.h"

namespace vesk {

// Holds the account's lock from construction (which waits for it) to
// destruction; locked() is false when the lock file cannot be had.
class ProcessRecordsLock {
 public:
  explicit ProcessRecordsLock(const std::string& dir);
  bool locked() const { return fd_.valid(); }

 private:
  UniqueFd fd_;  // closing it unlocks
};

// Under the lock: calls `read` with the open record of every other live
// process of the account, and removes the records of processes that are gone.
void read_other_records(const std::string& dir, const std::function<void(std::FILE*)>& read);

// Under the lock: this process's record becomes `text`, written beside and
// renamed so that no reader meets half of it; an empty `text` removes it.
void write_own_record(const std::string& dir, const std::string& text);

}  // namespace vesk

#endif  // VESK_CORE_EXCHANGE_PROCESS_RECORDS_H_
