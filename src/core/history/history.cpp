// The implementation of history.h; its role and contract are stated there.

#include "core/history/history.h"

#include <algorithm>
#include <utility>

#include "core/history/diff.h"
#include "core/history/key.h"

namespace vesk {

namespace {

Error no_such_checkpoint(std::uint64_t id) {
  return Error::message("checkpoint " + std::to_string(id) + " does not exist");
}

}  // namespace

Status check_workspace_size(std::optional<std::uint64_t> max_workspace_mb, const FileMap& files) {
  if (!max_workspace_mb) return {};
  constexpr std::uint64_t kMiB = 1048576u;
  // A limit too large to count in bytes is no limit rather than a wrapped one.
  const std::uint64_t limit = *max_workspace_mb > UINT64_MAX / kMiB ? UINT64_MAX
                                                                      : *max_workspace_mb * kMiB;
  const std::uint64_t total = files.total_bytes();
  if (total > limit) {
    return fail_message("workspace size " + std::to_string(total) + " bytes exceeds limit of " +
                        std::to_string(limit) + " bytes");
  }
  return {};
}

History::History(HistoryLimits limits) : limits_(limits) { checkpoints_.emplace_back(); }

Result<History> History::restore(HistoryLimits limits, std::vector<Checkpoint> checkpoints,
                                 std::uint64_t current_id, std::optional<FileMap> first_files,
                                 const BlobStore* interned) {
  if (checkpoints.empty()) return fail_message("the history to restore is empty");
  for (std::size_t i = 1; i < checkpoints.size(); ++i) {
    if (checkpoints[i].id <= checkpoints[i - 1].id) {
      return fail_message("the history to restore has ids out of order");
    }
  }
  History h(limits);
  // Consecutive checkpoints share most of their maps: only what each one
  // changed needs interning.
  const FileMap empty;
  const FileMap* previous = &empty;
  if (interned != nullptr) h.blobs_ = *interned;
  for (Checkpoint& c : checkpoints) {
    if (interned != nullptr) break;
    std::vector<std::pair<std::string, Content>> replaced;
    for (const FileMap::Difference& d : FileMap::diff(*previous, c.files)) {
      if (d.to == nullptr || !*d.to) continue;
      Content shared = h.blobs_.intern_shared(*d.to);
      if (shared != *d.to) replaced.emplace_back(std::string(d.key), std::move(shared));
    }
    for (auto& [key, content] : replaced) c.files.set(std::move(key), std::move(content));
    previous = &c.files;
  }
  if (checkpoints.front().id != 0) {
    h.forgotten_first_files_ = std::move(first_files).value_or(FileMap());
  }
  h.checkpoints_ = std::move(checkpoints);
  // The account as the operations that made this history would have left it.
  if (h.forgotten_first_files_) h.account_.step(nullptr, *h.forgotten_first_files_, 1);
  for (std::size_t i = 0; i < h.checkpoints_.size(); ++i) h.count_at(i, 1);
  Result<std::size_t> position = h.position_of(current_id);
  if (!position) return fail(position.error());
  h.current_ = *position;
  return h;
}

Result<std::size_t> History::position_of(std::uint64_t id) const {
  const auto it = std::lower_bound(
      checkpoints_.begin(), checkpoints_.end(), id,
      [](const Checkpoint& c, std::uint64_t wanted) { return c.id < wanted; });
  if (it != checkpoints_.end() && it->id == id) {
    return static_cast<std::size_t>(it - checkpoints_.begin());
  }
  // Every id up to the last one held was made once; only those after it
  // never were (or were discarded, and are free to be made again).
  if (id > checkpoints_.back().id) return fail(no_such_checkpoint(id));
  return fail_message("checkpoint " + std::to_string(id) + " was forgotten (the oldest kept is " +
                      std::to_string(checkpoints_.front().id) + ")");
}

const Checkpoint* History::find(std::uint64_t id) const {
  Result<std::size_t> position = position_of(id);
  return position ? &checkpoints_[*position] : nullptr;
}

const FileMap& History::first_files() const {
  return forgotten_first_files_ ? *forgotten_first_files_ : checkpoints_.front().files;
}

std::vector<std::pair<std::uint64_t, std::string>> History::labels() const {
  std::vector<std::pair<std::uint64_t, std::string>> out;
  for (const Checkpoint& c : checkpoints_) {
    if (c.label) out.emplace_back(c.id, *c.label);
  }
  return out;
}

Checkpoint& History::append_current() {
  const std::uint64_t id = checkpoints_.back().id + 1;
  Checkpoint& c = checkpoints_.emplace_back();
  c.id = id;
  current_ = checkpoints_.size() - 1;
  return c;
}

const FileMap* History::files_before(std::size_t position) const {
  return position > 0 ? &checkpoints_[position - 1].files : nullptr;
}

void History::count_at(std::size_t position, int delta) {
  const Checkpoint& c = checkpoints_[position];
  account_.step(files_before(position), c.files, delta);
  account_.add_unshared(c.stdout_text.size() + c.stderr_text.size(), delta);
}

Checkpoint History::take_last() {
  count_at(checkpoints_.size() - 1, -1);
  Checkpoint c = std::move(checkpoints_.back());
  checkpoints_.pop_back();
  return c;
}

void History::put_last(Checkpoint c) {
  checkpoints_.push_back(std::move(c));
  count_at(checkpoints_.size() - 1, 1);
}

void History::recount_in_place(std::size_t position, const FileMap& from, const FileMap& to) {
  const FileMap* before = files_before(position);
  const FileMap* after = position + 1 < checkpoints_.size() ? &checkpoints_[position + 1].files
                                                            : nullptr;
  const auto same = [](const Content* a, const Content* b) {
    return a != nullptr && b != nullptr && *a == *b;
  };
  for (const FileMap::Difference& d : FileMap::diff(from, to, FileMap::Compare::kObjects)) {
    const Content* prev = before != nullptr ? before->find(d.key) : nullptr;
    const Content* next = after != nullptr ? after->find(d.key) : nullptr;
    // Counted first, so that a content both sides hold never looks free.
    if (d.to != nullptr && !same(prev, d.to)) account_.count(*d.to, 1);
    if (next != nullptr && !same(next, d.to)) account_.count(*next, 1);
    if (d.from != nullptr && !same(prev, d.from)) account_.count(*d.from, -1);
    if (next != nullptr && !same(next, d.from)) account_.count(*next, -1);
  }
}

Status History::check_history_size(std::uint64_t before) const {
  if (!limits_.max_history_mb) return {};
  constexpr std::uint64_t kMiB = 1048576u;
  const std::uint64_t limit = *limits_.max_history_mb > UINT64_MAX / kMiB
                                  ? UINT64_MAX
                                  : *limits_.max_history_mb * kMiB;
  const std::uint64_t total = held_bytes();
  // A change that adds nothing (a delete, a rollback's next step) is never
  // refused, so a history over its limit is never a dead end.
  if (total <= limit || total <= before) return {};
  return fail_message("history size " + std::to_string(total) + " bytes would exceed limit of " +
                      std::to_string(limit) + " bytes (max_history_mb = " +
                      std::to_string(*limits_.max_history_mb) +
                      "); forget older checkpoints or start a new session");
}

Status History::check_checkpoint_limit() const {
  if (limits_.max_checkpoints && checkpoints_.size() >= *limits_.max_checkpoints) {
    return fail_message("checkpoint limit of " + std::to_string(*limits_.max_checkpoints) +
                        " reached; close or snapshot this session and start a new one");
  }
  return {};
}

void History::discard_after_current() {
  while (checkpoints_.size() > current_ + 1) take_last();
}

Result<const Checkpoint*> History::push_files_as_checkpoint(FileMap files) {
  // An edit counts the history before discarding anything, so a full history
  // refuses edits even after a rollback; runs discard first.
  if (auto s = check_checkpoint_limit(); !s) return fail(s.error());
  const std::size_t was_current = current_;
  const std::uint64_t was_bytes = held_bytes();
  // Set aside rather than dropped until the new checkpoint is known to fit,
  // so that a refused edit leaves them (newest first here).
  std::vector<Checkpoint> later;
  while (checkpoints_.size() > current_ + 1) later.push_back(take_last());
  append_current().files = std::move(files);
  count_at(current_, 1);
  if (auto s = check_history_size(was_bytes); !s) {
    take_last();
    for (auto it = later.rbegin(); it != later.rend(); ++it) put_last(std::move(*it));
    current_ = was_current;
    return fail(s.error());
  }
  return &checkpoints_[current_];
}

Result<const Checkpoint*> History::append_run(FileMap files, std::string stdout_text,
                                              std::string stderr_text, bool derived,
                                              std::optional<int> exit_code) {
  FileMap interned;
  if (derived) {
    // Built from the current map by a few sets and erases: only what differs
    // needs interning, and the rest is shared structure already. A file
    // written again with the same bytes is a new object: it takes the held
    // one, or the history would keep both.
    interned = std::move(files);
    // Applied after the walk: a set copies the nodes on its key's path and
    // frees the old ones, into which the other differences point.
    std::vector<FileMap::value_type> replaced;
    for (const FileMap::Difference& d :
         FileMap::diff(current().files, interned, FileMap::Compare::kObjects)) {
      if (d.to == nullptr) continue;
      if (d.from != nullptr && **d.from == **d.to) {
        replaced.emplace_back(d.key, *d.from);  // by a comparison, without hashing
        continue;
      }
      Content shared = blobs_.intern_bytes(std::string(**d.to));
      if (shared != *d.to) replaced.emplace_back(d.key, std::move(shared));
    }
    for (auto& [key, content] : replaced) interned.set(std::move(key), std::move(content));
  } else {
    interned = blobs_.intern_file_map(std::move(files), &current().files);
  }
  Result<const Checkpoint*> appended =
      append_checked(std::move(interned), std::move(stdout_text), std::move(stderr_text));
  if (appended) checkpoints_[current_].exit_code = exit_code;
  return appended;
}

Result<const Checkpoint*> History::append_checked(FileMap files, std::string stdout_text,
                                                  std::string stderr_text) {
  if (auto s = check_workspace_size(limits_.max_workspace_mb, files); !s) return fail(s.error());
  if (auto s = check_checkpoint_limit(); !s) return fail(s.error());
  const std::size_t was_current = current_;
  const std::uint64_t was_bytes = held_bytes();
  Checkpoint& c = append_current();
  c.stdout_text = std::move(stdout_text);
  c.stderr_text = std::move(stderr_text);
  c.files = std::move(files);
  count_at(current_, 1);
  if (auto s = check_history_size(was_bytes); !s) {
    take_last();
    current_ = was_current;
    return fail(s.error());
  }
  return &checkpoints_[current_];
}

Result<const Checkpoint*> History::append_run_changes(const FileMap& changed,
                                                      const std::vector<std::string>& removed,
                                                      std::string stdout_text,
                                                      std::string stderr_text) {
  FileMap files = current().files;
  for (const std::string& key : removed) {
    if (!files.erase(key)) {
      return fail_message("the run reported removing '" + key +
                          "', which is not in the workspace");
    }
  }
  for (const auto& [key, content] : changed) {
    files.set(key, blobs_.intern_bytes(content ? *content : std::string()));
  }
  // A run that changed nothing leaves a tree that was one a tree still.
  const bool same_tree = changed.empty() && removed.empty() && current().layout_checked;
  Result<const Checkpoint*> appended =
      append_checked(std::move(files), std::move(stdout_text), std::move(stderr_text));
  if (appended && same_tree) checkpoints_[current_].layout_checked = true;
  return appended;
}

Status History::write_file(std::string_view key, std::string content) {
  if (auto s = validate_file_path(key); !s) return s;
  FileMap files = current().files;
  files.set(std::string(key), blobs_.intern_bytes(std::move(content)));
  if (auto s = check_workspace_size(limits_.max_workspace_mb, files); !s) return s;
  if (auto pushed = push_files_as_checkpoint(std::move(files)); !pushed) return fail(pushed.error());
  return {};
}

Result<const Checkpoint*> History::delete_file(std::string_view key) {
  FileMap files = current().files;
  if (!files.erase(key)) return fail_message("'" + std::string(key) + "' not in current checkpoint");
  return push_files_as_checkpoint(std::move(files));
}

Status History::insert_into_current(std::vector<FileMap::value_type> entries) {
  Checkpoint& c = checkpoints_[current_];
  const std::uint64_t was_bytes = held_bytes();
  FileMap files = c.files;
  for (auto& [key, content] : entries) files.set(std::move(key), std::move(content));
  recount_in_place(current_, c.files, files);
  if (auto s = check_history_size(was_bytes); !s) {
    recount_in_place(current_, files, c.files);
    return s;
  }
  c.files = std::move(files);
  c.layout_checked = false;
  return {};
}

Status History::check_current_layout() {
  Checkpoint& c = checkpoints_[current_];
  if (c.layout_checked) return {};
  if (auto s = check_layout(c.files); !s) return s;
  c.layout_checked = true;
  return {};
}

Status History::check_kept(std::uint64_t id) const {
  Result<std::size_t> position = position_of(id);
  if (!position) return fail(position.error());
  return {};
}

Status History::rollback(std::uint64_t id) {
  Result<std::size_t> position = position_of(id);
  if (!position) return fail(position.error());
  current_ = *position;
  return {};
}

Status History::set_checkpoint_label(std::uint64_t id, std::string label) {
  Result<std::size_t> position = position_of(id);
  if (!position) return fail(position.error());
  if (label.empty()) {
    checkpoints_[*position].label.reset();
  } else {
    checkpoints_[*position].label = std::move(label);
  }
  return {};
}

Status History::forget_before(std::uint64_t id, bool keep_labelled) {
  Result<std::size_t> position = position_of(id);
  if (!position) return fail(position.error());
  if (*position > current_) {
    return fail_message("checkpoint " + std::to_string(current_id()) +
                        " is current and cannot be forgotten");
  }
  const auto first_kept = checkpoints_.begin() + static_cast<std::ptrdiff_t>(*position);
  const auto dropped = [&](const Checkpoint& c) { return !(keep_labelled && c.label); };
  // The account first, while every map is still there. A dropped
  // checkpoint's runs end with it where the next one changes the key, and
  // the next one's run begins anew unless the last kept map before it holds
  // the same object; where the next one keeps the key, the two cancel.
  const auto same = [](const Content* a, const Content* b) {
    return a != nullptr && b != nullptr && *a == *b;
  };
  const FileMap* kept_before = nullptr;
  for (std::size_t i = 0; i < *position; ++i) {
    const Checkpoint& c = checkpoints_[i];
    if (!dropped(c)) {
      kept_before = &c.files;
      continue;
    }
    account_.add_unshared(c.stdout_text.size() + c.stderr_text.size(), -1);
    // Checkpoint 0's files stay (first_files()), held apart from the
    // sequence: counted once, when it goes.
    if (c.id == 0) account_.step(nullptr, c.files, 1);
    const FileMap& next = checkpoints_[i + 1].files;
    for (const FileMap::Difference& d :
         FileMap::diff(c.files, next, FileMap::Compare::kObjects)) {
      const Content* before = kept_before != nullptr ? kept_before->find(d.key) : nullptr;
      if (d.from != nullptr && !same(before, d.from)) account_.count(*d.from, -1);
      if (d.to != nullptr && same(before, d.to)) account_.count(*d.to, -1);
    }
  }
  if (checkpoints_.front().id == 0 && dropped(checkpoints_.front()) && *position > 0) {
    forgotten_first_files_ = checkpoints_.front().files;
  }
  const auto end_kept = std::remove_if(checkpoints_.begin(), first_kept, dropped);
  const std::size_t count = static_cast<std::size_t>(first_kept - end_kept);
  checkpoints_.erase(end_kept, first_kept);
  current_ -= count;
  return {};
}

Result<std::string> History::diff(std::uint64_t from_id, std::uint64_t to_id) const {
  Result<std::size_t> from = position_of(from_id);
  if (!from) return fail(from.error());
  Result<std::size_t> to = position_of(to_id);
  if (!to) return fail(to.error());
  return diff_file_maps(checkpoints_[*from].files, checkpoints_[*to].files);
}

}  // namespace vesk
