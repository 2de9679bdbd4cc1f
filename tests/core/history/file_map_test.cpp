#include "core/history/file_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vesk {
namespace {

std::map<std::string, std::string> as_std_map(const FileMap& m) {
  std::map<std::string, std::string> out;
  for (const auto& [key, content] : m) {
    EXPECT_TRUE(out.emplace(key, *content).second) << "key seen twice: " << key;
  }
  return out;
}

std::uint64_t total_of(const std::map<std::string, std::string>& m) {
  std::uint64_t total = 0;
  for (const auto& [k, v] : m) total += v.size();
  return total;
}

TEST(FileMapTest, BasicOperations) {
  FileMap m;
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.begin(), m.end());
  EXPECT_EQ(m.find("a"), nullptr);
  EXPECT_FALSE(m.erase("a"));

  m.set("a", make_content("xyz"));
  m.set("a/", make_content(""));
  m.set("./a", make_content("12"));
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m.total_bytes(), 5u);
  ASSERT_NE(m.find("a"), nullptr);
  EXPECT_EQ(**m.find("a"), "xyz");
  EXPECT_EQ(m.find("b"), nullptr);

  m.set("a", make_content("longer content"));
  EXPECT_EQ(m.size(), 3u);
  EXPECT_EQ(m.total_bytes(), 16u);
  EXPECT_TRUE(m.erase("a"));
  EXPECT_EQ(m.size(), 2u);
  EXPECT_EQ(m.total_bytes(), 2u);
  EXPECT_EQ(m.sorted_keys(), (std::vector<std::string_view>{"./a", "a/"}));
}

TEST(FileMapTest, CopiesAreIndependentValues) {
  FileMap a;
  for (int i = 0; i < 1000; ++i) a.set("f" + std::to_string(i), make_content(std::to_string(i)));
  FileMap b = a;
  b.set("f7", make_content("changed"));
  b.erase("f8");
  b.set("new", make_content("n"));
  EXPECT_EQ(**a.find("f7"), "7");
  EXPECT_NE(a.find("f8"), nullptr);
  EXPECT_EQ(a.find("new"), nullptr);
  EXPECT_EQ(a.size(), 1000u);
  EXPECT_EQ(b.size(), 1000u);
  EXPECT_EQ(**b.find("f7"), "changed");
  EXPECT_FALSE(a == b);
  // Untouched entries still share their content objects.
  EXPECT_EQ(a.find("f9")->get(), b.find("f9")->get());
}

TEST(FileMapTest, EqualityComparesBytesNotObjects) {
  FileMap a, b;
  a.set("k", make_content("same"));
  b.set("k", make_content("same"));
  EXPECT_TRUE(a == b);
  b.set("k", make_content("diff"));
  EXPECT_FALSE(a == b);
  b.set("k", make_content("same"));
  b.set("other", make_content(""));
  EXPECT_FALSE(a == b);
}

// Random operations checked against std::map, with snapshots taken along the
// way that must never change afterwards.
TEST(FileMapTest, MatchesAReferenceMapUnderRandomOperations) {
  std::mt19937_64 rng(12345);
  FileMap m;
  std::map<std::string, std::string> model;
  std::vector<std::pair<FileMap, std::map<std::string, std::string>>> snapshots;
  for (int step = 0; step < 20000; ++step) {
    const std::string key = "k" + std::to_string(rng() % 3000);
    switch (rng() % 4) {
      case 0:
      case 1: {
        std::string value(rng() % 20, static_cast<char>('a' + rng() % 26));
        m.set(key, make_content(value));
        model[key] = value;
        break;
      }
      case 2:
        EXPECT_EQ(m.erase(key), model.erase(key) == 1);
        break;
      case 3: {
        const Content* c = m.find(key);
        auto it = model.find(key);
        ASSERT_EQ(c != nullptr, it != model.end());
        if (c) {
          EXPECT_EQ(**c, it->second);
        }
        break;
      }
    }
    if (step % 2500 == 0) snapshots.emplace_back(m, model);
  }
  EXPECT_EQ(m.size(), model.size());
  EXPECT_EQ(m.total_bytes(), total_of(model));
  EXPECT_EQ(as_std_map(m), model);
  for (const auto& [snap, snap_model] : snapshots) {
    EXPECT_EQ(snap.size(), snap_model.size());
    EXPECT_EQ(snap.total_bytes(), total_of(snap_model));
    EXPECT_EQ(as_std_map(snap), snap_model);
  }
  // Emptying the map entirely leaves a usable empty map.
  for (const auto& [k, v] : model) EXPECT_TRUE(m.erase(k));
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.total_bytes(), 0u);
  EXPECT_EQ(m.begin(), m.end());
}

// ---- structural diff ----

using Model = std::map<std::string, std::string>;

// "+key" added, "-key" removed, "~key" changed, sorted. Checks on the way that
// each report points at the maps' own entries and names a real difference.
std::vector<std::string> describe(const FileMap& from, const FileMap& to) {
  std::vector<std::string> out;
  for (const FileMap::Difference& d : FileMap::diff(from, to)) {
    const Content* a = from.find(d.key);
    const Content* b = to.find(d.key);
    EXPECT_EQ(d.from, a) << d.key;
    EXPECT_EQ(d.to, b) << d.key;
    if (a && b) {
      EXPECT_NE(**a, **b) << d.key;
    }
    out.push_back((a == nullptr ? "+" : b == nullptr ? "-" : "~") + std::string(d.key));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The same, worked out from two models.
std::vector<std::string> naive_diff(const Model& from, const Model& to) {
  std::vector<std::string> out;
  for (const auto& [key, bytes] : from) {
    auto it = to.find(key);
    if (it == to.end()) {
      out.push_back("-" + key);
    } else if (it->second != bytes) {
      out.push_back("~" + key);
    }
  }
  for (const auto& [key, bytes] : to) {
    if (!from.contains(key)) out.push_back("+" + key);
  }
  std::sort(out.begin(), out.end());
  return out;
}

FileMap build(const Model& model) {
  FileMap m;
  for (auto it = model.rbegin(); it != model.rend(); ++it) {
    m.set(it->first, make_content(it->second));
  }
  return m;
}

// Keys "<hex>:<name>" hash to <hex>, which places them anywhere in the trie;
// equal numbers collide fully. Other keys keep the standard hash.
std::uint64_t hash_from_key(std::string_view key) {
  std::uint64_t h = 0;
  const auto r = std::from_chars(key.data(), key.data() + key.size(), h, 16);
  if (r.ec != std::errc() || r.ptr == key.data() + key.size() || *r.ptr != ':') {
    return std::hash<std::string_view>{}(key);
  }
  return h;
}

// Only 64 distinct hashes: thousands of keys make long collision lists and
// chains of single-child nodes down to them.
std::uint64_t crowded_hash(std::string_view key) {
  return std::hash<std::string_view>{}(key) % 64 * 0x0842108421084211u;
}

class FileMapDiffTest : public ::testing::Test {
 protected:
  void TearDown() override { set_file_map_hash_for_testing(nullptr); }
};

// Each case builds `from`, then `to` as a copy of it with `edits` applied
// (nullopt erases), so the two share what the edits left alone. The same
// difference must come out of a `to` rebuilt from scratch (nothing shared,
// equal contents in other objects), and its inverse with the sides swapped.
TEST_F(FileMapDiffTest, Cases) {
  set_file_map_hash_for_testing(hash_from_key);
  const struct {
    const char* name;
    Model from;
    std::vector<std::pair<std::string, std::optional<std::string>>> edits;
    std::vector<std::string> expected;
  } cases[] = {
      {"both empty", {}, {}, {}},
      {"into an empty map", {}, {{"a", "1"}, {"b", ""}}, {"+a", "+b"}},
      {"everything erased", {{"a", "1"}, {"b", ""}}, {{"a", {}}, {"b", {}}}, {"-a", "-b"}},
      {"content changed", {{"a", "1"}, {"b", "2"}}, {{"a", "one"}}, {"~a"}},
      {"same length, other bytes", {{"a", "1"}}, {{"a", "2"}}, {"~a"}},
      {"same bytes in another object", {{"a", "1"}, {"b", "2"}}, {{"a", "1"}}, {}},
      {"added then erased", {{"a", "1"}}, {{"n", "x"}, {"n", {}}}, {}},
      {"erased then put back", {{"a", "1"}, {"b", "2"}}, {{"a", {}}, {"a", "1"}}, {}},
      {"entry pushed down beside a new key", {{"1:a", "1"}}, {{"21:b", "2"}}, {"+21:b"}},
      {"entry pushed down and changed", {{"1:a", "1"}}, {{"21:b", "2"}, {"1:a", "x"}},
       {"+21:b", "~1:a"}},
      {"subtree folded into an entry", {{"1:a", "1"}, {"21:b", "2"}}, {{"21:b", {}}}, {"-21:b"}},
      {"entry against a subtree without it", {{"1:a", "1"}},
       {{"1:a", {}}, {"21:b", "2"}, {"41:c", "3"}}, {"+21:b", "+41:c", "-1:a"}},
      {"keys apart only in the last fragment", {{"0:a", "1"}, {"1000000000000000:b", "2"}},
       {{"0:a", "x"}, {"2000000000000000:c", "3"}}, {"+2000000000000000:c", "~0:a"}},
      {"collision list edited", {{"5:a", "1"}, {"5:b", "2"}},
       {{"5:c", "3"}, {"5:a", "x"}, {"5:b", {}}}, {"+5:c", "-5:b", "~5:a"}},
      {"entry against a collision list", {{"5:a", "1"}}, {{"5:b", "2"}}, {"+5:b"}},
      {"collision list folded back", {{"5:a", "1"}, {"5:b", "2"}, {"6:c", "3"}}, {{"5:b", {}}},
       {"-5:b"}},
      {"collision list against one key", {{"5:a", "1"}, {"5:b", "2"}},
       {{"5:a", {}}, {"5:b", {}}, {"5:c", "1"}}, {"+5:c", "-5:a", "-5:b"}},
  };
  for (const auto& tc : cases) {
    const FileMap from = build(tc.from);
    FileMap to = from;
    Model model = tc.from;
    for (const auto& [key, bytes] : tc.edits) {
      if (bytes) {
        to.set(key, make_content(*bytes));
        model[key] = *bytes;
      } else {
        to.erase(key);
        model.erase(key);
      }
    }
    ASSERT_EQ(naive_diff(tc.from, model), tc.expected) << tc.name;
    EXPECT_EQ(describe(from, to), tc.expected) << tc.name;
    EXPECT_EQ(describe(from, build(model)), tc.expected) << tc.name;
    EXPECT_EQ(describe(to, from), naive_diff(model, tc.from)) << tc.name;
  }
}

TEST_F(FileMapDiffTest, LargeMapsSharingStructure) {
  FileMap a;
  for (int i = 0; i < 10000; ++i) {
    a.set("dir" + std::to_string(i % 37) + "/f" + std::to_string(i),
          make_content(std::to_string(i)));
  }
  EXPECT_TRUE(FileMap::diff(a, a).empty());
  FileMap b = a;
  b.set("dir0/f0", make_content("changed"));
  b.set("dir1/f1", make_content("1"));  // same bytes, another object
  b.erase("dir2/f2");
  b.set("new/file", make_content(""));
  b.set("gone/soon", make_content("x"));
  b.erase("gone/soon");
  EXPECT_EQ(describe(a, b), (std::vector<std::string>{"+new/file", "-dir2/f2", "~dir0/f0"}));
}

// Random edits with snapshots along the way; the diff between any snapshot
// and the current map, and against a map rebuilt from the model, must match
// the naive one. Run under the standard hash and under one with few values.
TEST_F(FileMapDiffTest, MatchesANaiveDiffUnderRandomOperations) {
  for (auto* hash : {static_cast<std::uint64_t (*)(std::string_view)>(nullptr), &crowded_hash}) {
    set_file_map_hash_for_testing(hash);
    std::mt19937_64 rng(hash == nullptr ? 7 : 8);
    FileMap m;
    Model model;
    std::vector<std::pair<FileMap, Model>> snapshots;
    for (int step = 1; step <= 6000; ++step) {
      const std::string key = "k" + std::to_string(rng() % 1500);
      if (rng() % 3 == 0) {
        m.erase(key);
        model.erase(key);
      } else {
        // Few distinct values, so that many sets store bytes already there.
        std::string value(rng() % 3, static_cast<char>('a' + rng() % 3));
        m.set(key, make_content(value));
        model[key] = value;
      }
      if (step % 500 == 0) {
        for (const auto& [snap, snap_model] : snapshots) {
          ASSERT_EQ(describe(snap, m), naive_diff(snap_model, model)) << "step " << step;
          ASSERT_EQ(describe(m, snap), naive_diff(model, snap_model)) << "step " << step;
        }
        const FileMap rebuilt = build(model);
        ASSERT_TRUE(FileMap::diff(rebuilt, m).empty()) << "step " << step;
        if (!snapshots.empty()) {
          ASSERT_EQ(describe(snapshots.front().first, rebuilt),
                    naive_diff(snapshots.front().second, model));
        }
        snapshots.emplace_back(m, model);
      }
    }
  }
}

}  // namespace
}  // namespace vesk
