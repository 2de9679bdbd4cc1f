#include "core/runner/image_pieces.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace vesk {
namespace {

std::string sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

TEST(ImagePiecesTest, PiecesComeBackInOrderAndABadOneIsNamed) {
  std::vector<std::string> bytes, digests, frames;
  for (int i = 0; i < 5; ++i) {
    bytes.push_back(std::string(1000 + i, static_cast<char>('a' + i)) + std::to_string(i));
    digests.push_back(sha256(bytes.back()));
    frames.push_back(*pack_image_piece(bytes.back()));
  }
  const auto stored = [&] {
    std::vector<StoredPiece> out;
    for (int i = 0; i < 5; ++i) out.push_back({digests[i], frames[i]});
    return out;
  };
  auto back = unpack_image_pieces(stored(), 4096);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, bytes);
  EXPECT_TRUE(unpack_image_pieces({}, 4096));
  // A flipped byte, another piece's digest, a cut frame, and a frame that
  // would expand past the bound: each refused by the piece's digest.
  const std::string other = frames[1];
  const std::vector<void (*)(std::vector<StoredPiece>&, std::string&)> spoils = {
      [](std::vector<StoredPiece>& p, std::string& f) {
        f = std::string(p[3].frame);
        f[f.size() / 2] ^= 1;
        p[3].frame = f;
      },
      [](std::vector<StoredPiece>& p, std::string&) { p[3].digest = p[2].digest; },
      [](std::vector<StoredPiece>& p, std::string&) { p[3].frame.remove_suffix(3); },
      [](std::vector<StoredPiece>& p, std::string& f) {
        f = *pack_image_piece(std::string(5000, 'x'));
        p[3].frame = f;
      },
  };
  for (std::size_t i = 0; i < spoils.size(); ++i) {
    std::vector<StoredPiece> pieces = stored();
    std::string keep;
    spoils[i](pieces, keep);
    auto bad = unpack_image_pieces(pieces, 4096);
    ASSERT_FALSE(bad) << i;
    EXPECT_FALSE(bad.error().is_internal()) << i;
    EXPECT_EQ(bad.error().message(), "its piece " + [&] {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string hex;
      for (int k = 0; k < 8; ++k) {
        const auto c = static_cast<unsigned char>(pieces[3].digest[k]);
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
      }
      return hex;
    }() + " is damaged") << i;
  }
}

}  // namespace
}  // namespace vesk
