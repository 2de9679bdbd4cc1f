// File maps: the complete set of files of one workspace state.
//
// A FileMap maps workspace keys (UTF-8 text, compared byte for byte) to shared
// contents. Contents are immutable byte strings behind std::shared_ptr, whose
// counts are atomic, so a content may be read on any thread that holds it.
//
// FileMap is a persistent hash trie: copying one is O(1) and shares all of its
// structure; set() and erase() copy only the path to the changed entry. A
// history of many checkpoints of a large workspace therefore costs little
// more than its distinct contents, while every FileMap still behaves as an
// independent value. Iteration order is unspecified (it follows the keys'
// hashes) and must not be relied on. Two maps that descend from one another
// share every subtree neither side has touched since, which lets diff() skip
// those subtrees by pointer.
#ifndef VESK_CORE_HISTORY_FILE_MAP_H_
#define VESK_CORE_HISTORY_FILE_MAP_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesk {

using Content = std::shared_ptr<const std::string>;

// A new shared content holding `bytes` (moved, not copied).
inline Content make_content(std::string bytes) {
  return std::make_shared<const std::string>(std::move(bytes));
}

class FileMap {
 public:
  using value_type = std::pair<std::string, Content>;
  struct Node;
  using NodePtr = std::shared_ptr<const Node>;

  // Forward iterator over the entries; valid while the map it came from (or a
  // copy sharing its structure) is alive and unchanged.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = FileMap::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    const_iterator() = default;
    reference operator*() const;
    pointer operator->() const { return &**this; }
    const_iterator& operator++();
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const const_iterator& other) const;

   private:
    friend class FileMap;
    struct Frame {
      const Node* node;
      std::size_t index;  // position in the node's entries, then its children
    };
    void settle();
    std::vector<Frame> stack_;
  };

  FileMap() = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The sum of the lengths of all contents, a content shared by several keys
  // counted once per key.
  std::uint64_t total_bytes() const { return total_bytes_; }

  // The content stored under `key`, or nullptr.
  const Content* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Inserts `key`, or replaces the content it has.
  void set(std::string key, Content content);
  // Removes `key`; false if it was not there.
  bool erase(std::string_view key);

  const_iterator begin() const;
  const_iterator end() const { return const_iterator(); }

  // The keys in ascending byte order.
  std::vector<std::string_view> sorted_keys() const;

  // Same keys with byte-equal contents.
  bool operator==(const FileMap& other) const;

  // One key whose content differs between two maps. `from` is nullptr when
  // the key was added, `to` is nullptr when it was removed; both are set when
  // the contents differ (see Compare below). The key and the
  // pointers point into the maps' nodes: valid while both maps (or copies
  // sharing their structure) are alive and unchanged.
  struct Difference {
    std::string_view key;
    const Content* from;
    const Content* to;
  };

  // Every key whose content differs from `from` to `to`, each once, in an
  // unspecified order. Contents that are different objects with equal bytes
  // count as unchanged (kBytes, the default). Subtrees the two maps share are skipped without being
  // read, so for maps that descend from one another the cost follows the
  // changed keys: about the trie depth (log32 of the size) times 32 slots for
  // each of them, plus the byte comparison of contents replaced by other
  // objects; unrelated maps cost a walk of both. Throws only std::bad_alloc.
  //
  // With kObjects, contents count as unchanged only when they are the same
  // object, so no bytes are compared: what an account of the objects a map
  // holds needs.
  enum class Compare { kBytes, kObjects };
  static std::vector<Difference> diff(const FileMap& from, const FileMap& to,
                                      Compare compare = Compare::kBytes);

 private:
  NodePtr root_;
  std::size_t size_ = 0;
  std::uint64_t total_bytes_ = 0;
};

// For tests only: hashes keys with `hash` instead of the standard hash
// (nullptr restores it), so that tests can build any trie shape, full
// collisions included. Not thread-safe; every map built under one hash must be
// destroyed before another is installed.
void set_file_map_hash_for_testing(std::uint64_t (*hash)(std::string_view key));

}  // namespace vesk

#endif  // VESK_CORE_HISTORY_FILE_MAP_H_
