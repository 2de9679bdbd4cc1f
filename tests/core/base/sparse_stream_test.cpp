#include "core/base/sparse_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vesk {
namespace {

struct Record {
  std::uint64_t data = 0;
  std::uint64_t zeros = 0;
};

std::uint64_t u64_at(const std::string& bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Decodes as the runner does, checking that the stream is well formed.
std::string decode(const std::string& stream, std::vector<Record>& records) {
  std::string out;
  std::size_t at = 0;
  while (at < stream.size()) {
    EXPECT_LE(at + kSparseHeaderBytes, stream.size());
    if (at + kSparseHeaderBytes > stream.size()) break;
    const Record r{u64_at(stream, at), u64_at(stream, at + 8)};
    EXPECT_GT(r.data + r.zeros, 0u);
    at += kSparseHeaderBytes;
    EXPECT_LE(at + r.data, stream.size());
    out.append(stream, at, r.data);
    out.append(r.zeros, '\0');
    at += r.data;
    records.push_back(r);
  }
  return out;
}

std::string encode(const std::string& image, std::size_t piece) {
  std::string stream;
  SparseEncoder encoder([&](std::string_view bytes) -> Status {
    stream.append(bytes);
    return {};
  });
  for (std::size_t at = 0; at < image.size(); at += piece) {
    EXPECT_TRUE(encoder.add(std::string_view(image).substr(at, piece)));
  }
  EXPECT_TRUE(encoder.finish());
  return stream;
}

std::string pages(std::size_t count, char fill) { return std::string(count * kSparsePage, fill); }

TEST(SparseEncoderTest, ImagesComeBackWholeWithoutTheirLongZeroRuns) {
  std::string dotted = pages(3, 'a');
  dotted[kSparsePage + 100] = '\0';
  std::string last_byte = pages(1, '\0');
  last_byte.back() = 'x';
  const struct Case {
    const char* name;
    std::string image;
    std::uint64_t skipped;  // zero bytes not sent
  } cases[] = {
      {"empty", "", 0},
      {"data only", pages(5, 'd') + "tail", 0},
      {"short zero run kept as data", pages(1, 'a') + pages(15, '\0') + pages(1, 'b'), 0},
      {"long zero run skipped", pages(1, 'a') + pages(16, '\0') + pages(1, 'b'), 16 * kSparsePage},
      {"zeros first", pages(20, '\0') + "x", 20 * kSparsePage},
      {"short zeros at the end skipped", pages(2, 'a') + pages(3, '\0') + std::string(2, '\0'),
       3 * kSparsePage + 2},
      {"all zero", pages(300, '\0'), 300 * kSparsePage},
      {"a page zero but for its last byte", pages(16, '\0') + last_byte + pages(16, '\0'),
       32 * kSparsePage},
      {"zero bytes inside data pages", dotted, 0},
      {"more data than a record holds", std::string(kMaxRecordData * 2 + 5, 'm'), 0},
      {"a run that is not page-aligned", "abc" + pages(17, '\0') + "z", 16 * kSparsePage},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{7}, kSparsePage - 1, kSparsePage, std::size_t{5000},
                              std::max<std::size_t>(c.image.size(), 1)}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      const std::string stream = encode(c.image, piece);
      std::vector<Record> records;
      EXPECT_EQ(decode(stream, records), c.image);
      std::uint64_t skipped = 0;
      for (const Record& r : records) {
        skipped += r.zeros;
        EXPECT_LE(r.data, kMaxRecordData + kMinZeroRun);
      }
      EXPECT_EQ(skipped, c.skipped);
      EXPECT_EQ(stream.size(), records.size() * kSparseHeaderBytes + c.image.size() - skipped);
    }
  }
}

TEST(SparseEncoderTest, TheSinksFirstErrorStopsTheStream) {
  int calls = 0;
  SparseEncoder encoder([&](std::string_view) -> Status {
    ++calls;
    return fail_message("pipe closed");
  });
  const std::string image = pages(1, 'a') + pages(20, '\0') + std::string(kMaxRecordData * 2, 'b');
  const Status added = encoder.add(image);
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().message(), "pipe closed");
  EXPECT_FALSE(encoder.add("more"));
  EXPECT_FALSE(encoder.finish());
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vesk
