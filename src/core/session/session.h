// A session: one private, versioned workspace and the runner that executes
// Python against it.
//
// The Session owns its history (checkpoints, blob store), its live runner, a
// copy of the engine (configuration, Deno path, runner script file), the
// installed packages, the mount origins and a free-text label. It has no lock
// of its own: one thread at a time (the binding serialises calls).
//
// Every operation returns its result or an Error; no exception escapes (an
// allocation failure or a thread that cannot start comes back as an internal
// fault, Error::is_internal()). A failing operation leaves the session as it
// was, except where noted: a run (execute_python, or execute_bash once its
// command passed screening) first discards the checkpoints after the current
// one, and that stands; commit and export keep the files they already wrote.
//
// Checkpoint pointers returned by the operations point into the history and
// stay valid until the next operation that appends, discards or forgets
// checkpoints.
//
// Parking (park_after_idle_secs): a session whose runner has been idle that
// long may be parked (park(), asked by the parker, parking.h): the runner
// images its interpreter, the session keeps the image compressed and ends
// the runner. execute_python and install resume it first (the image goes to
// a new runner, the recorded packages are installed again, the whole
// workspace goes with the next run); every other operation works on a
// parked session as on a live one.
#ifndef VESK_CORE_SESSION_SESSION_H_
#define VESK_CORE_SESSION_SESSION_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/runner/engine.h"
#include "core/base/error.h"
#include "core/history/history.h"
#include "core/exchange/mount.h"
#include "core/runner/park_image.h"
#include "core/runner/parking.h"
#include "core/runner/pending_runner.h"
#include "core/runner/runner.h"
#include "core/shell/sandbox.h"
#include "core/session/session_file.h"
#include "core/session/session_journal.h"

namespace vesk {

class Session {
 public:
  // Starts a runner from `engine` (waiting at most install_timeout_ms for it
  // to be ready) and holds checkpoint 0, an empty workspace. On failure the
  // runner's start error is returned and nothing is left running. When this
  // process's spare runner waits for the session (parking on), the session
  // is returned at once and the runner finishes its start behind it: the
  // first call that needs it waits for it, and a start that failed fails
  // that call with the error create() would have given (the next call
  // starts a runner again).
  static Result<std::unique_ptr<Session>> create(const VeskEngine& engine);

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Kills the runner without waiting for it; frees the history.
  ~Session();

  const History& history() const { return history_; }
  const Checkpoint& current() const { return history_.current(); }
  const std::optional<std::string>& label() const { return label_; }
  // What a new runner installs again, in order (see install()).
  const std::vector<PackageRecord>& installed_packages() const { return installed_packages_; }
  const MountOrigins& mount_origins() const { return mount_origins_; }
  const VeskEngine& engine() const { return engine_; }

  // --- history ---
  Status rollback(std::uint64_t id);
  // An empty label clears it. Cannot fail.
  void set_label(std::string label);
  Status set_checkpoint_label(std::uint64_t id, std::string label);
  // Drops older checkpoints (History::forget_before), and the record of
  // the runner's workspace unless it is the current checkpoint's, so that
  // nothing but the runner itself keeps a forgotten content.
  Status forget_before(std::uint64_t id, bool keep_labelled);
  Result<std::string> diff(std::uint64_t from_id, std::uint64_t to_id) const;

  // --- file edits: one checkpoint per success ---
  Status write_file(std::string_view key, std::string content);
  Result<const Checkpoint*> delete_file(std::string_view key);

  // --- Python ---
  // Runs `code` in the runner over the current workspace; the files it leaves
  // become a new checkpoint with its output. Timeout, Crash (and
  // CommandDenied) replace the runner, reinstalling the recorded packages, and
  // so does a request that could not be written (its write error is still
  // what the caller gets); Application errors and invalid reply lines keep
  // it. If the replacement cannot start, its start error is returned instead
  // and the old runner stays. The returned files' keys must pass the key
  // rules, since code in the runner can forge its reply.
  //
  // `control`: a time limit of the call's own (capped by exec_timeout_ms)
  // and a cancel descriptor. A cancel stops the run as a time-out does (the
  // runner is replaced) with RunnerError Cancelled; a descriptor already
  // readable when the call starts refuses it before anything runs (the
  // interpreter stays). Every failure says whether the interpreter's state
  // was lost (Error::interpreter_reset(): the runner was replaced, or a
  // parked one could not be restored) and carries the output printed
  // before it.
  Result<const Checkpoint*> execute_python(std::string_view code,
                                           const ProgressCallback& progress,
                                           const RunControl& control = {});
  // Installs one package in the runner (micropip) and records it on success:
  // the exact wheel addresses the installer put in place, dependencies first,
  // when it reports them (so a new runner gets the same wheels whatever index
  // settings a run made), else the text given; a wheel that is a file of the
  // workspace (an emfs: path below /workspace) is recorded with its content.
  // Any failure replaces the runner (as above; a failed install may have
  // left the interpreter half changed), so every failure but a refusal
  // before it started says interpreter_reset(); the failed package is not
  // recorded. `control` as for execute_python (install_timeout_ms caps it).
  Status install(std::string_view package, const RunControl& control = {});

  // --- parking ---
  struct ParkResult {
    enum class Kind { kParked, kRefused, kNothing } kind = Kind::kNothing;
    std::string refusal;  // kRefused: the runner's reason
  };
  // Parks now if parking is on and the runner is live and usable (kNothing
  // otherwise): asks it
  // for an image, keeps the image compressed, ends the runner. A runner that
  // refuses (state that cannot be imaged) stays, and is asked again after
  // another idle period; so does one whose compressed image passes
  // max_park_image_mb (kRefused, "not parked: its image passes
  // max_park_image_mb (N MiB)"), found as it is compressed. Errors: those of Runner::park and of compression;
  // the runner then stays, or, if it was lost meanwhile, the next call
  // replaces it as after a crash.
  Result<ParkResult> park();
  // When the parker should next ask: the earlier of the time the session is
  // due to park (park_after_idle_secs after the end of the last call that
  // used the runner, or the time to try again after a refusal; none when
  // parking is off or there is no live runner) and the time its kept work
  // directory goes back (kept_dir_idle_time() after the shell command that
  // last used it). nullopt when neither is due.
  std::optional<ParkClock::time_point> park_deadline() const;
  // Gives the kept work directory back if its time has come, and parks if
  // due at `now`; returns the next deadline (park_deadline()).
  // Errors: internal faults only (any other failure leaves the session to
  // its next call, as park() says).
  Result<std::optional<ParkClock::time_point>> park_if_due(ParkClock::time_point now);
  bool parked() const { return parked_.has_value(); }
  // The memory the kept image takes (0 unless parked).
  std::size_t parked_bytes() const { return parked_ ? parked_->compressed.capacity() : 0; }
  // For tests of a resume that fails: flips bytes in the middle of the kept
  // frame (decompression fails), or with `keep_frame` the image's first byte,
  // compressed anew (the runner refuses the image). Does nothing unless
  // parked.
  void damage_parked_image_for_testing(bool keep_frame);

  // --- saving, loading, forking ---
  // Writes the session to the file at `path` (session_file.h), replacing it
  // atomically (session_io.h). With `interpreter`, the file holds an image
  // of the interpreter when there is one to have: a parked session's kept
  // image, or one the live runner makes now and goes on afterwards (the
  // cost of the imaging and compression of a park, without its end). A
  // runner that cannot be imaged (parking off, or a refusal such as "work
  // still scheduled") leaves it out. Returns whether the image is in the
  // file. Errors: those of Runner::park (as for park()) and of the write.
  Result<bool> save(std::string_view path, bool interpreter);
  // The session saved at `path`, equal to the saved one in history, labels,
  // packages and mount origins, with no runner yet: its first Python call
  // resumes the saved image as after a park, or without one starts a fresh
  // runner and installs the packages again, as after a crash. Errors: those
  // of reading and of decode_session(); "the session file's interpreter
  // image of {n} bytes passes max_runner_memory_mb ({m} MiB)".
  static Result<std::unique_ptr<Session>> load(const VeskEngine& engine, std::string_view path);
  // A new, independent session whose history is this one's up to `id`
  // (default: the current checkpoint), made current. The two share
  // contents in memory, never a change. At the current checkpoint the new
  // session's interpreter is a copy of this one's (imaged as save() does,
  // resumed on its first call), else a fresh one with the packages. Errors:
  // the error for an `id` not kept; those of imaging.
  Result<std::unique_ptr<Session>> fork(std::optional<std::uint64_t> id);
  // What the session is apart from its processes, up to checkpoint `last`
  // (which becomes current; default: the whole history and its current
  // position); with `interpreter`, as save() says.
  Result<SavedSession> saved(bool interpreter, std::optional<std::uint64_t> last = std::nullopt);
  // A session of saved parts, with no runner yet (see load()).
  static Result<std::unique_ptr<Session>> restore(const VeskEngine& engine, SavedSession saved,
                                                  const BlobStore* interned = nullptr);

  // --- durability for a store (session_journal.h) ---
  // A host that keeps the session in a store asks, after each call, for
  // what changed since the store's last write, writes it, then says so
  // (journal_written()); a write that failed is simply not confirmed, and
  // the next journal holds its changes too.
  struct StoreChanges {
    SessionJournal journal;
    // encode_session_parts() of the session, when those parts changed since
    // the last confirmed write (always for the first).
    std::optional<std::string> parts;
  };
  // The changes since the last confirmed write; remembered as pending.
  // Costs a walk of the kept ids plus what changed; the contents the
  // journal refers to are digested (SHA-256) each time they are written.
  Result<StoreChanges> journal();
  // The store holds what the last journal() gave.
  void journal_written();
  // A content the pending journal refers to, or nullptr.
  Content journal_content(const ContentDigest& digest) const;
  // The interpreter's image as a store keeps it (u64 size, then the
  // compressed image), when there is one to have (see save()).
  Result<std::optional<std::string>> image_blob();
  // The session a store holds: `rows` (encode_journal_row), `parts`
  // (encode_session_parts), `content` for the digests they name, and an
  // image_blob() or none; with `image_expanded`, the image itself instead
  // (image_of_blob()), which the resume hands to the runner as it is. Its
  // first journal is empty. Errors: those of the decoders,
  // rebuild_checkpoints() and restore().
  static Result<std::unique_ptr<Session>> from_store(
      const VeskEngine& engine, std::uint64_t current_id, const std::vector<std::string>& rows,
      std::string_view parts, const std::function<Content(const ContentDigest&)>& content,
      std::optional<std::string> image, bool image_expanded = false);

  // --- shell ---
  // See execute_bash() in sandbox.h; `control` as for execute_python
  // (bash_timeout_ms caps it). The shell keeps no state, so no failure says
  // interpreter_reset().
  Result<const Checkpoint*> execute_bash(std::string_view command, const LineCallback& on_line,
                                         const RunControl& control = {});

  // Removes the shell's kept work directory (see kept_dir.h), giving back
  // the disk or memory it takes; the next execute_bash lays the workspace
  // out afresh. park() does this whenever the session is idle long enough
  // to park. Cannot fail.
  void release_kept_dir() {
    kept_dir_.drop();
    kept_dir_release_at_.reset();
  }
  // How long a kept work directory outlives the shell command that last
  // used it, whether or not the session parks: 60 s, or what a test set
  // (nullopt: the default again). Thread-safe.
  static ParkClock::duration kept_dir_idle_time();
  static void set_kept_dir_idle_time_for_testing(std::optional<ParkClock::duration> idle);
  bool holds_kept_dir() const { return kept_dir_.exists(); }
  // The bytes the kept work directory holds in memory (it lives on a tmpfs
  // such as /dev/shm), 0 when there is none or it is on a disk.
  std::uint64_t kept_dir_memory_bytes() const { return kept_dir_.memory_bytes(); }

  // --- host exchange ---
  Result<std::vector<std::string>> mount(std::string_view path);
  Result<std::vector<std::string>> commit(const std::optional<std::vector<std::string>>& keys);
  Result<std::vector<std::string>> export_files(
      std::string_view output_dir, const std::optional<std::vector<std::string>>& keys) const;

 private:
  Session(VeskEngine engine, std::unique_ptr<Runner> runner);

  // Replaces a failed runner; returns the error the caller should report.
  Error recover(Error failure);
  // Makes sure there is a runner: resumes a parked interpreter, or, after a
  // resume that failed, starts a fresh one. A resume that fails gives a
  // fresh runner (packages reinstalled) and the error "the session's parked
  // interpreter could not be restored ({why}); it goes on with a fresh one".
  Status ensure_runner();
  // An image of the interpreter, if there is one to have (see save()).
  Result<std::optional<ParkImage>> interpreter_image();
  // A call used the runner: the idle time starts again.
  void mark_active();
  // The record of one installed wheel address (see install()).
  PackageRecord record_for(std::string address) const;

  VeskEngine engine_;
  // Absent while parked, and after a resume whose fresh start failed too.
  std::unique_ptr<Runner> runner_;
  // The runner's first start, while it goes on behind the caller (create()).
  std::unique_ptr<PendingRunner> pending_;
  // Adopts what the pending start made, waiting for it; its error.
  Status settle();
  // The interpreter's image while parked.
  std::optional<ParkImage> parked_;
  ParkClock::time_point idle_since_ = ParkClock::now();
  // After a refusal: when to ask the runner again.
  std::optional<ParkClock::time_point> retry_at_;
  // When the kept work directory goes back, while there is one.
  std::optional<ParkClock::time_point> kept_dir_release_at_;
  // The time the runner is due to park (see park_deadline()).
  std::optional<ParkClock::time_point> runner_park_deadline() const;
  History history_;
  std::optional<std::string> label_;
  std::vector<PackageRecord> installed_packages_;
  // The workspace the runner holds, when the module is sure of it: the files
  // of the checkpoint its last successful run made. Runs then send only the
  // difference to the current checkpoint; after a new runner or any failed
  // request it is empty, and the whole workspace goes out.
  std::optional<FileMap> runner_files_;
  MountOrigins mount_origins_;
  // Counts changes of the parts a store keeps whole (label, packages,
  // origins, checkpoint 0's files).
  std::uint64_t parts_version_ = 0;
  // What the store holds (confirmed), and what the last journal() gave.
  std::vector<Checkpoint> stored_checkpoints_;
  std::optional<std::uint64_t> stored_parts_version_;
  std::vector<Checkpoint> pending_checkpoints_;
  std::uint64_t pending_parts_version_ = 0;
  std::map<ContentDigest, Content> pending_contents_;
  DigestCache digests_;
  // The shell's work directory, kept between commands and removed with the
  // session.
  KeptWorkDir kept_dir_;
};

}  // namespace vesk

#endif  // VESK_CORE_SESSION_SESSION_H_
