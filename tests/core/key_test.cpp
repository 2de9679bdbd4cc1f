#include "core/key.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vesk
