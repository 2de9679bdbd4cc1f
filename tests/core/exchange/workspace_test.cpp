#include "core/exchange/workspace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "host_files.h"
#include "test_util.h"

namespace vesk {
namespace {

namespace fs = std::filesystem;

FileMap map_of(const std::map<std::string, std::string>& entries) {
  FileMap files;
  for (const auto& [key, content] : entries) files.set(key, make_content(content));
  return files;
}

// The names directly in `dir`, sorted.
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(WorkspaceTest, RoundTripKeepsKeysAndBytes) {
  const std::string binary("\0\xff\r\n\x80tail", 9);
  std::string deep;  // longer than a path the kernel resolves in one call
  for (int i = 0; i < 50; ++i) deep += std::string(100, static_cast<char>('a' + i % 26)) + "/";
  deep += "leaf";
  const std::map<std::string, std::string> entries = {
      {deep, "deep down"},
      {"a/b/c.txt", "deep\n"}, {"empty", ""},       {".profile", "hidden"},
      {"dir/.cache/x", "x"},   {"bin.dat", binary},
  };
  TempDir root;
  const mode_t old_mask = ::umask(022);
  auto written = materialize(map_of(entries), root.path());
  ::umask(old_mask);
  ASSERT_TRUE(written) << written.error().message();

  EXPECT_EQ(read_host_file(root.path() / "bin.dat"), binary);
  EXPECT_EQ(read_host_file(root.path() / "a/b/c.txt"), "deep\n");
  // 0777 and 0666 before the umask.
  EXPECT_EQ(fs::status(root.path() / "a/b").permissions(), fs::perms(0755));
  EXPECT_EQ(fs::status(root.path() / "a/b/c.txt").permissions(), fs::perms(0644));

  auto collected = collect(root.path());
  ASSERT_TRUE(collected) << collected.error().message();
  EXPECT_EQ(entries_of(*collected), entries);

  TempDir empty;
  ASSERT_TRUE(materialize(FileMap(), empty.path()));
  EXPECT_TRUE(listing(empty.path()).empty());
  auto none = collect(empty.path());
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(WorkspaceTest, MaterializeReplacesContentAndLeavesOtherFiles) {
  TempDir root;
  write_host_file(root.path() / "keep.txt", "untouched");
  write_host_file(root.path() / "f.txt", "a much longer old content");
  ASSERT_TRUE(materialize(map_of({{"f.txt", "new"}}), root.path()));
  EXPECT_EQ(read_host_file(root.path() / "f.txt"), "new");
  EXPECT_EQ(read_host_file(root.path() / "keep.txt"), "untouched");
}

TEST(WorkspaceTest, CollectTakesRegularFilesOnlyAndNeverFollowsLinksBelowRoot) {
  TempDir outside;
  write_host_file(outside.path() / "secret.txt", "outside");
  TempDir root;
  write_host_file(root.path() / "real.txt", "real");
  fs::create_directories(root.path() / "empty_dir");
  fs::create_symlink(root.path() / "real.txt", root.path() / "link_to_inside");
  fs::create_symlink(outside.path() / "secret.txt", root.path() / "link_to_outside");
  fs::create_directory_symlink(outside.path(), root.path() / "dir_link");
  ASSERT_EQ(::mkfifo((root.path() / "fifo").c_str(), 0600), 0);
  write_host_file(root.path() / std::string("bad\xff\xfename"), "latin");

  auto collected = collect(root.path());
  ASSERT_TRUE(collected) << collected.error().message();
  EXPECT_EQ(entries_of(*collected), (std::map<std::string, std::string>{
                                        {"real.txt", "real"},
                                        {"bad\xEF\xBF\xBD\xEF\xBF\xBDname", "latin"},
                                    }));

  // A root that is itself a link is followed.
  TempDir links;
  fs::create_directory_symlink(root.path(), links.path() / "root_link");
  auto via_link = collect(links.path() / "root_link");
  ASSERT_TRUE(via_link);
  EXPECT_EQ(via_link->size(), 2u);
}

TEST(WorkspaceTest, CollectReportsWalkErrorsWithThePath) {
  TempDir root;
  const fs::path missing = root.path() / "missing";
  auto collected = collect(missing);
  ASSERT_FALSE(collected);
  EXPECT_EQ(collected.error().message(), "IO error for operation on " + missing.string() +
                                             ": No such file or directory (os error 2)");
}

// Keys come from runner replies too, so none may lead a write out of the root.
TEST(WorkspaceTest, MaterializeNeverWritesOutsideItsRoot) {
  struct Case {
    std::string key;
    std::string message;  // empty: only "fails" is checked
  };
  const Case cases[] = {
      {"../escape.txt", "workspace key must not contain '..': '../escape.txt'"},
      {"a/../../escape.txt", "workspace key must not contain '..': 'a/../../escape.txt'"},
      {"sub/..", "workspace key must not contain '..': 'sub/..'"},
      {"/etc/passwd", "workspace key must be a relative path: '/etc/passwd'"},
      {"", "workspace key must not be empty"},
      {"dir_link/escape.txt", "refusing to write through symbolic link '{root}/dir_link'"},
      {"file_link", "refusing to write through symbolic link '{root}/file_link'"},
      {"plain/escape.txt", "Not a directory (os error 20)"},
      {".", "Is a directory (os error 21)"},
      {"newdir/", "Is a directory (os error 21)"},
      {std::string("ok\0/../x", 8), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("key: " + c.key);
    TempDir parent;
    const fs::path root = parent.path() / "root";
    const fs::path outside = parent.path() / "outside";
    fs::create_directories(root);
    fs::create_directories(outside);
    write_host_file(outside / "target.txt", "precious");
    fs::create_directory_symlink(outside, root / "dir_link");
    fs::create_symlink(outside / "target.txt", root / "file_link");
    write_host_file(root / "plain", "file");

    auto written = materialize(map_of({{c.key, "payload"}}), root);
    ASSERT_FALSE(written);
    std::string expected = c.message;
    if (const auto at = expected.find("{root}"); at != std::string::npos) {
      expected.replace(at, 6, root.string());
    }
    if (!expected.empty()) {
      EXPECT_EQ(written.error().message(), expected);
    }
    EXPECT_EQ(listing(parent.path()), (std::vector<std::string>{"outside", "root"}));
    EXPECT_EQ(listing(outside), std::vector<std::string>{"target.txt"});
    EXPECT_EQ(read_host_file(outside / "target.txt"), "precious");
    EXPECT_FALSE(fs::exists(root / "newdir"));
  }
}

}  // namespace
}  // namespace vesk
