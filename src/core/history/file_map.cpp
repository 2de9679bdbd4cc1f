// The implementation of file_map.h; its role and contract are stated there.

#include "core/history/file_map.h"

#include <algorithm>
#include <bit>
#include <functional>

namespace vesk {

// A trie node. Each level consumes five bits of the key's 64-bit hash: a set
// bit in `datamap` means an entry stored here for that fragment, a set bit in
// `nodemap` a child holding several keys that share it. Entries and children
// are kept in bit order. Below the last level (hash bits exhausted) a
// collision node holds all its entries in a plain list.
struct FileMap::Node {
  std::uint32_t datamap = 0;
  std::uint32_t nodemap = 0;
  bool collision = false;
  std::vector<value_type> entries;
  std::vector<NodePtr> children;
};

namespace {

using Node = FileMap::Node;
using NodePtr = FileMap::NodePtr;
using Entry = FileMap::value_type;

constexpr unsigned kBits = 5;
constexpr unsigned kHashBits = 64;

std::uint64_t (*g_test_hash)(std::string_view) = nullptr;

std::uint64_t hash_key(std::string_view key) {
  if (g_test_hash != nullptr) [[unlikely]] return g_test_hash(key);
  return std::hash<std::string_view>{}(key);
}

std::uint32_t bit_for(std::uint64_t hash, unsigned shift) {
  return std::uint32_t{1} << ((hash >> shift) & 31u);
}

std::size_t index_of(std::uint32_t map, std::uint32_t bit) {
  return static_cast<std::size_t>(std::popcount(map & (bit - 1)));
}

std::shared_ptr<Node> copy_of(const Node& node) { return std::make_shared<Node>(node); }

// What an insert or erase did, so the map can keep its counts.
struct Delta {
  bool added = false;
  bool removed = false;
  std::uint64_t old_bytes = 0;
};

std::uint64_t bytes_of(const Content& c) { return c ? c->size() : 0; }

// A node holding two entries whose hashes agree below `shift`.
NodePtr pair_node(Entry a, std::uint64_t ha, Entry b, std::uint64_t hb, unsigned shift) {
  auto node = std::make_shared<Node>();
  if (shift >= kHashBits) {
    node->collision = true;
    node->entries.push_back(std::move(a));
    node->entries.push_back(std::move(b));
    return node;
  }
  const std::uint32_t ba = bit_for(ha, shift);
  const std::uint32_t bb = bit_for(hb, shift);
  if (ba == bb) {
    node->nodemap = ba;
    node->children.push_back(pair_node(std::move(a), ha, std::move(b), hb, shift + kBits));
  } else {
    node->datamap = ba | bb;
    if (ba < bb) {
      node->entries.push_back(std::move(a));
      node->entries.push_back(std::move(b));
    } else {
      node->entries.push_back(std::move(b));
      node->entries.push_back(std::move(a));
    }
  }
  return node;
}

NodePtr insert_node(const Node* node, std::uint64_t hash, unsigned shift, std::string&& key,
               Content&& content, Delta& delta) {
  if (node == nullptr) {
    auto fresh = std::make_shared<Node>();
    if (shift >= kHashBits) {
      fresh->collision = true;
    } else {
      fresh->datamap = bit_for(hash, shift);
    }
    fresh->entries.emplace_back(std::move(key), std::move(content));
    delta.added = true;
    return fresh;
  }
  if (node->collision) {
    auto copy = copy_of(*node);
    for (auto it = copy->entries.begin(); it != copy->entries.end(); ++it) {
      if (it->first == key) {
        delta.old_bytes = bytes_of(it->second);
        it->second = std::move(content);
        return copy;
      }
    }
    copy->entries.emplace_back(std::move(key), std::move(content));
    delta.added = true;
    return copy;
  }
  const std::uint32_t bit = bit_for(hash, shift);
  if (node->datamap & bit) {
    const std::size_t i = index_of(node->datamap, bit);
    const Entry& existing = node->entries[i];
    auto copy = copy_of(*node);
    if (existing.first == key) {
      delta.old_bytes = bytes_of(existing.second);
      copy->entries[i].second = std::move(content);
      return copy;
    }
    // Two keys share this fragment: push both one level down.
    Entry moved = copy->entries[i];
    const std::uint64_t moved_hash = hash_key(moved.first);
    copy->entries.erase(copy->entries.begin() + static_cast<std::ptrdiff_t>(i));
    copy->datamap &= ~bit;
    NodePtr child = pair_node(std::move(moved), moved_hash, Entry(std::move(key), std::move(content)),
                              hash, shift + kBits);
    copy->nodemap |= bit;
    copy->children.insert(copy->children.begin() +
                              static_cast<std::ptrdiff_t>(index_of(copy->nodemap, bit)),
                          std::move(child));
    delta.added = true;
    return copy;
  }
  if (node->nodemap & bit) {
    const std::size_t i = index_of(node->nodemap, bit);
    NodePtr child = insert_node(node->children[i].get(), hash, shift + kBits, std::move(key),
                           std::move(content), delta);
    auto copy = copy_of(*node);
    copy->children[i] = std::move(child);
    return copy;
  }
  auto copy = copy_of(*node);
  copy->datamap |= bit;
  copy->entries.emplace(
      copy->entries.begin() + static_cast<std::ptrdiff_t>(index_of(copy->datamap, bit)),
      std::move(key), std::move(content));
  delta.added = true;
  return copy;
}

// Returns the node without `key`: the same pointer when the key is absent,
// nullptr when nothing is left.
NodePtr erase_node(const NodePtr& node, std::uint64_t hash, unsigned shift, std::string_view key,
              Delta& delta) {
  if (node->collision) {
    for (std::size_t i = 0; i < node->entries.size(); ++i) {
      if (node->entries[i].first != key) continue;
      delta.removed = true;
      delta.old_bytes = bytes_of(node->entries[i].second);
      if (node->entries.size() == 1) return nullptr;
      auto copy = copy_of(*node);
      copy->entries.erase(copy->entries.begin() + static_cast<std::ptrdiff_t>(i));
      return copy;
    }
    return node;
  }
  const std::uint32_t bit = bit_for(hash, shift);
  if (node->datamap & bit) {
    const std::size_t i = index_of(node->datamap, bit);
    if (node->entries[i].first != key) return node;
    delta.removed = true;
    delta.old_bytes = bytes_of(node->entries[i].second);
    if (node->entries.size() == 1 && node->children.empty()) return nullptr;
    auto copy = copy_of(*node);
    copy->entries.erase(copy->entries.begin() + static_cast<std::ptrdiff_t>(i));
    copy->datamap &= ~bit;
    return copy;
  }
  if (node->nodemap & bit) {
    const std::size_t i = index_of(node->nodemap, bit);
    NodePtr child = erase_node(node->children[i], hash, shift + kBits, key, delta);
    if (child == node->children[i]) return node;
    auto copy = copy_of(*node);
    if (child == nullptr) {
      copy->children.erase(copy->children.begin() + static_cast<std::ptrdiff_t>(i));
      copy->nodemap &= ~bit;
      if (copy->children.empty() && copy->entries.empty()) return nullptr;
    } else if (child->children.empty() && child->entries.size() == 1) {
      // A child left with one entry folds back into this node, keeping the
      // trie as shallow as its keys require.
      copy->children.erase(copy->children.begin() + static_cast<std::ptrdiff_t>(i));
      copy->nodemap &= ~bit;
      copy->datamap |= bit;
      copy->entries.insert(
          copy->entries.begin() + static_cast<std::ptrdiff_t>(index_of(copy->datamap, bit)),
          child->entries.front());
    } else {
      copy->children[i] = std::move(child);
    }
    return copy;
  }
  return node;
}

using Difference = FileMap::Difference;

bool same_bytes(const Content& a, const Content& b) {
  if (a == b) return true;
  const std::string_view x = a ? std::string_view(*a) : std::string_view();
  const std::string_view y = b ? std::string_view(*b) : std::string_view();
  return x == y;  // lengths first, then bytes
}

template <typename F>
void for_each_entry(const Node* node, const F& f) {
  for (const Entry& e : node->entries) f(e);
  for (const NodePtr& child : node->children) for_each_entry(child.get(), f);
}

void collect_entries(const Node* node, std::vector<const Entry*>& out) {
  for_each_entry(node, [&](const Entry& e) { out.push_back(&e); });
}

// Walks two tries in parallel. Nodes at the same depth and slot cover the
// same hash prefix, so any key of one lies, if anywhere, below the node at the
// same place in the other; a slot may hold an entry on one side and a child on
// the other, or, if a trie is not as shallow as it could be, a child holding a
// single key.
class Differ {
 public:
  Differ(std::vector<Difference>& out, bool by_object) : out_(out), by_object_(by_object) {}

  void nodes(const Node* a, const Node* b) {
    if (a == b) return;
    if (a == nullptr) return for_each_entry(b, [this](const Entry& e) { added(e); });
    if (b == nullptr) return for_each_entry(a, [this](const Entry& e) { removed(e); });
    // Collision lists are short and unordered: compare them as plain sets.
    if (a->collision || b->collision) return flat(a, b);
    for (std::uint32_t slots = a->datamap | a->nodemap | b->datamap | b->nodemap; slots != 0;
         slots &= slots - 1) {
      const std::uint32_t bit = slots & (~slots + 1);
      const Entry* ea = (a->datamap & bit) ? &a->entries[index_of(a->datamap, bit)] : nullptr;
      const Entry* eb = (b->datamap & bit) ? &b->entries[index_of(b->datamap, bit)] : nullptr;
      const Node* na = (a->nodemap & bit) ? a->children[index_of(a->nodemap, bit)].get() : nullptr;
      const Node* nb = (b->nodemap & bit) ? b->children[index_of(b->nodemap, bit)].get() : nullptr;
      if (ea != nullptr && eb != nullptr) {
        entries(*ea, *eb);
      } else if (ea != nullptr) {
        entry_against(*ea, nb, /*entry_in_from=*/true);
      } else if (eb != nullptr) {
        entry_against(*eb, na, /*entry_in_from=*/false);
      } else {
        nodes(na, nb);
      }
    }
  }

 private:
  void added(const Entry& e) { out_.push_back({e.first, nullptr, &e.second}); }
  void removed(const Entry& e) { out_.push_back({e.first, &e.second, nullptr}); }
  void compare(const Entry& a, const Entry& b) {
    const bool same = by_object_ ? a.second == b.second : same_bytes(a.second, b.second);
    if (!same) out_.push_back({a.first, &a.second, &b.second});
  }

  void entries(const Entry& a, const Entry& b) {
    if (a.first == b.first) return compare(a, b);
    removed(a);
    added(b);
  }

  // One entry against everything below `subtree` (nullptr: nothing) on the
  // other side.
  void entry_against(const Entry& e, const Node* subtree, bool entry_in_from) {
    bool found = false;
    if (subtree != nullptr) {
      for_each_entry(subtree, [&](const Entry& other) {
        if (other.first == e.first) {
          found = true;
          return entry_in_from ? compare(e, other) : compare(other, e);
        }
        entry_in_from ? added(other) : removed(other);
      });
    }
    if (!found) entry_in_from ? removed(e) : added(e);
  }

  void flat(const Node* a, const Node* b) {
    std::vector<const Entry*> xs, ys;
    collect_entries(a, xs);
    collect_entries(b, ys);
    const auto by_key = [](const Entry* x, const Entry* y) { return x->first < y->first; };
    std::sort(xs.begin(), xs.end(), by_key);
    std::sort(ys.begin(), ys.end(), by_key);
    std::size_t i = 0, j = 0;
    while (i < xs.size() || j < ys.size()) {
      if (j == ys.size() || (i < xs.size() && xs[i]->first < ys[j]->first)) {
        removed(*xs[i++]);
      } else if (i == xs.size() || ys[j]->first < xs[i]->first) {
        added(*ys[j++]);
      } else {
        compare(*xs[i++], *ys[j++]);
      }
    }
  }

  std::vector<Difference>& out_;
  bool by_object_;
};

}  // namespace

void set_file_map_hash_for_testing(std::uint64_t (*hash)(std::string_view key)) {
  g_test_hash = hash;
}

const Content* FileMap::find(std::string_view key) const {
  const std::uint64_t hash = hash_key(key);
  const Node* node = root_.get();
  unsigned shift = 0;
  while (node != nullptr) {
    if (node->collision) {
      for (const Entry& e : node->entries) {
        if (e.first == key) return &e.second;
      }
      return nullptr;
    }
    const std::uint32_t bit = bit_for(hash, shift);
    if (node->datamap & bit) {
      const Entry& e = node->entries[index_of(node->datamap, bit)];
      return e.first == key ? &e.second : nullptr;
    }
    if (!(node->nodemap & bit)) return nullptr;
    node = node->children[index_of(node->nodemap, bit)].get();
    shift += kBits;
  }
  return nullptr;
}

void FileMap::set(std::string key, Content content) {
  const std::uint64_t hash = hash_key(key);
  const std::uint64_t new_bytes = bytes_of(content);
  Delta delta;
  root_ = insert_node(root_.get(), hash, 0, std::move(key), std::move(content), delta);
  if (delta.added) ++size_;
  total_bytes_ = total_bytes_ - delta.old_bytes + new_bytes;
}

bool FileMap::erase(std::string_view key) {
  if (!root_) return false;
  Delta delta;
  root_ = erase_node(root_, hash_key(key), 0, key, delta);
  if (!delta.removed) return false;
  --size_;
  total_bytes_ -= delta.old_bytes;
  return true;
}

FileMap::const_iterator FileMap::begin() const {
  const_iterator it;
  if (root_) {
    it.stack_.push_back({root_.get(), 0});
    it.settle();
  }
  return it;
}

const FileMap::value_type& FileMap::const_iterator::operator*() const {
  const Frame& f = stack_.back();
  return f.node->entries[f.index];
}

FileMap::const_iterator& FileMap::const_iterator::operator++() {
  ++stack_.back().index;
  settle();
  return *this;
}

bool FileMap::const_iterator::operator==(const const_iterator& other) const {
  if (stack_.empty() || other.stack_.empty()) return stack_.empty() == other.stack_.empty();
  return stack_.back().node == other.stack_.back().node &&
         stack_.back().index == other.stack_.back().index;
}

// Moves down or up until the top frame points at an entry, or the walk ends.
void FileMap::const_iterator::settle() {
  while (!stack_.empty()) {
    Frame& f = stack_.back();
    const std::size_t n = f.node->entries.size();
    if (f.index < n) return;
    const std::size_t child = f.index - n;
    if (child < f.node->children.size()) {
      ++f.index;
      stack_.push_back({f.node->children[child].get(), 0});
      continue;
    }
    stack_.pop_back();
  }
}

std::vector<std::string_view> FileMap::sorted_keys() const {
  std::vector<std::string_view> keys;
  keys.reserve(size_);
  for (const auto& [key, content] : *this) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<FileMap::Difference> FileMap::diff(const FileMap& from, const FileMap& to,
                                               Compare compare) {
  std::vector<Difference> out;
  Differ(out, compare == Compare::kObjects).nodes(from.root_.get(), to.root_.get());
  return out;
}

bool FileMap::operator==(const FileMap& other) const {
  if (size_ != other.size_ || total_bytes_ != other.total_bytes_) return false;
  if (root_ == other.root_) return true;
  for (const auto& [key, content] : *this) {
    const Content* theirs = other.find(key);
    if (theirs == nullptr) return false;
    if (*theirs != content && **theirs != *content) return false;
  }
  return true;
}

}  // namespace vesk
