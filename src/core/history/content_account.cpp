// The implementation of content_account.h; its role and contract are stated there.

#include "core/history/content_account.h"

namespace vesk {

void ContentAccount::count(const Content& content, int delta) {
  const std::string* object = content.get();
  if (object == nullptr) return;
  if (delta > 0) {
    if (starts_[object]++ == 0) bytes_ += object->size();
    return;
  }
  auto it = starts_.find(object);
  // Taking back what was never counted would be a fault of the owner; the
  // account stays as it is rather than wrapping.
  if (it == starts_.end()) return;
  if (--it->second == 0) {
    bytes_ -= object->size();
    starts_.erase(it);
  }
}

void ContentAccount::step(const FileMap* from, const FileMap& to, int delta) {
  if (from == nullptr) {
    for (const auto& [key, content] : to) count(content, delta);
    return;
  }
  for (const FileMap::Difference& d : FileMap::diff(*from, to, FileMap::Compare::kObjects)) {
    if (d.to != nullptr) count(*d.to, delta);
  }
}

void ContentAccount::add_unshared(std::uint64_t bytes, int delta) {
  if (delta > 0) {
    bytes_ += bytes;
  } else {
    bytes_ -= bytes;
  }
}

}  // namespace vesk
