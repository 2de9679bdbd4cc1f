// The implementation of session_journal.h; its role and contract are stated there.

#include "core/session/session_journal.h"

#include <algorithm>
#include <map>
#include <cstring>
#include <unordered_map>

#include "core/base/byte_codec.h"
#include "core/history/key.h"

namespace vesk {

namespace {

bool same_text(const SharedText& a, const SharedText& b) {
  return &a.str() == &b.str() || a.str() == b.str();
}

// Gathers the contents rows refer to, each once, with their digests.
class ContentList {
 public:
  ContentList(std::vector<std::pair<ContentDigest, Content>>& out, DigestCache* cache)
      : out_(out), cache_(cache) {}
  ContentDigest digest_of(const Content& content) {
    static const Content kEmpty = make_content(std::string());
    const Content& c = content ? content : kEmpty;
    if (auto it = index_.find(c.get()); it != index_.end()) return out_[it->second].first;
    index_.emplace(c.get(), out_.size());
    out_.emplace_back(cache_ != nullptr ? cache_->digest(c) : content_digest(*c), c);
    return out_.back().first;
  }

 private:
  std::vector<std::pair<ContentDigest, Content>>& out_;
  DigestCache* cache_;
  std::unordered_map<const std::string*, std::size_t> index_;
};

using codec::Reader;
using codec::Writer;

constexpr std::string_view kRowDamaged = "stored checkpoint is damaged: ";
constexpr std::string_view kPartsDamaged = "stored session parts are damaged: ";

void write_digest(Writer& w, const ContentDigest& d) {
  w.raw(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
}

ContentDigest read_digest(Reader& r) {
  ContentDigest d{};
  std::string_view bytes = r.raw(d.size());
  if (r.ok()) std::memcpy(d.data(), bytes.data(), d.size());
  return d;
}

void write_files(Writer& w, ContentList& contents, const FileMap& files) {
  w.u64(files.size());
  for (const auto& [key, content] : files) {
    w.str(key);
    write_digest(w, contents.digest_of(content));
  }
}

FileMap read_files(Reader& r, const std::function<Content(const ContentDigest&)>& content) {
  FileMap files;
  const std::uint64_t n = r.count(8 + 32);
  for (std::uint64_t i = 0; i < n && r.ok(); ++i) {
    std::string key(r.str());
    const ContentDigest d = read_digest(r);
    if (!r.ok()) break;
    Content c = content(d);
    if (!c) {
      r.fail(codec::damaged(kPartsDamaged, "the content of '" + key + "' is not stored"));
      break;
    }
    files.set(std::move(key), std::move(c));
  }
  return files;
}

}  // namespace

std::string encode_journal_row(const JournalCheckpoint& row) {
  std::string out;
  Writer w(out);
  w.u64(row.id);
  w.u8(row.base_id ? 1 : 0);
  if (row.base_id) w.u64(*row.base_id);
  w.str(row.stdout_text.str());
  w.str(row.stderr_text.str());
  w.opt_str(row.label);
  w.u8(row.exit_code ? 1 : 0);
  if (row.exit_code) w.u64(static_cast<std::uint32_t>(*row.exit_code));
  w.u64(row.removed.size());
  for (const std::string& key : row.removed) w.str(key);
  w.u64(row.set.size());
  for (const auto& [key, digest] : row.set) {
    w.str(key);
    write_digest(w, digest);
  }
  return out;
}

Result<JournalCheckpoint> decode_journal_row(std::string_view bytes) {
  return guard([&]() -> Result<JournalCheckpoint> {
    Reader r(bytes, kRowDamaged);
    JournalCheckpoint row;
    row.id = r.u64();
    if (r.present()) row.base_id = r.u64();
    row.stdout_text = std::string(r.str());
    row.stderr_text = std::string(r.str());
    row.label = r.opt_str();
    if (r.present()) row.exit_code = static_cast<std::int32_t>(static_cast<std::uint32_t>(r.u64()));
    const std::uint64_t removed = r.count(8);
    for (std::uint64_t i = 0; i < removed && r.ok(); ++i) row.removed.emplace_back(r.str());
    const std::uint64_t set = r.count(8 + 32);
    for (std::uint64_t i = 0; i < set && r.ok(); ++i) {
      std::string key(r.str());
      row.set.emplace_back(std::move(key), read_digest(r));
    }
    if (r.ok() && r.remaining() != 0) r.fail(codec::damaged(kRowDamaged, "bytes follow its end"));
    if (!r.ok()) return fail(*r.error());
    return row;
  });
}

ContentDigest DigestCache::digest(const Content& content) {
  auto it = entries_.find(content.get());
  // The same address may hold another content once the first has gone.
  if (it != entries_.end() && it->second.content.lock() == content) return it->second.digest;
  const ContentDigest d = content_digest(*content);
  if (it != entries_.end()) {
    it->second = Entry{content, d};
    return d;
  }
  if (entries_.size() >= sweep_at_) {
    std::erase_if(entries_, [](const auto& e) { return e.second.content.expired(); });
    sweep_at_ = std::max<std::size_t>(1024, 2 * entries_.size());
  }
  entries_.emplace(content.get(), Entry{content, d});
  return d;
}

std::string encode_session_parts(const SavedSession& parts,
                                 std::vector<std::pair<ContentDigest, Content>>* contents,
                                 DigestCache* cache) {
  ContentList list(*contents, cache);
  std::string out;
  Writer w(out);
  w.opt_str(parts.label);
  w.u8(parts.first_files ? 1 : 0);
  if (parts.first_files) write_files(w, list, *parts.first_files);
  w.u64(parts.packages.size());
  for (const PackageRecord& p : parts.packages) {
    w.str(p.package);
    w.u8(p.files ? 1 : 0);
    if (p.files) write_files(w, list, *p.files);
  }
  w.u64(parts.origins.size());
  for (const auto& [key, origin] : parts.origins) {
    w.str(key);
    w.str(origin.root ? std::string_view(*origin.root) : std::string_view());
    w.str(origin.relative);
    write_digest(w, list.digest_of(origin.known));
  }
  return out;
}

Status decode_session_parts(std::string_view bytes,
                            const std::function<Content(const ContentDigest&)>& content,
                            SavedSession* into) {
  return guard([&]() -> Status {
    Reader r(bytes, kPartsDamaged);
    SavedSession s;
    s.label = r.opt_str();
    if (r.present()) s.first_files = read_files(r, content);
    const std::uint64_t packages = r.count(9);
    for (std::uint64_t i = 0; i < packages && r.ok(); ++i) {
      std::string package(r.str());
      if (r.present()) {
        FileMap wheel = read_files(r, content);
        s.packages.emplace_back(std::move(package), std::move(wheel));
      } else {
        s.packages.emplace_back(std::move(package));
      }
    }
    const std::uint64_t origins = r.count(8 * 3 + 32);
    std::unordered_map<std::string, std::shared_ptr<const std::string>> roots;
    for (std::uint64_t i = 0; i < origins && r.ok(); ++i) {
      std::string key(r.str());
      std::string root(r.str());
      MountOrigin origin;
      origin.relative = std::string(r.str());
      const ContentDigest d = read_digest(r);
      if (!r.ok()) break;
    // Commit writes below the root by the relative path: a forged file must
    // not name a path outside it, nor a root that is not one.
    if (!is_canonical_key(origin.relative) || !root.starts_with('/') ||
        root.find('\0') != std::string::npos) {
      r.fail(codec::damaged(kPartsDamaged, "the mount origin of '" + key + "' is not a plain path"));
      break;
    }
      origin.known = content(d);
      if (!origin.known) {
        r.fail(codec::damaged(kPartsDamaged, "the content of '" + key + "' is not stored"));
        break;
      }
      auto [it, added] = roots.try_emplace(root, nullptr);
      if (added) it->second = std::make_shared<const std::string>(root);
      origin.root = it->second;
      s.origins.insert_or_assign(std::move(key), std::move(origin));
    }
    if (r.ok() && r.remaining() != 0) r.fail(codec::damaged(kPartsDamaged, "bytes follow its end"));
    if (!r.ok()) return fail(*r.error());
    into->label = std::move(s.label);
    into->first_files = std::move(s.first_files);
    into->packages = std::move(s.packages);
    into->origins = std::move(s.origins);
    return {};
  });
}

SessionJournal journal_between(const std::vector<Checkpoint>& stored,
                               const std::vector<Checkpoint>& now, std::uint64_t current_id,
                               DigestCache* cache) {
  SessionJournal j;
  j.current_id = current_id;
  ContentList contents(j.contents, cache);
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
