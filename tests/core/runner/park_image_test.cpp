#include "core/runner/park_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vesk {
namespace {

// Bytes shaped like an interpreter's memory: long runs of zeros between
// stretches of varied data.
std::string image_of(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < size; i += 4096) {
    if (rng() % 3 == 0) continue;
    for (std::size_t j = i; j < std::min(size, i + 1024); ++j) out[j] = static_cast<char>(rng() % 7);
  }
  return out;
}

ParkImage compress(const std::string& image, std::size_t piece) {
  auto compressor = ImageCompressor::create();
  EXPECT_TRUE(compressor);
  for (std::size_t at = 0; at < image.size(); at += piece) {
    EXPECT_TRUE((*compressor)->add(std::string_view(image).substr(at, piece)));
  }
  auto done = (*compressor)->finish();
  EXPECT_TRUE(done);
  return std::move(*done);
}

TEST(ParkImageTest, RoundTripsWhateverThePieces) {
  struct Case {
    std::size_t size;
    std::size_t piece;
  };
  const std::vector<Case> cases = {
      {0, 1},              // nothing at all
      {1, 1},              // one byte
      {100000, 7},         // many small pieces
      {5 << 20, 1 << 20},  // as the runner's pieces come
      {3 << 20, 5 << 20},  // one piece larger than the image
  };
  for (const Case& c : cases) {
    const std::string image = image_of(c.size, static_cast<std::uint32_t>(c.size));
    const ParkImage kept = compress(image, c.piece);
    EXPECT_EQ(kept.size, c.size);
    if (c.size > (1 << 20)) {
      EXPECT_LT(kept.compressed.size(), c.size / 2) << c.size;
    }
    auto back = decompress_image(kept);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, image) << c.size << " in pieces of " << c.piece;
    // Handed out in pieces no larger than asked for, the same bytes.
    std::string streamed;
    Status s = decompress_image_to(kept, [&](std::string_view part) -> Status {
      EXPECT_LE(part.size(), c.piece);
      EXPECT_FALSE(part.empty());
      streamed.append(part);
      return {};
    }, c.piece);
    ASSERT_TRUE(s) << s.error().message();
    EXPECT_EQ(streamed, image) << c.size << " streamed in pieces of " << c.piece;
  }
}

TEST(ParkImageTest, DamagedOrMismatchedImagesAreRefusedWithoutTakingMore) {
  const std::string image = image_of(2 << 20, 1);
  const ParkImage good = compress(image, 1 << 20);
  struct Case {
    const char* what;
    void (*spoil)(ParkImage&);
  };
  const std::vector<Case> cases = {
      {"flipped bytes", [](ParkImage& p) { p.compressed[p.compressed.size() / 2] ^= 0x40; }},
      {"cut short", [](ParkImage& p) { p.compressed.resize(p.compressed.size() - 10); }},
      {"trailing bytes", [](ParkImage& p) { p.compressed += "more"; }},
      {"recorded size too small", [](ParkImage& p) { p.size -= 1; }},
      {"recorded size too large", [](ParkImage& p) { p.size += 1; }},
      {"recorded size zero", [](ParkImage& p) { p.size = 0; }},
      {"not a frame", [](ParkImage& p) { p.compressed = std::string(64, 'x'); }},
      {"empty", [](ParkImage& p) { p.compressed.clear(); }},
      {"expanded, of another size", [](ParkImage& p) { p = ParkImage{"abc", 4, true}; }},
  };
  for (const Case& c : cases) {
    ParkImage spoiled = good;
    c.spoil(spoiled);
    auto back = decompress_image(spoiled);
    ASSERT_FALSE(back) << c.what;
    EXPECT_FALSE(back.error().is_internal()) << c.what;
    EXPECT_TRUE(back.error().message().starts_with("the image is damaged (")) << c.what << ": "
                                                                               << back.error().message();
  }
  // Streamed, a damaged image fails the same way, and a sink that fails
  // stops the stream with its own error.
  ParkImage cut = good;
  cut.compressed.resize(cut.compressed.size() - 10);
  std::size_t handed = 0;
  Status streamed = decompress_image_to(cut, [&](std::string_view part) -> Status {
    handed += part.size();
    return {};
  }, 4096);
  ASSERT_FALSE(streamed);
  EXPECT_TRUE(streamed.error().message().starts_with("the image is damaged (")) << streamed.error().message();
  EXPECT_LT(handed, good.size);
  int calls = 0;
  Status stopped = decompress_image_to(good, [&](std::string_view) -> Status {
    ++calls;
    return fail_message("the runner went away");
  }, 4096);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().message(), "the runner went away");
  EXPECT_EQ(calls, 1);
  // The good one still decompresses: nothing above touched it.
  auto back = decompress_image(good);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, image);
}

}  // namespace
}  // namespace vesk
