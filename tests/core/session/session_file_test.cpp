#include "core/session/session_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/history/history.h"

namespace vesk {
namespace {

// A session with every part set: forgotten first checkpoint, labels, exit
// codes, equal contents held by different objects, a wheel, a mount origin
// and an image.
SavedSession sample() {
  History h(HistoryLimits{});
  EXPECT_TRUE(h.write_file("a.txt", "alpha"));
  EXPECT_TRUE(h.write_file("b/c.bin", std::string("\0\1\2", 3)));
  EXPECT_TRUE(h.append_run(h.current().files, "out", "err", true, 3));
  EXPECT_TRUE(h.set_checkpoint_label(2, "two"));
  EXPECT_TRUE(h.write_file("a.txt", "beta"));
  EXPECT_TRUE(h.delete_file("b/c.bin"));
  EXPECT_TRUE(h.forget_before(2, false));
  EXPECT_TRUE(h.rollback(3));
  // Checkpoints as small as they come: nothing changed, nothing printed.
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(h.append_run(h.current().files, "", "", true));
  EXPECT_TRUE(h.rollback(3));
  SavedSession s;
  s.checkpoints = h.checkpoints();
  s.current_id = h.current_id();
  s.first_files = h.first_files();
  s.label = "session";
  FileMap wheel;
  wheel.set("w.whl", make_content("alpha"));  // same bytes as a.txt, another object
  s.packages = {PackageRecord("numpy"), PackageRecord("emfs:/workspace/w.whl", wheel)};
  s.origins["a.txt"] = MountOrigin{std::make_shared<const std::string>("/host"), "a.txt",
                                   make_content("alpha")};
  s.image = ParkImage{"compressed", 1234};
  return s;
}

TEST(SessionFileTest, RoundTripKeepsEveryPartAndStoresContentsOnce) {
  const SavedSession s = sample();
  const std::string bytes = encode_session(s);
  // "alpha" is held by four objects but stored once.
  std::size_t found = 0;
  for (std::size_t at = bytes.find("alpha"); at != std::string::npos;
       at = bytes.find("alpha", at + 1)) {
    ++found;
  }
  EXPECT_EQ(found, 1u);

  Result<SavedSession> d = decode_session(bytes);
  ASSERT_TRUE(d) << d.error().message();
  ASSERT_EQ(d->checkpoints.size(), s.checkpoints.size());
  for (std::size_t i = 0; i < s.checkpoints.size(); ++i) {
    const Checkpoint& a = s.checkpoints[i];
    const Checkpoint& b = d->checkpoints[i];
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.stdout_text.str(), b.stdout_text.str());
    EXPECT_EQ(a.stderr_text.str(), b.stderr_text.str());
    EXPECT_EQ(a.label, b.label);
    EXPECT_EQ(a.exit_code, b.exit_code);
    EXPECT_TRUE(a.files == b.files) << "checkpoint " << a.id;
  }
  EXPECT_EQ(d->current_id, 3u);
  ASSERT_TRUE(d->first_files.has_value());
  EXPECT_TRUE(d->first_files->empty());
  EXPECT_EQ(d->label, "session");
  ASSERT_EQ(d->packages.size(), 2u);
  EXPECT_EQ(d->packages[0].package, "numpy");
  EXPECT_FALSE(d->packages[0].files);
  ASSERT_TRUE(d->packages[1].files);
  EXPECT_EQ(**d->packages[1].files->find("w.whl"), "alpha");
  ASSERT_EQ(d->origins.size(), 1u);
  EXPECT_EQ(d->origins["a.txt"].path(), "/host/a.txt");
  EXPECT_EQ(*d->origins["a.txt"].known, "alpha");
  ASSERT_TRUE(d->image);
  EXPECT_EQ(d->image->compressed, "compressed");
  EXPECT_EQ(d->image->size, 1234u);

  // A restored history goes on as the saved one would.
  Result<History> h = History::restore(HistoryLimits{}, std::move(d->checkpoints), d->current_id,
                                       std::move(d->first_files));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->current_id(), 3u);
  ASSERT_TRUE(h->write_file("n", "x"));
  EXPECT_EQ(h->current_id(), 4u);
  EXPECT_EQ(h->labels().size(), 1u);
}

// The header's checksum and length made right again after a change of the
// body: what a forger would do.
std::string resealed(std::string bytes) {
  const std::string_view body = std::string_view(bytes).substr(56);
  std::uint64_t n = body.size();
  for (int i = 0; i < 8; ++i) bytes[16 + i] = static_cast<char>((n >> (8 * i)) & 0xff);
  const ContentDigest sum = content_digest(body);
  bytes.replace(24, 32, reinterpret_cast<const char*>(sum.data()), 32);
  return bytes;
}

TEST(SessionFileTest, RefusesDamagedTruncatedForeignAndOtherVersions) {
  const std::string good = encode_session(sample());
  struct Case {
    const char* name;
    std::function<std::string()> bytes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"empty", [] { return std::string(); }, "not a vesk session file"},
      {"foreign", [] { return std::string("PK\3\4 a zip file, not ours at all......"); },
       "not a vesk session file"},
      {"cut in the magic", [] { return std::string("VESK"); }, "session file is truncated"},
      {"cut in the header", [&] { return good.substr(0, 30); }, "session file is truncated"},
      {"cut in the body", [&] { return good.substr(0, good.size() - 7); },
       "session file is truncated"},
      {"another version",
       [&] {
         std::string b = good;
         b[8] = 2;
         return b;
       },
       "session file version 2 is not supported (this build reads 1)"},
      {"flipped byte",
       [&] {
         std::string b = good;
         b[b.size() / 2] ^= 0x20;
         return b;
       },
       "session file is damaged: checksum mismatch"},
      {"bytes appended", [&] { return good + "x"; },
       "session file is damaged: bytes follow the end of its contents"},
      {"content forged",
       [&] {
         std::string b = good;
         b.replace(b.find("beta"), 4, "BETA");
         return resealed(b);
       },
       "session file is damaged: content of 'a.txt' does not match its hash"},
      {"mount origin outside its root",
       [] {
         SavedSession s = sample();
         s.origins["a.txt"].relative = "../etc/passwd";
         return encode_session(s);
       },
       "session file is damaged: the mount origin of 'a.txt' is not a plain path"},
      {"huge count",
       [&] {
         // No label, then a count of 2^62 contents.
         std::string b = good.substr(0, 56) + std::string(1, '\0') +
                         std::string("\0\0\0\0\0\0\0\x40", 8);
         return resealed(b);
       },
       "session file is damaged: a count passes the end of the file"},
  };
  for (const Case& c : cases) {
    Result<SavedSession> d = decode_session(c.bytes());
    ASSERT_FALSE(d) << c.name;
    EXPECT_EQ(d.error().message(), c.message) << c.name;
  }
}

}  // namespace
}  // namespace vesk
