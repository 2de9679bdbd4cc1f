#include "core/file_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

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

}  // namespace
}  // namespace vesk
