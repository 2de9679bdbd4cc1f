#include "core/base/utf8.h"

#include <gtest/gtest.h>

namespace vesk {
namespace {

TEST(Utf8Test, Validity) {
  const struct {
    std::string_view bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true},
      {"\xff", false},
      {"\xc3", false},                  // truncated
      {"\xc0\xaf", false},              // overlong
      {"\xed\xa0\x80", false},          // surrogate
      {"\xf4\x90\x80\x80", false},      // above U+10FFFF
      {std::string_view("a\0b", 3), true},
  };
  for (const auto& tc : cases) EXPECT_EQ(is_valid_utf8(tc.bytes), tc.valid) << tc.bytes;
}

TEST(Utf8Test, LossyReplacesEachMaximalSubpart) {
  const std::string r = "\xef\xbf\xbd";
  const struct {
    std::string_view in;
    std::string out;
  } cases[] = {
      {"ok", "ok"},
      {"a\xffz", "a" + r + "z"},
      {"\xe2\x82", r},                       // truncated three-byte sequence: one mark
      {"\xe2\x82z", r + "z"},
      {"\xf0\x9f\x98", r},
      {"\xc0\xaf", r + r},                   // C0 never starts a sequence
      {"\xed\xa0\x80", r + r + r},           // surrogates: each byte on its own
      {"\xf4\x90\x80\x80", r + r + r + r},
      {"\x80\x80", r + r},
      {"caf\xe9.txt", "caf" + r + ".txt"},
  };
  for (const auto& tc : cases) EXPECT_EQ(lossy_utf8(tc.in), tc.out) << tc.in;
}

}  // namespace
}  // namespace vesk
