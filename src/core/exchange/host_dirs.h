// Where vesk keeps data on the host's file systems, and what every sandbox
// hides.
//
// The work directories of shell commands are the only data a process of vesk
// keeps on the host's file systems (runners keep theirs in a file system of
// their own that goes with them). Each lives in a directory of its process,
// named by 128 random bits, below a per-user root "vesk-{uid}" in the base
// that work_dir_parent() (sandbox.h) picks: $TMPDIR, /dev/shm or /var/tmp.
//
// Why no command of one session sees another session's files, whatever their
// bases and whichever process of the user runs them:
//   - The fixed roots, /dev/shm/vesk-{uid} and /var/tmp/vesk-{uid}, are made
//     before any sandbox starts (ensure_fixed_roots()) and every sandbox
//     covers them with an empty file system (sandbox_hidden_roots()), so one
//     that is made later can never appear inside a sandbox already running.
//   - A root below some process's $TMPDIR is covered in that process's own
//     sandboxes, with $TMPDIR itself. Another process cannot know that
//     $TMPDIR, and covering a directory that a third process may remove at
//     any moment would make sandboxes fail to start, so there it stays in
//     sight but shows nothing: no root can be listed (mode 0300: its owner
//     may enter and make names in it, and nobody, the same user included,
//     may read it; commands run without capabilities, also as root), and
//     the names below it are 128 random bits, which cannot be guessed.
//   - A root that exists and is not a directory owned by this user (another
//     user may make names in /var/tmp first) is never used.
//
// Processes that end without cleaning up (killed, or ending while a session
// is alive) leave their process directories behind. Each process records its
// directories, before making them, in an index file named for the process
// (boot, pid and start time) in "processes/" of the first fixed root it could
// make; the first process directory a process makes removes those recorded by
// processes that no longer exist, and a process removes its own when it
// exits normally.
//
// Thread-safe. Errors are values; nothing here throws but std::bad_alloc.
#ifndef VESK_CORE_EXCHANGE_HOST_DIRS_H_
#define VESK_CORE_EXCHANGE_HOST_DIRS_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"

namespace vesk {

// "{base}/vesk-{uid}", the per-user root in `base` (an absolute path without
// a trailing '/'). Pure.
std::string user_root(std::string_view base, unsigned uid);

// Makes the root in `base` if needed, mode 0300, and checks that it is a
// directory (not a link) owned by this user; returns its path. Errors: the Os
// error of mkdir, or "'{root}' is not a directory of this user; vesk keeps no
// files there".
Result<std::string> ensure_root(const std::string& base);

// The directory of this process below the root in `base`, made with the root
// on first use (a forked child gets one of its own). Errors: those of
// ensure_root(), and the Os errors of making the directory.
Result<std::string> process_dir(const std::string& base);

// Makes the fixed roots that can be made; returns every fixed root that
// exists afterwards, whoever owns it. Cannot fail.
std::vector<std::string> ensure_fixed_roots();

// What a sandbox covers with empty file systems so that no vesk data but its
// own work directory is visible: the fixed roots (made first), and $TMPDIR
// resolved when it is set, absolute, a directory and not /tmp or below it
// (the root in it, and whatever else of the host's process lives there), and
// $VESK_SANDBOX_HIDE likewise (a directory of the host's private data, such
// as vesk serve's store).
// Paths resolved through links, each once. Cannot fail.
std::vector<std::string> sandbox_hidden_roots();

// "{dir}" in the first fixed root this user owns ("processes", "inotify"):
// made mode 0700 if needed, a directory of this user, and hidden from every
// sandbox with the root. nullopt when no fixed root can be had.
std::optional<std::string> user_state_dir(const std::string& name);

// "{boot}-{pid}-{start time}": names one process of this boot for ever, so
// that a record named so is known to be stale once the process is gone, even
// when its pid has been given to another. process_alive() tells whether the
// process a name was made for still runs (false for a name of another boot or
// not made by process_name()). Both read /proc.
std::string process_name(pid_t pid);
bool process_alive(const std::string& name);

// Removes the process directories recorded by processes that no longer
// exist, and their records. Returns how many directories it removed. Done
// once per process by the first process_dir(); exposed for tests.
int remove_stale_process_dirs();

}  // namespace vesk

#endif  // VESK_CORE_EXCHANGE_HOST_DIRS_H_
