// The implementation of checkpoint.h; its role and contract are stated there.

#include "core/history/checkpoint.h"

#include <algorithm>

#include <bit>
#include <cstring>

namespace vesk {

namespace {

// SipHash with one compression round per word and three finalisation rounds.
class SipHash13 {
 public:
  SipHash13(std::uint64_t k0, std::uint64_t k1)
      : v0_(k0 ^ 0x736f6d6570736575ULL),
        v1_(k1 ^ 0x646f72616e646f6dULL),
        v2_(k0 ^ 0x6c7967656e657261ULL),
        v3_(k1 ^ 0x7465646279746573ULL) {}

  void word(std::uint64_t m) {
    v3_ ^= m;
    round();
    v0_ ^= m;
  }

  std::uint64_t finish(std::uint64_t last_word) {
    word(last_word);
    v2_ ^= 0xff;
    round();
    round();
    round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  void round() {
    v0_ += v1_;
    v1_ = std::rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = std::rotl(v0_, 32);
    v2_ += v3_;
    v3_ = std::rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = std::rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = std::rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = std::rotl(v2_, 32);
  }

  std::uint64_t v0_, v1_, v2_, v3_;
};

std::uint64_t load_le64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

}  // namespace

std::uint64_t file_content_hash(std::string_view bytes) {
  SipHash13 h(0, 0);
  // The message is the length (one little-endian word) followed by the bytes.
  h.word(static_cast<std::uint64_t>(bytes.size()));
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 8; p += 8, n -= 8) h.word(load_le64(p));
  std::uint64_t last = static_cast<std::uint64_t>((bytes.size() + 8) & 0xff) << 56;
  for (std::size_t i = 0; i < n; ++i) last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  return h.finish(last);
}

Content BlobStore::lookup(std::uint64_t hash, std::string_view bytes) const {
  auto it = entries_.find(hash);
  if (it == entries_.end()) return nullptr;
  Content stored = it->second.lock();
  if (stored && *stored == bytes) return stored;
  return nullptr;
}

Content BlobStore::intern_bytes(std::string bytes) {
  const std::uint64_t hash = file_content_hash(bytes);
  if (Content stored = lookup(hash, bytes)) return stored;
  Content fresh = make_content(std::move(bytes));
  entries_[hash] = fresh;
  sweep_if_grown();
  return fresh;
}

Content BlobStore::intern_shared(const Content& content) {
  const std::uint64_t hash = file_content_hash(*content);
  if (Content stored = lookup(hash, *content)) return stored;
  entries_[hash] = content;
  sweep_if_grown();
  return content;
}

void BlobStore::sweep_if_grown() {
  if (entries_.size() < sweep_at_) return;
  std::erase_if(entries_, [](const auto& entry) { return entry.second.expired(); });
  sweep_at_ = std::max(kFirstSweep, 2 * entries_.size());
}

FileMap BlobStore::intern_file_map(FileMap files, const FileMap* base) {
  if (base == nullptr) {
    FileMap out;
    for (const auto& [key, content] : files) out.set(key, intern_shared(content));
    return out;
  }
  // Start from the base and change only what differs: most files of a run
  // come back unchanged, and comparing them is far cheaper than hashing (the
  // base's contents are interned already).
  FileMap out = *base;
  for (const auto& [key, content] : files) {
    const Content* before = base->find(key);
    if (before != nullptr && (*before == content || **before == *content)) continue;
    out.set(key, intern_shared(content));
  }
  if (out.size() != files.size()) {
    std::vector<std::string> gone;
    for (const auto& [key, content] : *base) {
      if (!files.contains(key)) gone.push_back(key);
    }
    for (const std::string& key : gone) out.erase(key);
  }
  return out;
}

}  // namespace vesk
