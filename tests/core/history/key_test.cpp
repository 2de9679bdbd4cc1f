#include "core/history/key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesk {
namespace {

TEST(KeyTest, Rules) {
  const std::string relative = "workspace key must be a relative path: '";
  const std::string dotdot = "workspace key must not contain '..': '";
  const struct {
    std::string_view key;
    std::string error;  // empty: valid
  } cases[] = {
      {"", "workspace key must not be empty"},
      {"/etc/passwd", relative + "/etc/passwd'"},
      {"/../x", relative + "/../x'"},
      {"//x", relative + "//x'"},
      {"..", dotdot + "..'"},
      {"../x", dotdot + "../x'"},
      {"a/../b", dotdot + "a/../b'"},
      {"a/b/..", dotdot + "a/b/..'"},
      {"a/b/../", dotdot + "a/b/../'"},
      {"./..", dotdot + "./..'"},
      {"a//..//b", dotdot + "a//..//b'"},
      {"a..b", ""},
      {"...", ""},
      {"..x", ""},
      {"x..", ""},
      {".hidden", ""},
      {"x/.config/y", ""},
      {"./a", ""},
      {"a/./b", ""},
      {"a//b", ""},
      {"a/", ""},
      {".", ""},
      {"./", ""},
      {"caf\xc3\xa9/\xe6\x96\x87.txt", ""},
  };
  for (const auto& tc : cases) {
    const Status s = validate_file_path(tc.key);
    if (tc.error.empty()) {
      EXPECT_TRUE(s.has_value()) << "'" << tc.key << "': " << s.error().message();
    } else {
      ASSERT_FALSE(s.has_value()) << "'" << tc.key << "'";
      EXPECT_EQ(s.error().message(), tc.error);
    }
  }
}

TEST(KeyTest, CanonicalKeysAreThoseAFileSystemGives) {
  using namespace std::string_literals;
  for (std::string_view key : {"a", "a/b", ".hidden", "a..b", "x/.config/y", "..."}) {
    EXPECT_TRUE(is_canonical_key(key)) << key;
  }
  for (std::string key : {""s, "."s, ".."s, "./a"s, "a/./b"s, "a//b"s, "a/"s, "/a"s, "a/.."s,
                          "a/."s, "a\0b"s}) {
    EXPECT_FALSE(is_canonical_key(key)) << shown_key(key);
  }
  EXPECT_EQ(check_run_key("./f").error().message(),
            "the run reported a file name that is not a plain relative path: './f'");
}

TEST(KeyTest, LayoutNamesTheKeysThatCannotShareATree) {
  using namespace std::string_literals;
  const std::string clash = " needs it to be a directory; delete one of them";
  const struct {
    std::vector<std::string> keys;
    std::string error;  // empty: can be laid out
  } cases[] = {
      {{}, ""},
      {{"a", "b/c", "b/d/e", "./x", "y//z", ".hidden"}, ""},
      {{"config", "config/settings.toml"},
       "workspace key 'config' is a file, but 'config/settings.toml'" + clash},
      {{"a/b/c", "a/b"}, "workspace key 'a/b' is a file, but 'a/b/c'" + clash},
      {{"./a", "a/b"}, "workspace key './a' is a file, but 'a/b'" + clash},
      {{"a", "./a"}, "workspace keys './a' and 'a' name the same file; delete one of them"},
      {{"a//b", "a/b"}, "workspace keys 'a//b' and 'a/b' name the same file; delete one of them"},
      {{"dir/"}, "workspace key 'dir/' does not name a file; delete it"},
      {{"."}, "workspace key '.' does not name a file; delete it"},
      {{"a/."}, "workspace key 'a/.' does not name a file; delete it"},
      {{"a\0b"s}, "workspace key 'a\\0b' holds a NUL byte; delete it"},
      {{std::string(256, 'n')}, "workspace key '" + std::string(256, 'n') +
                                    "' has a name longer than 255 bytes; delete it"},
      {{"../x"}, "workspace key must not contain '..': '../x'"},
  };
  for (const auto& tc : cases) {
    FileMap files;
    for (const std::string& key : tc.keys) files.set(key, make_content("x"));
    const Status s = check_layout(files);
    if (tc.error.empty()) {
      EXPECT_TRUE(s.has_value()) << s.error().message();
    } else {
      ASSERT_FALSE(s.has_value()) << shown_key(tc.keys.front());
      EXPECT_EQ(s.error().message(), tc.error);
    }
  }
}

}  // namespace
}  // namespace vesk
