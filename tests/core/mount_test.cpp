#include "core/mount.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "host_files.h"
#include "test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class MountTest : public ::testing::Test {
 protected:
  Result<std::vector<std::string>> mount_path(const fs::path& path) {
    return mount(history_, origins_, config_, path.string());
  }

  TempDir host_;
  Config config_ = Config::defaults();
  History history_{HistoryLimits{config_.max_checkpoints, config_.max_workspace_mb}};
  MountOrigins origins_;
};

TEST_F(MountTest, ImportsAFileUnderItsOwnNameWithoutANewCheckpoint) {
  write_host_file(host_.path() / "dir/notes.txt", "notes");
  ASSERT_TRUE(history_.write_file("notes.txt", "old workspace content"));
  ASSERT_TRUE(history_.write_file("other.txt", "other"));
  const std::size_t length = history_.size();

  auto keys = mount_path(host_.path() / "dir/../dir/./notes.txt");
  ASSERT_TRUE(keys) << keys.error().message();
  EXPECT_EQ(*keys, std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(history_.size(), length);
  EXPECT_EQ(entries_of(history_.current().files),
            (std::map<std::string, std::string>{{"notes.txt", "notes"}, {"other.txt", "other"}}));
  EXPECT_EQ(origins_.at("notes.txt"), fs::canonical(host_.path() / "dir/notes.txt").string());
}

TEST_F(MountTest, LinkToAFileImportsTheTargetUnderItsName) {
  write_host_file(host_.path() / "real/target.txt", "target");
  fs::create_symlink(host_.path() / "real/target.txt", host_.path() / "alias.txt");
  auto keys = mount_path(host_.path() / "alias.txt");
  ASSERT_TRUE(keys) << keys.error().message();
  EXPECT_EQ(*keys, std::vector<std::string>{"target.txt"});
  EXPECT_EQ(origins_.at("target.txt"), fs::canonical(host_.path() / "real/target.txt").string());
  EXPECT_EQ(*history_.current().files.find("target.txt")->get(), "target");
}

TEST_F(MountTest, ImportsTheRegularFilesOfADirectoryWithoutFollowingLinks) {
  TempDir elsewhere;
  write_host_file(elsewhere.path() / "outside.txt", "outside");
  const fs::path proj = host_.path() / "proj";
  write_host_file(proj / "src/a.py", "print(1)\n");
  write_host_file(proj / "README", "readme");
  write_host_file(proj / ".hidden/x", "x");
  const std::string raw_name = "caf\xe9.txt";  // Latin-1, not UTF-8
  write_host_file(proj / raw_name, "latin");
  fs::create_directories(proj / "empty");
  fs::create_symlink(proj / "README", proj / "link_inside");
  fs::create_symlink(elsewhere.path() / "outside.txt", proj / "link_outside");
  fs::create_directory_symlink(elsewhere.path(), proj / "dir_link");
  ASSERT_EQ(::mkfifo((proj / "fifo").c_str(), 0600), 0);

  auto keys = mount_path(proj);
  ASSERT_TRUE(keys) << keys.error().message();
  const std::string replaced = "caf\xEF\xBF\xBD.txt";
  EXPECT_EQ(sorted(*keys), sorted({"src/a.py", "README", ".hidden/x", replaced}));
  EXPECT_EQ(entries_of(history_.current().files), (std::map<std::string, std::string>{
                                                      {"src/a.py", "print(1)\n"},
                                                      {"README", "readme"},
                                                      {".hidden/x", "x"},
                                                      {replaced, "latin"},
                                                  }));
  const std::string canonical = fs::canonical(proj).string();
  EXPECT_EQ(origins_.at("src/a.py"), canonical + "/src/a.py");
  // The origin keeps the real bytes, so that commit finds the file again.
  EXPECT_EQ(origins_.at(replaced), canonical + "/" + raw_name);

  auto none = mount_path(proj / "empty");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST_F(MountTest, RefusesPathsItCannotOrMayNotRead) {
  write_host_file(host_.path() / "data/x", "x");
  write_host_file(host_.path() / "data/xy", "xy");
  write_host_file(host_.path() / "database/x", "x");
  ASSERT_EQ(::mkfifo((host_.path() / "data/fifo").c_str(), 0600), 0);
  const std::string data = (host_.path() / "data").string();
  const std::string database = (host_.path() / "database").string();
  struct Case {
    std::vector<std::string> allowlist;
    std::string path;
    std::string message;  // empty: succeeds
  };
  const Case cases[] = {
      {{}, database + "/x", ""},
      {{data}, data + "/x", ""},
      {{data + "/"}, data + "/x", ""},
      {{data}, data, ""},
      {{"/nowhere", data}, database + "/../data/x", ""},
      {{data},
       database + "/x",
       "'" + database + "/x' is not in the mount allowlist; permitted prefixes: " + data},
      {{data + "/x", "/nowhere"},
       data + "/xy",
       "'" + data + "/xy' is not in the mount allowlist; permitted prefixes: " + data +
           "/x, /nowhere"},
      {{"relative/data"},
       data + "/x",
       "'" + data + "/x' is not in the mount allowlist; permitted prefixes: relative/data"},
      {{}, "no/such/path", "path does not exist: no/such/path"},
      {{}, data + "/x/child", "path does not exist: " + data + "/x/child"},
      {{}, data + "/fifo", "path is not a regular file or directory: " + data + "/fifo"},
      {{}, "/dev/null", "path is not a regular file or directory: /dev/null"},
      // A file the kernel refuses to read even for root.
      {{}, "/proc/self/mem", "Input/output error (os error 5)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    config_.mount_allowlist = c.allowlist;
    History history(HistoryLimits{});
    MountOrigins origins;
    auto keys = mount(history, origins, config_, c.path);
    if (c.message.empty()) {
      EXPECT_TRUE(keys) << keys.error().message();
    } else {
      ASSERT_FALSE(keys);
      EXPECT_EQ(keys.error().message(), c.message);
      EXPECT_TRUE(history.current().files.empty());
      EXPECT_TRUE(origins.empty());
    }
  }
}

// What an unprivileged user gets from mount over a tree with an unreadable
// directory and, optionally, an unreadable file. Runs in a child process that
// drops root, since root reads files whatever their permission bits; the
// child prints the keys, or the error, to a pipe.
std::string mount_as_nobody(const fs::path& dir) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 &&
        (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
      ::_exit(2);
    }
    History history(HistoryLimits{});
    MountOrigins origins;
    auto keys = mount(history, origins, Config::defaults(), dir.string());
    std::string out;
    if (keys) {
      for (const std::string& k : sorted(*keys)) out += k + ";";
      out += " files=" + std::to_string(history.current().files.size());
    } else {
      out = "error: " + keys.error().message() +
            " files=" + std::to_string(history.current().files.size()) +
            " origins=" + std::to_string(origins.size());
    }
    [[maybe_unused]] ssize_t n = ::write(fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
    out.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

TEST_F(MountTest, UnreadableEntriesAreSkippedButAnUnreadableFileFailsTheWholeMount) {
  TempDir parent("/var/tmp");
  fs::permissions(parent.path(), fs::perms(0755));
  const fs::path tree = parent.path() / "tree";
  write_host_file(tree / "a.txt", "a");
  write_host_file(tree / "sub/b.txt", "b");
  write_host_file(tree / "locked/c.txt", "c");
  fs::permissions(tree / "locked", fs::perms::none);
  EXPECT_EQ(mount_as_nobody(tree), "a.txt;sub/b.txt; files=2");

  write_host_file(tree / "z_secret.txt", "secret");
  fs::permissions(tree / "z_secret.txt", fs::perms::none);
  EXPECT_EQ(mount_as_nobody(tree), "error: Permission denied (os error 13) files=0 origins=0");
}

TEST_F(MountTest, CommitWritesBackChangedFilesOnly) {
  const fs::path proj = host_.path() / "proj";
  write_host_file(proj / "a.txt", "a0");
  write_host_file(proj / "sub/b.txt", "b0");
  auto keys = mount_path(proj);
  ASSERT_TRUE(keys);
  const std::string origin_a = fs::canonical(proj / "a.txt").string();

  auto unchanged = commit(history_, origins_, std::nullopt);
  ASSERT_TRUE(unchanged) << unchanged.error().message();
  EXPECT_TRUE(unchanged->empty());

  ASSERT_TRUE(history_.write_file("a.txt", "a1"));
  ASSERT_TRUE(history_.write_file("new.txt", "not mounted"));
  for (int round = 0; round < 2; ++round) {  // committing changes no state: again writes again
    write_host_file(proj / "a.txt", "edited on the host");
    auto written = commit(history_, origins_, std::nullopt);
    ASSERT_TRUE(written) << written.error().message();
    EXPECT_EQ(*written, std::vector<std::string>{origin_a});
    EXPECT_EQ(read_host_file(proj / "a.txt"), "a1");
    EXPECT_EQ(read_host_file(proj / "sub/b.txt"), "b0");
  }

  struct Case {
    std::vector<std::string> keys;
    std::string message;
  };
  ASSERT_TRUE(history_.delete_file("sub/b.txt"));
  const Case cases[] = {
      {{}, ""},
      {{"a.txt", "a.txt"}, ""},
      {{"new.txt"}, "'new.txt' was not mounted from host"},
      {{"sub/b.txt"}, "'sub/b.txt' not in current checkpoint"},
  };
  for (const Case& c : cases) {
    auto written = commit(history_, origins_, c.keys);
    if (c.message.empty()) {
      ASSERT_TRUE(written);
      EXPECT_EQ(written->size(), c.keys.size());
    } else {
      ASSERT_FALSE(written);
      EXPECT_EQ(written.error().message(), c.message);
    }
  }

  fs::remove_all(proj);
  auto missing_dir = commit(history_, origins_, std::vector<std::string>{"a.txt"});
  ASSERT_FALSE(missing_dir);
  EXPECT_EQ(missing_dir.error().message(), "No such file or directory (os error 2)");
  EXPECT_FALSE(fs::exists(proj));
}

// The base of commit is the first checkpoint: a file it lacks counts as empty.
TEST_F(MountTest, CommitComparesWithTheFirstCheckpoint) {
  ASSERT_TRUE(history_.write_file("unrelated", "x"));
  write_host_file(host_.path() / "full.txt", "content");
  write_host_file(host_.path() / "empty.txt", "");
  ASSERT_TRUE(mount_path(host_.path() / "full.txt"));
  ASSERT_TRUE(mount_path(host_.path() / "empty.txt"));
  auto written = commit(history_, origins_, std::nullopt);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, std::vector<std::string>{fs::canonical(host_.path() / "full.txt").string()});

  MountOrigins none;
  auto nothing = commit(history_, none, std::nullopt);
  ASSERT_TRUE(nothing);
  EXPECT_TRUE(nothing->empty());
}

TEST_F(MountTest, ExportWritesUnmountedFilesIntoTheDirectory) {
  write_host_file(host_.path() / "m1.txt", "m1");
  write_host_file(host_.path() / "m2.txt", "m2");
  ASSERT_TRUE(mount_path(host_.path() / "m1.txt"));
  ASSERT_TRUE(mount_path(host_.path() / "m2.txt"));
  ASSERT_TRUE(history_.write_file("a/b.txt", "written"));

  const fs::path out = host_.path() / "missing/out";
  auto written = export_files(history_, origins_, out.string(), std::nullopt);
  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(*written, std::vector<std::string>{out.string() + "/a/b.txt"});
  EXPECT_EQ(read_host_file(out / "a/b.txt"), "written");
  EXPECT_FALSE(fs::exists(out / "m1.txt"));

  auto named =
      export_files(history_, origins_, out.string() + "/", std::vector<std::string>{"m1.txt"});
  ASSERT_TRUE(named);
  EXPECT_EQ(*named, std::vector<std::string>{out.string() + "/m1.txt"});
  EXPECT_EQ(read_host_file(out / "m1.txt"), "m1");

  const fs::path never = host_.path() / "never";
  auto empty = export_files(history_, origins_, never.string(), std::vector<std::string>{});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_FALSE(fs::exists(never));

  // Through a link to the output directory itself: the caller's choice.
  fs::create_directory_symlink(out, host_.path() / "out_link");
  auto via_link = export_files(history_, origins_, (host_.path() / "out_link").string(),
                               std::vector<std::string>{"m2.txt"});
  ASSERT_TRUE(via_link) << via_link.error().message();
  EXPECT_EQ(read_host_file(out / "m2.txt"), "m2");
}

TEST_F(MountTest, ExportRefusesBadKeysAndLinksBelowTheOutputDirectory) {
  TempDir outside;
  write_host_file(outside.path() / "target.txt", "precious");
  const fs::path out = host_.path() / "out";
  fs::create_directories(out);
  fs::create_directory_symlink(outside.path(), out / "dir_link");
  fs::create_symlink(outside.path() / "target.txt", out / "file_link");
  for (const char* key : {"dir_link/x.txt", "file_link", "ok.txt"})
    ASSERT_TRUE(history_.write_file(key, "new"));
  history_.insert_into_current("../escape.txt", make_content("bad"));

  struct Case {
    std::string key;
    std::string message;
  };
  const Case cases[] = {
      {"../escape.txt", "workspace key must not contain '..': '../escape.txt'"},
      {"/abs", "workspace key must be a relative path: '/abs'"},
      {"", "workspace key must not be empty"},
      {"absent.txt", "'absent.txt' not in current checkpoint"},
      {"dir_link/x.txt", "refusing to write through symbolic link '" + out.string() + "/dir_link'"},
      {"file_link", "refusing to write through symbolic link '" + out.string() + "/file_link'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    auto written =
        export_files(history_, origins_, out.string(), std::vector<std::string>{"ok.txt", c.key});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message(), c.message);
  }
  EXPECT_EQ(read_host_file(outside.path() / "target.txt"), "precious");
  EXPECT_FALSE(fs::exists(outside.path() / "x.txt"));
  EXPECT_FALSE(fs::exists(host_.path() / "escape.txt"));
  EXPECT_EQ(read_host_file(out / "ok.txt"), "new");  // written before the failure, and kept
}

}  // namespace
}  // namespace vesk
