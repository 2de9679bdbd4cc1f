#include "core/history/checkpoint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vesk {
namespace {

TEST(ContentHashTest, KnownValues) {
  EXPECT_EQ(file_content_hash(""), 0xbd60acb658c79e45ULL);
  EXPECT_EQ(file_content_hash("abc"), 0x4aa3e4b34416e6c9ULL);
}

TEST(ContentHashTest, EveryTailLengthAndByteMatters) {
  // Lengths 0..24 cover every remainder of the 8-byte blocks; each must give
  // a distinct value, and flipping any one byte must change it.
  std::string bytes;
  std::vector<std::uint64_t> seen;
  for (int n = 0; n <= 24; ++n) {
    const std::uint64_t h = file_content_hash(bytes);
    for (std::uint64_t s : seen) EXPECT_NE(s, h) << "length " << n;
    seen.push_back(h);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      std::string flipped = bytes;
      flipped[i] ^= 0x80;
      EXPECT_NE(file_content_hash(flipped), h) << "length " << n << " byte " << i;
    }
    bytes.push_back(static_cast<char>('a' + n));
  }
  // The length prefix separates contents that differ only by trailing NULs.
  EXPECT_NE(file_content_hash(std::string(1, '\0')), file_content_hash(std::string(2, '\0')));
}

TEST(BlobStoreTest, EqualBytesBecomeOneObject) {
  BlobStore store;
  Content a = store.intern_bytes("same bytes");
  Content b = store.intern_bytes("same bytes");
  Content c = store.intern_bytes("other");
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a.get(), c.get());
  EXPECT_EQ(*a, "same bytes");
}

TEST(BlobStoreTest, HoldsContentsOnlyWeakly) {
  BlobStore store;
  std::weak_ptr<const std::string> watch;
  {
    Content a = store.intern_bytes("transient");
    watch = a;
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(store.entry_count(), 1u);  // the dead entry stays until reused
  Content again = store.intern_bytes("transient");
  EXPECT_EQ(*again, "transient");
  EXPECT_EQ(store.entry_count(), 1u);
}

// A long session writes ever new contents: the store must not keep an entry
// for each one it ever saw, and must still find every live one.
TEST(BlobStoreTest, DeadEntriesDoNotAccumulate) {
  BlobStore store;
  std::vector<Content> kept;
  std::size_t most = 0;
  for (int i = 0; i < 200000; ++i) {
    Content c = store.intern_bytes("content " + std::to_string(i));
    if (i % 100 == 0) kept.push_back(std::move(c));
    most = std::max(most, store.entry_count());
  }
  EXPECT_LE(most, 2 * kept.size() + 1024);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    EXPECT_EQ(store.intern_bytes("content " + std::to_string(k * 100)).get(), kept[k].get());
  }
}

TEST(BlobStoreTest, InterningAFileMapSharesWithStoredContents) {
  BlobStore store;
  Content stored = store.intern_bytes("shared");
  FileMap fresh;
  fresh.set("a", make_content("shared"));
  fresh.set("b", make_content("shared"));
  fresh.set("c", make_content("new"));
  fresh.set("d", stored);
  FileMap interned = store.intern_file_map(fresh);
  ASSERT_EQ(interned.size(), 4u);
  EXPECT_EQ(interned.find("a")->get(), stored.get());
  EXPECT_EQ(interned.find("b")->get(), stored.get());
  EXPECT_EQ(interned.find("d")->get(), stored.get());
  // A new content becomes the stored one for later interning.
  EXPECT_EQ(store.intern_bytes("new").get(), interned.find("c")->get());
}

}  // namespace
}  // namespace vesk

namespace vesk {
namespace {

TEST(BlobStoreTest, InterningAgainstABaseKeepsUnchangedContents) {
  BlobStore store;
  FileMap base;
  base.set("same", store.intern_bytes("unchanged"));
  base.set("edited", store.intern_bytes("old"));
  base.set("removed", store.intern_bytes("bye"));
  base.set("moved", store.intern_bytes("moving"));
  FileMap run;  // what a run hands back: fresh objects throughout
  run.set("same", make_content("unchanged"));
  run.set("edited", make_content("new"));
  run.set("added", make_content("hello"));
  run.set("elsewhere", make_content("moving"));
  FileMap out = store.intern_file_map(run, &base);
  EXPECT_EQ(out.size(), 4u);
  EXPECT_TRUE(out == run);
  EXPECT_EQ(out.find("same")->get(), base.find("same")->get());
  EXPECT_EQ(out.find("elsewhere")->get(), base.find("moved")->get());  // found by hash
  EXPECT_EQ(**out.find("edited"), "new");
  EXPECT_EQ(out.find("removed"), nullptr);
  EXPECT_EQ(store.intern_bytes("hello").get(), out.find("added")->get());
  // The base itself is untouched.
  EXPECT_EQ(base.size(), 4u);
  EXPECT_EQ(**base.find("edited"), "old");
}

}  // namespace
}  // namespace vesk
