#include "core/session_journal.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace vesk {

namespace {

bool same_text(const SharedText& a, const SharedText& b) {
  return &a.str() == &b.str() || a.str() == b.str();
}

// Gathers the contents rows refer to, each once, with their digests.
class ContentList {
 public:
  explicit ContentList(std::vector<std::pair<ContentDigest, Content>>& out) : out_(out) {}
  ContentDigest digest_of(const Content& content) {
    static const Content kEmpty = make_content(std::string());
    const Content& c = content ? content : kEmpty;
    if (auto it = index_.find(c.get()); it != index_.end()) return out_[it->second].first;
    index_.emplace(c.get(), out_.size());
    out_.emplace_back(content_digest(*c), c);
    return out_.back().first;
  }

 private:
  std::vector<std::pair<ContentDigest, Content>>& out_;
  std::unordered_map<const std::string*, std::size_t> index_;
};

}  // namespace

SessionJournal journal_between(const std::vector<Checkpoint>& stored,
                               const std::vector<Checkpoint>& now, std::uint64_t current_id) {
  SessionJournal j;
  j.current_id = current_id;
  ContentList contents(j.contents);
  const FileMap empty;
  std::size_t si = 0;
  const Checkpoint* previous = nullptr;
  bool previous_map_changed = false;
  for (const Checkpoint& c : now) {
    while (si < stored.size() && stored[si].id < c.id) j.dropped.push_back(stored[si++].id);
    const Checkpoint* s = si < stored.size() && stored[si].id == c.id ? &stored[si] : nullptr;
    // The checkpoint the stored row's change applies to.
    std::optional<std::uint64_t> stored_base;
    if (s != nullptr && si > 0) stored_base = stored[si - 1].id;
    std::optional<std::uint64_t> base;
    if (previous != nullptr) base = previous->id;

    const bool map_changed = s == nullptr || !FileMap::diff(s->files, c.files).empty();
    const bool parts_changed = s == nullptr || !same_text(s->stdout_text, c.stdout_text) ||
                               !same_text(s->stderr_text, c.stderr_text) ||
                               s->label != c.label || s->exit_code != c.exit_code;
    if (map_changed || parts_changed || stored_base != base || previous_map_changed) {
      JournalCheckpoint row;
      row.id = c.id;
      row.base_id = base;
      row.stdout_text = c.stdout_text;
      row.stderr_text = c.stderr_text;
      row.label = c.label;
      row.exit_code = c.exit_code;
      for (const FileMap::Difference& d :
           FileMap::diff(previous != nullptr ? previous->files : empty, c.files)) {
        if (d.to == nullptr) {
          row.removed.emplace_back(d.key);
        } else {
          row.set.emplace_back(std::string(d.key), contents.digest_of(*d.to));
        }
      }
      j.written.push_back(std::move(row));
    }
    if (s != nullptr) ++si;
    previous = &c;
    previous_map_changed = map_changed;
  }
  while (si < stored.size()) j.dropped.push_back(stored[si++].id);
  return j;
}

Result<std::vector<Checkpoint>> rebuild_checkpoints(
    std::vector<JournalCheckpoint> rows,
    const std::function<Content(const ContentDigest&)>& content) {
  return guard([&]() -> Result<std::vector<Checkpoint>> {
    std::sort(rows.begin(), rows.end(),
              [](const JournalCheckpoint& a, const JournalCheckpoint& b) { return a.id < b.id; });
    std::vector<Checkpoint> out;
    out.reserve(rows.size());
    std::map<std::uint64_t, std::size_t> position;
    std::map<ContentDigest, Content> fetched;
    for (JournalCheckpoint& row : rows) {
      const std::string id = std::to_string(row.id);
      if (!position.emplace(row.id, out.size()).second) {
        return fail_message("the store holds checkpoint " + id + " twice");
      }
      FileMap files;
      if (row.base_id) {
        auto it = position.find(*row.base_id);
        if (it == position.end() || *row.base_id >= row.id) {
          return fail_message("stored checkpoint " + id + " refers to checkpoint " +
                              std::to_string(*row.base_id) + ", which is not stored");
        }
        files = out[it->second].files;
      }
      for (const std::string& key : row.removed) {
        if (!files.erase(key)) {
          return fail_message("stored checkpoint " + id + " removes '" + key +
                              "', which it does not hold");
        }
      }
      for (auto& [key, digest] : row.set) {
        auto [it, added] = fetched.try_emplace(digest, nullptr);
        if (added) it->second = content(digest);
        if (!it->second) {
          return fail_message("stored checkpoint " + id + " refers to a content that is not stored");
        }
        files.set(std::move(key), it->second);
      }
      Checkpoint& c = out.emplace_back();
      c.id = row.id;
      c.stdout_text = std::move(row.stdout_text);
      c.stderr_text = std::move(row.stderr_text);
      c.label = std::move(row.label);
      c.exit_code = row.exit_code;
      c.files = std::move(files);
    }
    return out;
  });
}

}  // namespace vesk
