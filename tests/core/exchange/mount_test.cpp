#include "core/exchange/mount.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
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
  EXPECT_EQ(origins_.at("notes.txt").path(),
            fs::canonical(host_.path() / "dir/notes.txt").string());
  EXPECT_EQ(*origins_.at("notes.txt").root, fs::canonical(host_.path() / "dir").string());
  EXPECT_EQ(*origins_.at("notes.txt").known, "notes");
}

TEST_F(MountTest, LinkToAFileImportsTheTargetUnderItsName) {
  write_host_file(host_.path() / "real/target.txt", "target");
  fs::create_symlink(host_.path() / "real/target.txt", host_.path() / "alias.txt");
  auto keys = mount_path(host_.path() / "alias.txt");
  ASSERT_TRUE(keys) << keys.error().message();
  EXPECT_EQ(*keys, std::vector<std::string>{"target.txt"});
  EXPECT_EQ(origins_.at("target.txt").path(),
            fs::canonical(host_.path() / "real/target.txt").string());
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
  EXPECT_EQ(origins_.at("src/a.py").path(), canonical + "/src/a.py");
  EXPECT_EQ(*origins_.at("src/a.py").root, canonical);
  EXPECT_EQ(origins_.at("src/a.py").root, origins_.at("README").root);  // one per mount
  // The origin keeps the real bytes, so that commit finds the file again.
  EXPECT_EQ(origins_.at(replaced).path(), canonical + "/" + raw_name);

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
  for (int round = 0; round < 2; ++round) {  // committing again writes again
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
  EXPECT_EQ(missing_dir.error().message(),
            "conflict on 'a.txt': '" + origin_a +
                "' was deleted since it was mounted or last committed; nothing was written");
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


std::string conflict_message(const std::string& key, const fs::path& path,
                             const std::string& what) {
  return "conflict on '" + key + "': '" + path.string() + "' " + what +
         " since it was mounted or last committed; nothing was written";
}

// The names in `dir`, so that a test can see no temporary file was left.
std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(dir)) out.push_back(entry.path().filename());
  return sorted(out);
}

// Runs `call` on a thread and waits for it with a generous limit. Should it
// block on the FIFO at `fifo`, a reader is opened there to let it go, and the
// test fails instead of hanging.
template <class F>
auto without_blocking_on(const fs::path& fifo, F call) {
  auto running = std::async(std::launch::async, call);
  if (running.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "blocked on the FIFO " << fifo;
    // The writer's open returns once a reader is there, and what it writes
    // fits the pipe's buffer.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const auto done = running.wait_for(std::chrono::seconds(60));
    EXPECT_EQ(done, std::future_status::ready);
    if (reader >= 0) ::close(reader);
  }
  return running.get();
}

TEST_F(MountTest, CommitRefusesToOverwriteWhatTheHostChanged) {
  const fs::path proj = host_.path() / "proj";
  write_host_file(proj / "a.txt", "a0");
  ASSERT_TRUE(mount_path(proj));
  const fs::path a = fs::canonical(proj / "a.txt");
  ASSERT_TRUE(history_.write_file("a.txt", "a1"));

  write_host_file(a, "edited on the host");
  auto refused = commit(history_, origins_, std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), conflict_message("a.txt", a, "changed"));
  EXPECT_EQ(read_host_file(a), "edited on the host");

  // The same length and the same content again: only the bytes count.
  write_host_file(a, "a9");
  EXPECT_FALSE(commit(history_, origins_, std::nullopt));
  write_host_file(a, "a0");
  auto written = commit(history_, origins_, std::nullopt);
  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(read_host_file(a), "a1");

  // After a commit the host must hold what the commit wrote.
  ASSERT_TRUE(history_.write_file("a.txt", "a2"));
  ASSERT_TRUE(commit(history_, origins_, std::nullopt));
  EXPECT_EQ(read_host_file(a), "a2");
  write_host_file(a, "a1");  // what mount read is no longer enough
  refused = commit(history_, origins_, std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), conflict_message("a.txt", a, "changed"));
  EXPECT_EQ(read_host_file(a), "a1");

  // A mount after checkpoint 0 is committed although the session never
  // changed it (absent there counts as empty); an edit on the host since is
  // a conflict all the same. Mounting again takes in the host's edit.
  write_host_file(host_.path() / "late.txt", "late");
  ASSERT_TRUE(mount_path(host_.path() / "late.txt"));
  const fs::path late = fs::canonical(host_.path() / "late.txt");
  write_host_file(late, "host edit");
  refused = commit(history_, origins_, std::vector<std::string>{"late.txt"});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), conflict_message("late.txt", late, "changed"));
  EXPECT_EQ(read_host_file(late), "host edit");
  ASSERT_TRUE(mount_path(late));
  written = commit(history_, origins_, std::vector<std::string>{"late.txt"});
  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(*written, std::vector<std::string>{late.string()});
  EXPECT_EQ(read_host_file(late), "host edit");
}

TEST_F(MountTest, CommitTreatsAHostFileThatIsNoLongerARegularFileAsAConflict) {
  TempDir outside;
  write_host_file(outside.path() / "target.txt", "m0");  // what mount read, to tempt a follower
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> plant;
    std::string what;
  };
  const Case cases[] = {
      {"deleted", [](const fs::path& f) { fs::remove(f); }, "was deleted"},
      {"directory",
       [](const fs::path& f) {
         fs::remove(f);
         fs::create_directory(f);
       },
       "is no longer a regular file"},
      {"link",
       [&](const fs::path& f) {
         fs::remove(f);
         fs::create_symlink(outside.path() / "target.txt", f);
       },
       "was replaced by a symbolic link"},
      {"fifo",
       [](const fs::path& f) {
         fs::remove(f);
         ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0);
       },
       "is no longer a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = host_.path() / c.name;
    write_host_file(dir / "m.txt", "m0");
    History history(HistoryLimits{});
    MountOrigins origins;
    ASSERT_TRUE(mount(history, origins, config_, (dir / "m.txt").string()));
    ASSERT_TRUE(history.write_file("m.txt", "m1"));
    const fs::path file = fs::canonical(dir / "m.txt");
    c.plant(file);
    auto refused = without_blocking_on(
        file, [&] { return commit(history, origins, std::nullopt); });
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), conflict_message("m.txt", file, c.what));
    // Whatever was planted stays, and no temporary file is left beside it.
    EXPECT_EQ(names_in(dir), c.name == "deleted" ? std::vector<std::string>{}
                                                 : std::vector<std::string>{"m.txt"});
  }
  EXPECT_EQ(read_host_file(outside.path() / "target.txt"), "m0");
}

TEST_F(MountTest, CommitChecksEveryKeyBeforeWritingAny) {
  const fs::path proj = host_.path() / "proj";
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) write_host_file(proj / name, "0");
  ASSERT_TRUE(mount_path(proj));
  for (const char* key : {"a.txt", "b.txt", "c.txt"}) ASSERT_TRUE(history_.write_file(key, "1"));
  const fs::path c = fs::canonical(proj / "c.txt");

  struct Case {
    std::string name;
    std::optional<std::vector<std::string>> keys;
    std::function<void()> before;
    std::string message;
  };
  const Case cases[] = {
      {"one deleted in the session", std::nullopt,
       [&] { ASSERT_TRUE(history_.delete_file("b.txt")); },
       "'b.txt' not in current checkpoint"},
      {"one not mounted", std::vector<std::string>{"a.txt", "c.txt", "nowhere"},
       [] {}, "'nowhere' was not mounted from host"},
      {"one edited on the host", std::vector<std::string>{"a.txt", "c.txt"},
       [&] { write_host_file(c, "x"); }, conflict_message("c.txt", c, "changed")},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    each.before();
    auto refused = commit(history_, origins_, each.keys);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), each.message);
    EXPECT_EQ(read_host_file(proj / "a.txt"), "0");
    EXPECT_EQ(read_host_file(proj / "b.txt"), "0");
    EXPECT_EQ(names_in(proj), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  }
}

TEST_F(MountTest, CommitNeverWritesThroughALinkPlantedOnTheWay) {
  // Each tree is replaced by a link to a copy of itself: content checks
  // would pass, so only the links can stop the write.
  TempDir elsewhere;
  struct Case {
    std::string name;
    std::string mounted;  // below the case's directory
    std::string key;
    std::string moved;    // what is replaced by a link
    std::string what;
  };
  const Case cases[] = {
      {"mounted directory", "proj", "sub/f.txt", "proj", "now lies behind a symbolic link"},
      {"directory inside", "proj", "sub/f.txt", "proj/sub", "now lies behind a symbolic link"},
      {"parent of a mounted file", "proj/sub/f.txt", "f.txt", "proj/sub",
       "now lies behind a symbolic link"},
      {"mounted file", "proj/sub/f.txt", "f.txt", "proj/sub/f.txt",
       "was replaced by a symbolic link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path base = host_.path() / c.name;
    write_host_file(base / "proj/sub/f.txt", "f0");
    History history(HistoryLimits{});
    MountOrigins origins;
    ASSERT_TRUE(mount(history, origins, config_, (base / c.mounted).string()));
    ASSERT_TRUE(history.write_file(c.key, "f1"));
    const fs::path copy = elsewhere.path() / c.name;
    fs::rename(base / c.moved, copy);
    fs::create_symlink(copy, base / c.moved);
    const fs::path origin = fs::path(origins.at(c.key).path());
    auto refused = commit(history, origins, std::nullopt);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), conflict_message(c.key, origin, c.what));
    const fs::path reached = fs::is_directory(copy) ? copy / fs::relative(origin, base / c.moved)
                                                    : copy;
    EXPECT_EQ(read_host_file(reached), "f0");
  }
}

TEST_F(MountTest, CommitReplacesTheFileKeepingItsPermissionBits) {
  const fs::path proj = host_.path() / "proj";
  write_host_file(proj / "run.sh", "#!/bin/sh\n");
  fs::permissions(proj / "run.sh", fs::perms(0751));
  ASSERT_TRUE(mount_path(proj));
  // Another name for the same file, outside the tree: replacing the file
  // must leave it alone, as writing into the file would not.
  TempDir elsewhere;
  fs::create_hard_link(proj / "run.sh", elsewhere.path() / "other-name");
  struct stat before;
  ASSERT_EQ(::stat((proj / "run.sh").c_str(), &before), 0);

  ASSERT_TRUE(history_.write_file("run.sh", "#!/bin/sh\necho new\n"));
  auto written = commit(history_, origins_, std::nullopt);
  ASSERT_TRUE(written) << written.error().message();
  struct stat after;
  ASSERT_EQ(::stat((proj / "run.sh").c_str(), &after), 0);
  EXPECT_EQ(read_host_file(proj / "run.sh"), "#!/bin/sh\necho new\n");
  EXPECT_EQ(after.st_mode & 07777, 0751u);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(read_host_file(elsewhere.path() / "other-name"), "#!/bin/sh\n");
  EXPECT_EQ(names_in(proj), std::vector<std::string>{"run.sh"});  // no temporary left
}

TEST_F(MountTest, ExportReplacesFilesInsteadOfWritingIntoThem) {
  TempDir outside;
  write_host_file(outside.path() / "precious.txt", "precious");
  const fs::path out = host_.path() / "out";
  fs::create_directories(out);
  fs::create_hard_link(outside.path() / "precious.txt", out / "linked.txt");
  write_host_file(out / "private.txt", "old");
  fs::permissions(out / "private.txt", fs::perms(0600));
  ASSERT_EQ(::mkfifo((out / "fifo").c_str(), 0600), 0);
  for (const char* key : {"linked.txt", "private.txt", "fifo"}) {
    ASSERT_TRUE(history_.write_file(key, std::string("new ") + key));
  }

  auto written = export_files(history_, origins_, out.string(),
                              std::vector<std::string>{"linked.txt", "private.txt"});
  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(read_host_file(out / "linked.txt"), "new linked.txt");
  EXPECT_EQ(read_host_file(outside.path() / "precious.txt"), "precious");
  EXPECT_EQ(read_host_file(out / "private.txt"), "new private.txt");
  EXPECT_EQ(fs::status(out / "private.txt").permissions(), fs::perms(0600));

  auto refused = without_blocking_on(out / "fifo", [&] {
    return export_files(history_, origins_, out.string(), std::vector<std::string>{"fifo"});
  });
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "refusing to replace '" + out.string() + "/fifo': not a regular file");
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(out / "fifo")));
  EXPECT_EQ(names_in(out), (std::vector<std::string>{"fifo", "linked.txt", "private.txt"}));
}

// A thread swaps the mounted name between a real entry inside the allowlist
// and a link out of it while mount runs again and again: whatever the timing,
// nothing from outside may ever be imported.
TEST_F(MountTest, ALinkSwappedInDuringMountNeverLeadsOutOfTheAllowlist) {
  const fs::path allowed = host_.path() / "allowed";
  const fs::path outside = host_.path() / "outside";
  write_host_file(allowed / "file", "inside");
  write_host_file(allowed / "dir/f.txt", "inside");
  write_host_file(outside / "secret.txt", "secret");
  write_host_file(outside / "dir/f.txt", "secret");
  fs::create_symlink(outside / "secret.txt", allowed / "file-spare");
  fs::create_directory_symlink(outside / "dir", allowed / "dir-spare");
  config_.mount_allowlist = {allowed.string()};

  for (const std::string name : {"file", "dir"}) {
    SCOPED_TRACE(name);
    const fs::path target = allowed / name;
    const fs::path spare = allowed / (name + "-spare");
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      while (!stop.load()) {
        ::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE);
      }
    });
    std::map<std::string, int> outcomes;
    const int rounds = name == "file" ? 3000 : 500;
    for (int i = 0; i < rounds; ++i) {
      History history(HistoryLimits{});
      MountOrigins origins;
      auto keys = mount(history, origins, config_, target.string());
      if (!keys) {
        ++outcomes[keys.error().message()];
        continue;
      }
      ++outcomes["imported"];
      for (const auto& [key, content] : history.current().files) {
        EXPECT_EQ(*content, "inside") << key;
      }
    }
    stop = true;
    swapper.join();
    const std::string canonical_outside =
        (name == "file" ? outside / "secret.txt" : outside / "dir").string();
    for (const auto& [outcome, count] : outcomes) {
      // realpath() itself may find the link gone between its steps.
      EXPECT_TRUE(outcome == "imported" ||
                  outcome == "path changed while it was being mounted: " + target.string() ||
                  outcome == "path does not exist: " + target.string() ||
                  outcome == "'" + canonical_outside +
                                 "' is not in the mount allowlist; permitted prefixes: " +
                                 allowed.string())
          << outcome << " (" << count << " times)";
    }
  }
}

}  // namespace
}  // namespace vesk
