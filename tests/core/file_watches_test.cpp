#include "core/file_watches.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <unordered_set>

#include "host_files.h"
#include "test_util.h"

namespace vesk {
namespace {

// The share is counted in watches the kernel holds: one per inode whatever
// the names it is added under, given back when the inode goes or the
// instance closes, never beyond the share across instances.
TEST(FileWatchesTest, HoldWithinTheShareAndGiveBackWhatTheKernelDropped) {
  if (!FileWatches().open()) GTEST_SKIP() << "no inotify instance to be had";
  set_file_watch_share_for_testing(2);
  struct Restore {
    ~Restore() { set_file_watch_share_for_testing(std::nullopt); }
  } restore;
  TempDir dir;
  for (const char* name : {"a", "b", "c"}) write_host_file(dir.path() / name, name);
  const std::string a = dir.path() / "a", b = dir.path() / "b", c = dir.path() / "c";
  const std::string link = dir.path() / "link-to-a";
  ASSERT_EQ(::link(a.c_str(), link.c_str()), 0);
  {
    FileWatches first, second;
    ASSERT_TRUE(first.open());
    ASSERT_TRUE(second.open());
    const int wd = first.add(a.c_str(), IN_MODIFY);
    ASSERT_GE(wd, 0);
    EXPECT_EQ(first.add(link.c_str(), IN_MODIFY), wd) << "the same inode";
    EXPECT_GE(second.add(b.c_str(), IN_MODIFY), 0);
    EXPECT_EQ(file_watches_held(), 2u);
    EXPECT_EQ(first.add(c.c_str(), IN_MODIFY), -1) << "the share is used up";

    ASSERT_EQ(::unlink(a.c_str()), 0);
    std::unordered_set<int> flagged;
    EXPECT_TRUE(first.drain(&flagged));
    EXPECT_EQ(file_watches_held(), 2u) << "the inode lives on under its other name";
    ASSERT_EQ(::unlink(link.c_str()), 0);
    EXPECT_TRUE(first.drain(&flagged));
    EXPECT_TRUE(flagged.count(wd));
    EXPECT_EQ(first.size(), 0u);
    EXPECT_EQ(file_watches_held(), 1u);
    EXPECT_GE(first.add(c.c_str(), IN_MODIFY), 0);
    EXPECT_EQ(file_watches_held(), 2u);
    second.reset();
    EXPECT_EQ(file_watches_held(), 1u);
  }
  EXPECT_EQ(file_watches_held(), 0u);
}

}  // namespace
}  // namespace vesk
