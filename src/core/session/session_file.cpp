// The implementation of session_file.h; its role and contract are stated there.

#include "core/session/session_file.h"

#include "core/base/byte_codec.h"
#include "core/history/key.h"

#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

namespace vesk {

namespace {

using codec::Reader;
using codec::Writer;

constexpr std::string_view kMagic = "VESKSESS";
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 8 + 32;

Error damaged(std::string what) {
  return Error::message("session file is damaged: " + std::move(what));
}

// Every distinct content once: by object first (the history shares them),
// then by digest (equal bytes held by two objects).
class ContentTable {
 public:
  std::uint64_t index_of(const Content& content) {
    const std::string* object = content ? content.get() : &empty_;
    if (auto it = by_object_.find(object); it != by_object_.end()) return it->second;
    const ContentDigest digest = content_digest(*object);
    auto [it, added] = by_digest_.try_emplace(digest, entries_.size());
    if (added) entries_.emplace_back(digest, object);
    by_object_.emplace(object, it->second);
    return it->second;
  }
  const std::vector<std::pair<ContentDigest, const std::string*>>& entries() const {
    return entries_;
  }

 private:
  const std::string empty_;
  std::unordered_map<const std::string*, std::uint64_t> by_object_;
  std::map<ContentDigest, std::uint64_t> by_digest_;
  std::vector<std::pair<ContentDigest, const std::string*>> entries_;
};

// `to` as its change from `from`: removed keys, then set keys.
void write_map_change(Writer& w, ContentTable& table, const FileMap& from, const FileMap& to) {
  std::vector<std::string_view> removed;
  std::vector<std::pair<std::string_view, std::uint64_t>> set;
  for (const FileMap::Difference& d : FileMap::diff(from, to)) {
    if (d.to == nullptr) {
      removed.push_back(d.key);
    } else {
      set.emplace_back(d.key, table.index_of(*d.to));
    }
  }
  w.u64(removed.size());
  for (std::string_view key : removed) w.str(key);
  w.u64(set.size());
  for (const auto& [key, index] : set) {
    w.str(key);
    w.u64(index);
  }
}

struct Contents {
  std::vector<Content> items;
  std::vector<bool> bad;  // does not match its digest

  // The content at `index` for `key`, failing the reader when there is none
  // or it is damaged.
  Content get(Reader& r, std::uint64_t index, std::string_view key) const {
    if (index >= items.size()) {
      r.fail(damaged("'" + std::string(key) + "' refers to a content that is not stored"));
      return nullptr;
    }
    if (bad[index]) {
      r.fail(damaged("content of '" + std::string(key) + "' does not match its hash"));
      return nullptr;
    }
    return items[index];
  }
};

void read_map_change(Reader& r, const Contents& contents, FileMap& map) {
  const std::uint64_t removed = r.count(8);
  for (std::uint64_t i = 0; i < removed && r.ok(); ++i) {
    std::string_view key = r.str();
    if (r.ok() && !map.erase(key)) {
      r.fail(damaged("a checkpoint removes '" + std::string(key) + "', which it does not hold"));
    }
  }
  const std::uint64_t set = r.count(16);
  for (std::uint64_t i = 0; i < set && r.ok(); ++i) {
    std::string_view key = r.str();
    const std::uint64_t index = r.u64();
    if (!r.ok()) break;
    Content content = contents.get(r, index, key);
    if (content) map.set(std::string(key), std::move(content));
  }
}

Result<SavedSession> decode_body(std::string_view body) {
  Reader r(body);
  SavedSession s;
  s.label = r.opt_str();

  Contents contents;
  const std::uint64_t n = r.count(32 + 8);
  contents.items.reserve(n);
  contents.bad.reserve(n);
  for (std::uint64_t i = 0; i < n && r.ok(); ++i) {
    std::string_view digest = r.raw(32);
    std::string_view bytes = r.str();
    if (!r.ok()) break;
    const ContentDigest actual = content_digest(bytes);
    contents.bad.push_back(std::memcmp(actual.data(), digest.data(), actual.size()) != 0);
    contents.items.push_back(make_content(std::string(bytes)));
  }

  if (r.present()) {
    FileMap first;
    read_map_change(r, contents, first);
    s.first_files = std::move(first);
  }

  // The smallest checkpoint: id, two empty texts, two absent options, a map
  // of no change.
  const std::uint64_t checkpoints = r.count(8 + 8 + 8 + 1 + 1 + 8 + 8);
  if (r.ok() && checkpoints == 0) r.fail(damaged("the history is empty"));
  s.checkpoints.reserve(checkpoints);
  FileMap files;
  for (std::uint64_t i = 0; i < checkpoints && r.ok(); ++i) {
    Checkpoint c;
    c.id = r.u64();
    if (r.ok() && !s.checkpoints.empty() && c.id <= s.checkpoints.back().id) {
      r.fail(damaged("checkpoint ids are not increasing"));
    }
    c.stdout_text = std::string(r.str());
    c.stderr_text = std::string(r.str());
    c.label = r.opt_str();
    if (r.present()) c.exit_code = static_cast<std::int32_t>(static_cast<std::uint32_t>(r.u64()));
    read_map_change(r, contents, files);
    c.files = files;
    s.checkpoints.push_back(std::move(c));
  }
  s.current_id = r.u64();
  if (r.ok()) {
    bool found = false;
    for (const Checkpoint& c : s.checkpoints) found = found || c.id == s.current_id;
    if (!found) r.fail(damaged("the current checkpoint is not in the history"));
    const bool first_forgotten = s.checkpoints.front().id != 0;
    if (first_forgotten != s.first_files.has_value()) {
      r.fail(damaged("checkpoint 0's files are missing or out of place"));
    }
  }

  const std::uint64_t packages = r.count(9);
  for (std::uint64_t i = 0; i < packages && r.ok(); ++i) {
    std::string package(r.str());
    if (r.present()) {
      FileMap wheel;
      read_map_change(r, contents, wheel);
      s.packages.emplace_back(std::move(package), std::move(wheel));
    } else {
      s.packages.emplace_back(std::move(package));
    }
  }

  const std::uint64_t origins = r.count(32);
  std::unordered_map<std::string, std::shared_ptr<const std::string>> roots;
  for (std::uint64_t i = 0; i < origins && r.ok(); ++i) {
    std::string key(r.str());
    std::string root(r.str());
    MountOrigin origin;
    origin.relative = std::string(r.str());
    const std::uint64_t index = r.u64();
    if (!r.ok()) break;
    // Commit writes below the root by the relative path: a forged file must
    // not name a path outside it, nor a root that is not one.
    if (!is_canonical_key(origin.relative) || !root.starts_with('/') ||
        root.find('\0') != std::string::npos) {
      r.fail(damaged("the mount origin of '" + key + "' is not a plain path"));
      break;
    }
    origin.known = contents.get(r, index, key);
    auto [it, added] = roots.try_emplace(root, nullptr);
    if (added) it->second = std::make_shared<const std::string>(root);
    origin.root = it->second;
    s.origins.insert_or_assign(std::move(key), std::move(origin));
  }

  if (r.present()) {
    ParkImage image;
    image.size = r.u64();
    image.compressed = std::string(r.str());
    s.image = std::move(image);
  }
  if (r.ok() && r.remaining() != 0) r.fail(damaged("bytes follow the end of its contents"));
  if (r.ok()) {
    for (bool bad : contents.bad) {
      if (bad) r.fail(damaged("a stored content does not match its hash"));
    }
  }
  if (!r.ok()) return fail(*r.error());
  return s;
}

}  // namespace

ContentDigest content_digest(std::string_view bytes) {
  ContentDigest digest{};
  unsigned int size = 0;
  // SHA-256 through the one-shot call cannot fail but for memory, which
  // would leave the digest zero: such a content then fails to verify.
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr);
  return digest;
}

std::string encode_session(const SavedSession& s) {
  ContentTable table;
  // Contents are gathered while the records are written, then placed
  // before them: the body is the label, the contents, then `records`.
  std::string records;
  Writer w(records);
  if (s.first_files) {
    w.u8(1);
    write_map_change(w, table, FileMap(), *s.first_files);
  } else {
    w.u8(0);
  }
  w.u64(s.checkpoints.size());
  const FileMap empty;
  const FileMap* previous = &empty;
  for (const Checkpoint& c : s.checkpoints) {
    w.u64(c.id);
    w.str(c.stdout_text.str());
    w.str(c.stderr_text.str());
    w.opt_str(c.label);
    w.u8(c.exit_code ? 1 : 0);
    if (c.exit_code) w.u64(static_cast<std::uint32_t>(*c.exit_code));
    write_map_change(w, table, *previous, c.files);
    previous = &c.files;
  }
  w.u64(s.current_id);
  w.u64(s.packages.size());
  for (const PackageRecord& p : s.packages) {
    w.str(p.package);
    w.u8(p.files ? 1 : 0);
    if (p.files) write_map_change(w, table, FileMap(), *p.files);
  }
  w.u64(s.origins.size());
  for (const auto& [key, origin] : s.origins) {
    w.str(key);
    w.str(origin.root ? std::string_view(*origin.root) : std::string_view());
    w.str(origin.relative);
    w.u64(table.index_of(origin.known));
  }
  w.u8(s.image ? 1 : 0);
  if (s.image) {
    w.u64(s.image->size);
    w.str(s.image->compressed);
  }

  std::uint64_t content_bytes = 0;
  for (const auto& entry : table.entries()) content_bytes += 40 + entry.second->size();
  // The header goes in front of the body once the body is known, in place:
  // a large session is never held twice.
  std::string out(kHeaderSize, '\0');
  out.reserve(kHeaderSize + 9 + (s.label ? s.label->size() : 0) + 8 + content_bytes +
              records.size());
  Writer b(out);
  b.opt_str(s.label);
  b.u64(table.entries().size());
  for (const auto& [digest, bytes] : table.entries()) {
    b.raw(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
    b.str(*bytes);
  }
  b.raw(records);
  records = std::string();

  std::string header;
  Writer h(header);
  h.raw(kMagic);
  h.u32(kSessionFileVersion);
  h.u32(0);
  h.u64(out.size() - kHeaderSize);
  const ContentDigest sum = content_digest(std::string_view(out).substr(kHeaderSize));
  h.raw(std::string_view(reinterpret_cast<const char*>(sum.data()), sum.size()));
  out.replace(0, kHeaderSize, header);
  return out;
}

Result<SavedSession> decode_session(std::string_view bytes) {
  return guard([&]() -> Result<SavedSession> {
    if (bytes.size() < kMagic.size()) {
      if (!bytes.empty() && kMagic.starts_with(bytes)) {
        return fail_message("session file is truncated");
      }
      return fail_message("not a vesk session file");
    }
    if (!bytes.starts_with(kMagic)) return fail_message("not a vesk session file");
    if (bytes.size() < kHeaderSize) return fail_message("session file is truncated");
    // The version is the low half of the first word, the flags its high half.
    Reader header(bytes.substr(kMagic.size(), kHeaderSize - kMagic.size()));
    const std::uint64_t word = header.u64();
    const auto file_version = static_cast<std::uint32_t>(word & 0xffffffffu);
    const auto file_flags = static_cast<std::uint32_t>(word >> 32);
    if (file_version != kSessionFileVersion) {
      return fail_message("session file version " + std::to_string(file_version) +
                          " is not supported (this build reads " +
                          std::to_string(kSessionFileVersion) + ")");
    }
    if (file_flags != 0) return fail(damaged("unknown flags in its header"));
    const std::uint64_t length = header.u64();
    const std::string_view digest = bytes.substr(kHeaderSize - 32, 32);
    const std::string_view rest = bytes.substr(kHeaderSize);
    if (length > rest.size()) return fail_message("session file is truncated");
    if (length < rest.size()) return fail(damaged("bytes follow the end of its contents"));
    const ContentDigest sum = content_digest(rest);
    if (std::memcmp(sum.data(), digest.data(), sum.size()) != 0) {
      return fail(damaged("checksum mismatch"));
    }
    return decode_body(rest);
  });
}

}  // namespace vesk
