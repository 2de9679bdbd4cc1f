// The checkpoint history of a session.
//
// History owns the ordered list of checkpoints, the current position, the
// blob store, and the two limits applied when a checkpoint is appended. It
// knows nothing of runners or sandboxes, so it can be tested on its own; the
// Session owns one and adds the operations that need processes.
//
// Ids are stable: a checkpoint keeps the id it was made with when older ones
// are forgotten (forget_before), so the ids held are increasing but need not
// start at 0 or be contiguous. A new checkpoint gets the last id held plus 1
// (after the discard of those after the current one, so such ids are
// reused). Invariants: never empty; ids strictly increasing; the current
// position is in range. Pointers to checkpoints returned by the operations
// stay valid until the next operation that appends, discards or forgets.
//
// Every failing operation leaves history, position and labels unchanged,
// except that a run discards the checkpoints after the current one before it
// starts (discard_after_current), and that stands.
//
// Size: held_bytes() is exact at every moment: the distinct content objects
// of the kept checkpoints (and of checkpoint 0's files once forgotten), each
// counted once however many checkpoints and keys share it, plus every kept
// checkpoint's output. Keys and the maps' structure (a few nodes per changed
// key) are not counted. With max_history_mb set, a change after which the
// history would hold more than that, and more than before, is refused.
#ifndef VESK_CORE_HISTORY_HISTORY_H_
#define VESK_CORE_HISTORY_HISTORY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/history/checkpoint.h"
#include "core/history/content_account.h"
#include "core/base/error.h"
#include "core/history/file_map.h"

namespace vesk {

struct HistoryLimits {
  std::optional<std::uint64_t> max_checkpoints;
  std::optional<std::uint64_t> max_workspace_mb;
  std::optional<std::uint64_t> max_history_mb = std::nullopt;  // none unless given
};

// Fails with "workspace size {total} bytes exceeds limit of {limit} bytes"
// when `max_workspace_mb` is set and the summed content lengths of `files`
// (a shared content counted once per key) exceed it times 1048576.
Status check_workspace_size(std::optional<std::uint64_t> max_workspace_mb, const FileMap& files);

class History {
 public:
  // A history holding checkpoint 0: no files, no output, no label.
  explicit History(HistoryLimits limits);

  // A history of saved or forked parts: `checkpoints` (oldest first, ids
  // strictly increasing, not empty) with `current_id` current and, when
  // checkpoint 0 is not among them, its files as `first_files`. Every
  // content is interned, so later runs share them; `interned`, when given,
  // is a store they were all interned in already (a fork's parent's), copied
  // instead. Errors (plain): "the history to restore is empty", "the history
  // to restore has ids out of order", and the error for a `current_id` that
  // is not kept.
  static Result<History> restore(HistoryLimits limits, std::vector<Checkpoint> checkpoints,
                                 std::uint64_t current_id, std::optional<FileMap> first_files,
                                 const BlobStore* interned = nullptr);

  // The kept checkpoints, oldest first.
  const std::vector<Checkpoint>& checkpoints() const { return checkpoints_; }
  std::size_t size() const { return checkpoints_.size(); }
  std::uint64_t current_id() const { return checkpoints_[current_].id; }
  const Checkpoint& current() const { return checkpoints_[current_]; }
  // The kept checkpoint with `id`, or nullptr when there is none.
  const Checkpoint* find(std::uint64_t id) const;
  // The files of checkpoint 0, which stay known after it is forgotten: commit
  // compares mounted files against them.
  const FileMap& first_files() const;
  // {id, label} of the kept labelled checkpoints, oldest first.
  std::vector<std::pair<std::uint64_t, std::string>> labels() const;
  const HistoryLimits& limits() const { return limits_; }
  BlobStore& blobs() { return blobs_; }
  // The bytes the history holds (see Size above).
  std::uint64_t held_bytes() const { return account_.bytes(); }

  // --- appending ---

  // After a file edit: fails with the checkpoint-limit error when the length,
  // counted before anything is discarded, is at the limit; otherwise discards
  // the checkpoints after the current one and appends `files` with empty
  // output, unless the history would then be past max_history_mb (the size
  // error; nothing is discarded). Returns the new current checkpoint.
  Result<const Checkpoint*> push_files_as_checkpoint(FileMap files);
  // Drops the checkpoints after the current one (first step of every run).
  void discard_after_current();
  // "checkpoint limit of {max_checkpoints} reached; close or snapshot this
  // session and start a new one" when the history is at its limit.
  Status check_checkpoint_limit() const;
  // After a run (discard_after_current already done): interns `files`,
  // applies the size test, then the limit test, then appends a checkpoint
  // with the run's output and makes it current, unless the history would
  // then be past max_history_mb:
  // "history size {total} bytes would exceed limit of {limit} bytes
  // (max_history_mb = {n}); forget older checkpoints or start a new session".
  // `derived`: `files` was made from the current checkpoint's map by sets
  // and erases, so only the keys that differ from it are interned.
  // `exit_code`: the status of the shell command that made it, if one did.
  Result<const Checkpoint*> append_run(FileMap files, std::string stdout_text,
                                       std::string stderr_text, bool derived = false,
                                       std::optional<int> exit_code = std::nullopt);
  // As append_run, for a run that reported only what it changed: the current
  // checkpoint's files with `removed` taken out and `changed` put in
  // (interned). Fails with "the run reported removing '{key}', which is not
  // in the workspace" for a removed key the current checkpoint lacks.
  Result<const Checkpoint*> append_run_changes(const FileMap& changed,
                                               const std::vector<std::string>& removed,
                                               std::string stdout_text, std::string stderr_text);

  // Whether the current checkpoint's files can be laid out as one directory
  // tree (check_layout() in key.h, whose errors it returns); remembered per
  // checkpoint, so a history of runs over one large workspace checks it once.
  Status check_current_layout();
  // Records that the current checkpoint's files are known to form one
  // directory tree: they were read from one (a shell run's).
  void mark_current_layout_checked() { checkpoints_[current_].layout_checked = true; }

  // --- edits ---

  // Validates the key, interns the content, applies the size test and then
  // the limit test; appends exactly one checkpoint on success.
  Status write_file(std::string_view key, std::string content);
  // Removes `key` (no key rules, no size test) and appends one checkpoint;
  // fails with "'{key}' not in current checkpoint" when absent.
  Result<const Checkpoint*> delete_file(std::string_view key);
  // Puts `entries` into the current checkpoint's map in place, appending
  // nothing (mount); the contents should already be interned. Fails with
  // the history-size error, changing nothing, past max_history_mb.
  Status insert_into_current(std::vector<FileMap::value_type> entries);
  Status insert_into_current(std::string key, Content content) {
    return insert_into_current({{std::move(key), std::move(content)}});
  }

  // --- navigation and labels ---

  // Every operation taking an id refuses one that is not kept: "checkpoint
  // {id} does not exist" for an id after the last one held, "checkpoint {id}
  // was forgotten (the oldest kept is {first})" for any other.

  // Whether `id` is kept (its error if not); changes nothing.
  Status check_kept(std::uint64_t id) const;
  // Makes `id` current; nothing is discarded.
  Status rollback(std::uint64_t id);
  // Empty text clears the label.
  Status set_checkpoint_label(std::uint64_t id, std::string label);
  // Drops the checkpoints older than `id` (with `keep_labelled`, all but the
  // labelled ones); their contents go when nothing else holds them. `id`
  // may be the current checkpoint but not one after it: "checkpoint
  // {current} is current and cannot be forgotten".
  Status forget_before(std::uint64_t id, bool keep_labelled);

  // --- reading ---

  // The unified diff between two checkpoints; from_id is checked first.
  Result<std::string> diff(std::uint64_t from_id, std::uint64_t to_id) const;

 private:
  // The size test, then the limit test, then the append of a run's
  // checkpoint (its contents already interned), made current.
  Result<const Checkpoint*> append_checked(FileMap files, std::string stdout_text,
                                           std::string stderr_text);

  // The position of the kept checkpoint `id`, or the error for it.
  Result<std::size_t> position_of(std::uint64_t id) const;
  // Appends an empty checkpoint with the next id and makes it current; the
  // caller fills it and then counts it (count_at).
  Checkpoint& append_current();

  // --- the account (content_account.h) ---
  // The map the checkpoint at `position` follows in the account: the one
  // before it; none for the first (checkpoint 0's files, once forgotten,
  // are counted apart).
  const FileMap* files_before(std::size_t position) const;
  // Counts (1) or takes back (-1) the checkpoint at `position`, the last.
  void count_at(std::size_t position, int delta);
  // Removes the last checkpoint, taken out of the account.
  Checkpoint take_last();
  // Appends `c` (made by take_last) back, counted.
  void put_last(Checkpoint c);
  // The checkpoint at `position` changes its files from `from` to `to` in
  // place: recounts it and the one after it.
  void recount_in_place(std::size_t position, const FileMap& from, const FileMap& to);
  // The size error when the history holds more than max_history_mb and more
  // than `before`.
  Status check_history_size(std::uint64_t before) const;

  HistoryLimits limits_;
  std::vector<Checkpoint> checkpoints_;
  std::size_t current_ = 0;  // a position in checkpoints_
  // Checkpoint 0's files once it has been forgotten.
  std::optional<FileMap> forgotten_first_files_;
  BlobStore blobs_;
  ContentAccount account_;
};

}  // namespace vesk

#endif  // VESK_CORE_HISTORY_HISTORY_H_
