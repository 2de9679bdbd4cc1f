#include "core/shell/file_watches.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <numeric>
#include <string>
#include <unordered_set>
#include <vector>

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

namespace vesk {
namespace {

// A process of the account: watches as many of its own `files` files as it
// is granted, reports the count on `report`, and holds them until `hold`
// ends. Runs as `uid` when that is not ours (the tests run as root; inotify
// limits and the account are per user).
pid_t holder(const std::filesystem::path& base, int n, int files, uid_t uid, int report,
             int hold, int hold_writer) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::close(hold_writer);
  if (uid != ::geteuid() && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 ||
                             ::setuid(uid) != 0)) {
    const int failed = -1;  // the parent waits for a report
    (void)!::write(report, &failed, sizeof failed);
    ::_exit(2);
  }
  const std::filesystem::path dir = base / ("holder-" + std::to_string(n));
  std::filesystem::create_directory(dir);
  int held = 0;
  FileWatches watches;
  if (watches.open()) {
    for (int i = 0; i < files; ++i) {
      const std::string file = dir / std::to_string(i);
      write_host_file(file, "x");
      if (watches.add(file.c_str(), IN_MODIFY) >= 0) ++held;
    }
  }
  (void)!::write(report, &held, sizeof held);
  char byte;
  (void)!::read(hold, &byte, 1);
  ::_exit(0);
}

// All vesk processes of a user together stay within the share, and a
// process that crashed gives its grant back to the next.
TEST(FileWatchesTest, ProcessesOfAUserShareOneQuarterAndACrashGivesItBack) {
  if (!FileWatches().open()) GTEST_SKIP() << "no inotify instance to be had";
  const uid_t nobody = 65534;
  const uid_t uid = ::geteuid() == 0 ? nobody : ::geteuid();
  TempDir base{"/var/tmp"};
  ::chmod(base.path().c_str(), 01777);
  const std::filesystem::path account = base.path() / "account";
  std::filesystem::create_directory(account);
  if (::chown(account.c_str(), uid, uid) != 0) GTEST_SKIP() << "cannot make a directory for " << uid;
  constexpr std::size_t kShare = 640;  // chunks of 10
  set_file_watch_share_for_testing(kShare);
  set_file_watch_account_for_testing(account.string());
  struct Restore {
    ~Restore() {
      set_file_watch_account_for_testing(std::nullopt);
      set_file_watch_share_for_testing(std::nullopt);
    }
  } restore;
  int report[2], hold[2];
  ASSERT_EQ(::pipe(report), 0);
  ASSERT_EQ(::pipe(hold), 0);
  auto take = [&](int n) {
    int held = -1;
    const pid_t pid = holder(base.path(), n, kShare, uid, report[1], hold[0], hold[1]);
    EXPECT_EQ(::read(report[0], &held, sizeof held), static_cast<ssize_t>(sizeof held));
    return std::pair{pid, held};
  };
  std::vector<pid_t> pids;
  int total = 0;
  for (int n = 0; n < 5; ++n) {
    auto [pid, held] = take(n);
    pids.push_back(pid);
    ASSERT_GE(held, 0) << "no process of uid " << uid;
    total += held;
  }
  EXPECT_LE(total, static_cast<int>(kShare));
  EXPECT_GE(total, static_cast<int>(kShare) - 5 * 10);
  for (pid_t pid : pids) ::kill(pid, SIGKILL);
  for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
  auto [next, held] = take(5);
  EXPECT_GE(held, static_cast<int>(kShare) - 10) << "the killed processes' grants came back";
  ::close(hold[1]);
  int status = 0;
  ::waitpid(next, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {report[0], report[1], hold[0]}) ::close(fd);
}

}  // namespace
}  // namespace vesk
