// The account of the distinct contents a history holds.
//
// A history's checkpoints share contents (one object for equal bytes, the
// blob store's doing), so its memory is the sum of the lengths of the
// distinct content objects its file maps hold, not of every map's files.
// Walking every map after each change would cost the whole workspace times
// the checkpoints; the account instead counts, for each content object, the
// places where a run of checkpoints holding it under one key begins: in the
// first map for every key, and in each later map for the keys whose content
// object differs from the map before it. An object is held while its count
// is above zero. Neighbouring maps share structure, so each step is a
// FileMap::diff by object, whose cost follows the changed keys.
//
// The owner (History) tells the account of every map that enters or leaves
// the sequence and of every neighbour that changes; the account keeps raw
// addresses, which stay valid because an object whose count is above zero is
// held by a map of the sequence. Pure; not thread-safe.
#ifndef VESK_CORE_HISTORY_CONTENT_ACCOUNT_H_
#define VESK_CORE_HISTORY_CONTENT_ACCOUNT_H_

#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/history/file_map.h"

namespace vesk {

class ContentAccount {
 public:
  // The lengths of the distinct content objects held, plus the bytes added
  // by add_unshared.
  std::uint64_t bytes() const { return bytes_; }
  // How many distinct content objects are held.
  std::size_t objects() const { return starts_.size(); }

  // Counts (delta 1) or takes back (delta -1) the places where `to` begins a
  // run after `from`: its contents under the keys whose content object is
  // not the one `from` has (with `from` null, all of them).
  void step(const FileMap* from, const FileMap& to, int delta);
  // One such place, for `content`.
  void count(const Content& content, int delta);
  // Bytes held once per holder, outside any sharing (a checkpoint's output).
  void add_unshared(std::uint64_t bytes, int delta);

 private:
  std::unordered_map<const std::string*, std::uint64_t> starts_;
  std::uint64_t bytes_ = 0;
};

}  // namespace vesk

#endif  // VESK_CORE_HISTORY_CONTENT_ACCOUNT_H_
