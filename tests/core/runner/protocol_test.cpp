#include "core/runner/protocol.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vesk {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

// What a line should decode to.
struct Expect {
  enum What { kProgress, kOk, kErr, kNoVariant, kSyntax } what;
  std::string text;  // progress text, stdout, or error text
  std::string stderr_text;
  Files files;
};

Expect progress(std::string t) { return {Expect::kProgress, std::move(t), {}, {}}; }
Expect ok(std::string out, std::string err, Files files = {}) {
  return {Expect::kOk, std::move(out), std::move(err), std::move(files)};
}
Expect err(std::string t) { return {Expect::kErr, std::move(t), {}, {}}; }
Expect no_variant() { return {Expect::kNoVariant, {}, {}, {}}; }
Expect syntax() { return {Expect::kSyntax, {}, {}, {}}; }

struct Case {
  std::string line;
  Expect expect;
};

void check(const Case& c) {
  SCOPED_TRACE("line: " + c.line);
  std::string line = c.line;
  const Result<ReplyLine> r = decode_reply_line(line);
  EXPECT_EQ(line, c.line) << "the line must come back unchanged";
  const Expect& e = c.expect;
  switch (e.what) {
    case Expect::kProgress:
      ASSERT_TRUE(r.has_value()) << r.error().message();
      ASSERT_TRUE(std::holds_alternative<ProgressReply>(*r));
      EXPECT_EQ(std::get<ProgressReply>(*r).text, e.text);
      break;
    case Expect::kOk: {
      ASSERT_TRUE(r.has_value()) << r.error().message();
      ASSERT_TRUE(std::holds_alternative<OkReply>(*r));
      const OkReply& o = std::get<OkReply>(*r);
      EXPECT_EQ(o.stdout_text, e.text);
      EXPECT_EQ(o.stderr_text, e.stderr_text);
      EXPECT_EQ(o.files, e.files);
      break;
    }
    case Expect::kErr:
      ASSERT_TRUE(r.has_value()) << r.error().message();
      ASSERT_TRUE(std::holds_alternative<ErrReply>(*r));
      EXPECT_EQ(std::get<ErrReply>(*r).error, e.text);
      break;
    case Expect::kNoVariant:
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().message(), kNoVariantMessage);
      EXPECT_FALSE(is_json_syntax_error(r.error()));
      EXPECT_FALSE(r.error().runner_error());
      break;
    case Expect::kSyntax:
      ASSERT_FALSE(r.has_value());
      EXPECT_TRUE(is_json_syntax_error(r.error()));
      EXPECT_NE(r.error().message().find("line 1"), std::string::npos) << r.error().message();
      EXPECT_NE(r.error().message().find("column"), std::string::npos) << r.error().message();
      EXPECT_FALSE(r.error().runner_error());
      break;
  }
  // Whatever the decoder calls JSON, an independent parser must agree on.
  if (e.what != Expect::kSyntax) {
    EXPECT_TRUE(nlohmann::json::accept(c.line)) << "decoded a line that is not JSON";
  }
}

TEST(ProtocolDecode, ProgressIsRecognisedFirst) {
  const std::vector<Case> cases = {
      {R"({"progress":"hi"})", progress("hi")},
      {R"({"progress":""})", progress("")},
      {"  {\"progress\":\"a\\nb \\u00e4\"}  \r\n", progress("a\nb \xC3\xA4")},
      {R"({"progress":"x","stdout":"a","stderr":"b","files":{}})", progress("x")},
      {R"({"error":"e","progress":"x"})", progress("x")},
      // Ignored keys need only be JSON, not bytes.
      {R"({"progress":"x","files":{"a":[256,-1,1.5]}})", progress("x")},
      // Not a string: not a progress line.
      {R"({"progress":1,"error":"e"})", err("e")},
      {R"({"progress":null})", no_variant()},
      {R"({"progress":"a","progress":"b"})", no_variant()},
  };
  for (const Case& c : cases) check(c);
}

// A reply's request number is read when it is a non-negative integer and
// left absent otherwise; it never changes which variant a line is.
TEST(ProtocolDecode, ReplyNumbers) {
  struct SeqCase {
    std::string line;
    std::optional<std::uint64_t> seq;
  };
  const std::vector<SeqCase> cases = {
      {R"({"seq":7,"stdout":"","stderr":"","files":{}})", 7},
      {R"({"stdout":"","stderr":"","files":{},"seq":18446744073709551615})", UINT64_MAX},
      {R"({"error":"e","seq":0})", 0},
      {R"({"error":"e"})", std::nullopt},
      {R"({"error":"e","seq":-1})", std::nullopt},
      {R"({"error":"e","seq":1.5})", std::nullopt},
      {R"({"error":"e","seq":"3"})", std::nullopt},
      {R"({"error":"e","seq":[3]})", std::nullopt},
  };
  for (const SeqCase& c : cases) {
    SCOPED_TRACE(c.line);
    std::string line = c.line;
    Result<ReplyLine> r = decode_reply_line(line);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    if (const auto* o = std::get_if<OkReply>(&*r)) {
      EXPECT_EQ(o->seq, c.seq);
    } else {
      ASSERT_TRUE(std::holds_alternative<ErrReply>(*r));
      EXPECT_EQ(std::get<ErrReply>(*r).seq, c.seq);
    }
  }
  // A number given twice is a key given twice; one beyond 64 bits is no
  // number this side reads, which makes the line invalid as any such number.
  std::string twice = R"({"error":"e","seq":1,"seq":1})";
  EXPECT_EQ(decode_reply_line(twice).error().message(), kNoVariantMessage);
  std::string huge = R"({"error":"e","seq":18446744073709551616})";
  EXPECT_FALSE(decode_reply_line(huge).has_value());
}

// A park's reply announces the raw bytes that follow it; a size that is no
// non-negative integer makes no image reply, and a success reply's fields
// win over "image".
TEST(ProtocolDecode, ImageReplies) {
  struct ImageCase {
    std::string line;
    std::optional<std::uint64_t> size;  // nullopt: not an image reply
  };
  const std::vector<ImageCase> cases = {
      {R"({"seq":3,"image":31457895})", 31457895},
      {R"({"image":0})", 0},
      {R"({"seq":3,"image":-1,"error":"e"})", std::nullopt},
      {R"({"seq":3,"image":"12","error":"e"})", std::nullopt},
      {R"({"seq":3,"image":1.5,"error":"e"})", std::nullopt},
      {R"({"seq":3,"image":5,"stdout":"","stderr":"","files":{}})", std::nullopt},
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.line);
    std::string line = c.line;
    Result<ReplyLine> r = decode_reply_line(line);
    ASSERT_TRUE(r.has_value()) << r.error().message();
    const auto* image = std::get_if<ImageReply>(&*r);
    EXPECT_EQ(image != nullptr, c.size.has_value());
    if (image != nullptr) {
      EXPECT_EQ(image->size, *c.size);
    }
  }
  std::string seq = R"({"image":9,"seq":4})";
  EXPECT_EQ(std::get<ImageReply>(*decode_reply_line(seq)).seq, 4u);
  std::string bad = R"({"image":-3})";
  EXPECT_EQ(decode_reply_line(bad).error().message(), kNoVariantMessage);
}

TEST(ProtocolDecode, TrimsUnicodeWhiteSpace) {
  std::string line = "\xC2\xA0\xE2\x80\xA8{\"progress\":\" a \"}\xE3\x80\x80\t\n";
  Result<ReplyLine> r = decode_reply_line(line);
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(std::get<ProgressReply>(*r).text, " a ");
  EXPECT_TRUE(is_ready_line("\xE2\x80\x83{\"ready\":true}\xC2\x85\n"));
  // Only whole white-space characters go: a lone trailing byte stays, and fails.
  line = "{\"progress\":\"a\"}\xA0";
  EXPECT_FALSE(decode_reply_line(line).has_value());
  // Nor is the start of a three-byte white-space character followed by a
  // byte that cannot continue it: such a line is not UTF-8, so not JSON.
  for (std::string bad : {"\xE2\x80\x09{\"progress\":\"a\"}", "\xE2\x80{\"progress\":\"a\"}"}) {
    Result<ReplyLine> bad_r = decode_reply_line(bad);
    ASSERT_FALSE(bad_r.has_value());
    EXPECT_TRUE(is_json_syntax_error(bad_r.error())) << bad_r.error().message();
  }
  EXPECT_FALSE(is_ready_line("\xE2\x80\x0A{\"ready\":true}"));
}

TEST(ProtocolDecode, RepliesTryOkBeforeErr) {
  const std::vector<Case> cases = {
      {R"({"stdout":"a","stderr":"b","files":{}})", ok("a", "b")},
      {R"({"files":{},"stderr":"b","stdout":"a"})", ok("a", "b")},
      {R"({"stdout":"a","stderr":"b","files":{},"error":"e"})", ok("a", "b")},
      {R"({"stdout":"a","stderr":"b"})", no_variant()},
      {R"({"stdout":"a","files":{}})", no_variant()},
      {R"({"stdout":"a","stderr":"b","error":"x"})", err("x")},
      {R"({"stdout":"a","stderr":"b","files":{"a":[1.0]},"error":"x"})", err("x")},
      {R"({"error":"boom"})", err("boom")},
      {R"({"\u0065rror":"escaped key"})", err("escaped key")},
      {R"({"error":null})", no_variant()},
      {R"({"error":"a","error":"b"})", no_variant()},
      // A key given twice spoils the object even when nobody reads it.
      {R"({"x":1,"x":2,"error":"e"})", no_variant()},
      {R"({"stdout":"","stderr":"","files":{},"x":{"y":[1,{"z":null}],"w":true,"v":-2.5e3}})",
       ok("", "")},
      {R"({"stdout":"","stderr":"","files":{},"ready":true})", ok("", "")},
      // Integers beyond 64 bits are JSON too (read as floating point).
      {R"({"stdout":"","stderr":"","files":{},)"
       R"("n":[123456789012345678901234567890,-98765432109876543210]})",
       ok("", "")},
      {"31111111111111115111111", no_variant()},
      {"{}", no_variant()},
      {R"({"ready":true})", no_variant()},
      {"42", no_variant()},
      {R"("text")", no_variant()},
      {"[]", no_variant()},
      {"null", no_variant()},
      {"\t[1, {\"error\":\"e\"}] ", no_variant()},
  };
  for (const Case& c : cases) check(c);
}

TEST(ProtocolDecode, FilesAreStrictByteArrays) {
  const std::string head = R"({"stdout":"o","stderr":"e","files":)";
  const auto line = [&](std::string files) { return head + files + "}"; };
  const std::vector<Case> cases = {
      {line(R"({"a":[97,98,99],"e":[]})"), ok("o", "e", {{"a", "abc"}, {"e", ""}})},
      {line(R"({"bin":[0,255,10,13]})"), ok("o", "e", {{"bin", std::string("\0\xff\n\r", 4)}})},
      {line(R"({"d/\u00e4.txt":[ 1 , 2 ,3 ], "e" : [ ] })"),
       ok("o", "e", {{"d/\xC3\xA4.txt", "\x01\x02\x03"}, {"e", ""}})},
      // White space after a comma, as Python's json module writes arrays.
      {line("{\"a\":[128, 0,\t255,\n\r 7]}"),
       ok("o", "e", {{"a", std::string("\x80\0\xff\x07", 4)}})},
      {line(R"({"a":[1.0]})"), no_variant()},
      {line(R"({"a":[1e2]})"), no_variant()},
      {line(R"({"a":[-1]})"), no_variant()},
      {line(R"({"a":[256]})"), no_variant()},
      {line(R"({"a":[1,2,1000]})"), no_variant()},
      {line(R"({"a":["1"]})"), no_variant()},
      {line(R"({"a":[[1]]})"), no_variant()},
      {line(R"({"a":[null]})"), no_variant()},
      {line(R"({"a":"abc"})"), no_variant()},
      {line(R"({"a":[1],"a":[2]})"), no_variant()},
      {line("null"), no_variant()},
      {line("[]"), no_variant()},
      // Malformed arrays are no JSON at all.
      {line(R"({"a":[01]})"), syntax()},
      {line(R"({"a":[1,,2]})"), syntax()},
      {line(R"({"a":[1,]})"), syntax()},
      {line(R"({"a":[1 2]})"), syntax()},
      {line(R"({"a":[1,2})"), syntax()},
      {line(R"({"a":[1,-]})"), syntax()},
      {line(R"({"a":[1,"x]})"), syntax()},
  };
  for (const Case& c : cases) check(c);
}

TEST(ProtocolDecode, TextThatIsNotJsonNamesLineAndColumn) {
  const std::vector<Case> cases = {
      {"", syntax()},
      {"   \n", syntax()},
      {"garbage\n", syntax()},
      {"nullo", syntax()},
      {"falsey", syntax()},
      {"truex\n", syntax()},
      {"Loading pyodide...", syntax()},
      {"{", syntax()},
      {R"({"error":"e"} x)", syntax()},
      {R"({"error":"e"}})", syntax()},
      {R"({"error":"e"}{"error":"f"})", syntax()},
      {R"({"error":"e",})", syntax()},
      {R"({"error":"e" "x":1})", syntax()},
      {R"({"error" "e"})", syntax()},
      {R"({'error':'e'})", syntax()},
      {R"({"x":tru,"error":"e"})", syntax()},
      {R"({"x":nul,"error":"e"})", syntax()},
      {R"({"x":NaN,"error":"e"})", syntax()},
      {R"({"x":1.,"error":"e"})", syntax()},
      {R"({"x":.5,"error":"e"})", syntax()},
      {R"({"x":1e400,"error":"e"})", syntax()},
      {R"({"x":"\q","error":"e"})", syntax()},
      {R"({"x":"\ud800","error":"e"})", syntax()},
      {"{\"error\":\"a\tb\"}", syntax()},
      {R"({"error":"unterminated)", syntax()},
      {R"({"x":[1,{"y":[}],"error":"e"})", syntax()},
  };
  for (const Case& c : cases) check(c);

  std::string line = "x";
  const Result<ReplyLine> r = decode_reply_line(line);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "parse error at line 1, column 1: syntax error while parsing value - invalid "
            "literal; last read: 'x'");
}

TEST(ProtocolDecode, HugeLines) {
  // Megabytes of arrays: split over several files, they are decoded on
  // several threads, and each must still come back whole and in its place.
  std::mt19937 rng(7);
  std::vector<std::string> contents;
  std::string good = R"({"stdout":"","stderr":"","files":{)";
  for (int f = 0; f < 6; ++f) {
    std::string bytes(500'000 + static_cast<std::size_t>(f), '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    if (f > 0) good += ',';
    good += "\"f" + std::to_string(f) + "\":[";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i != 0) good += ',';
      good += std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    good += "]";
    contents.push_back(std::move(bytes));
  }
  good += "}}\n";
  std::string line = good;
  Result<ReplyLine> r = decode_reply_line(line);
  ASSERT_TRUE(r.has_value()) << r.error().message();
  const OkReply& o = std::get<OkReply>(*r);
  ASSERT_EQ(o.files.size(), contents.size());
  for (std::size_t f = 0; f < contents.size(); ++f) {
    EXPECT_EQ(o.files[f].first, "f" + std::to_string(f));
    EXPECT_TRUE(o.files[f].second == contents[f]) << f;
  }

  // One bad element at the very end spoils the whole reply, whichever
  // thread met it.
  line = good;
  line.insert(line.size() - 4, ",256");
  r = decode_reply_line(line);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), kNoVariantMessage);

  // An unterminated string the size of the line gives a short message.
  line = R"({"error":")" + std::string(1'000'000, 'a');
  r = decode_reply_line(line);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(is_json_syntax_error(r.error()));
  EXPECT_LT(r.error().message().size(), 1000u);

  // Nesting deep enough to threaten the stack is refused, with a place.
  line = R"({"error":"e","x":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
  r = decode_reply_line(line);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(is_json_syntax_error(r.error())) << r.error().message();
  EXPECT_NE(r.error().message().find("line 1 column"), std::string::npos);
}

// Replies in the exact form a runner writes take a one-pass fast path; any
// other spelling of the same JSON goes through the general parser. Both must
// reach the same verdict on every line, valid or not.
TEST(ProtocolDecode, CompactRepliesDecodeAsTheGeneralParserDoes) {
  std::mt19937 rng(7);
  const std::vector<std::string> strings = {
      R"("")",        R"("plain")",     R"("tab\tnew\nline")", R"("\u00e9\u20ac\u0000")",
      R"("\"q\"\\")", "\"caf\xc3\xa9\"", R"("\ud83d\ude00")", R"("\ud800")",
      "\"raw\x01ctl\"", R"("bad\q")",    R"("\/")",             R"("short)"};
  const std::vector<std::string> arrays = {"[]",      "[0]",     "[255]",   "[1,2,3]", "[256]",
                                           "[01]",    "[1,]",    "[-1]",    "[1.0]",   "[1 ,2]",
                                           "[12,200,7]", "[0,0]", "[2550]", "[",       "[1"};
  const std::vector<std::string> seqs = {"0",   "7",    "18446744073709551615", "007",
                                         "-1",  "1.5",  "18446744073709551616", "\"3\"",
                                         "1e2", "null"};
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  for (int round = 0; round < 3000; ++round) {
    std::string line = "{";
    if (rng() % 2 == 0) line += "\"seq\":" + pick(seqs) + ",";
    line += "\"stdout\":" + pick(strings) + ",\"stderr\":" + pick(strings) + ",\"files\":{";
    const int n = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) {
      if (i > 0) line += ",";
      line += (rng() % 5 == 0 ? std::string("\"k\"") : "\"k" + std::to_string(i) + "\"") + ":" +
              pick(arrays);
    }
    line += rng() % 20 == 0 ? "}" : "}}";
    // The same JSON with a space after the first brace is no longer in the
    // runner's exact form.
    std::string general = "{ " + line.substr(1);
    std::string fast = line;
    Result<ReplyLine> a = decode_reply_line(fast);
    Result<ReplyLine> b = decode_reply_line(general);
    SCOPED_TRACE(line);
    ASSERT_EQ(a.has_value(), b.has_value());
    if (!a) {
      // Messages name columns, which the added space shifts; the kind of
      // verdict must agree.
      EXPECT_EQ(a.error().message() == kNoVariantMessage, b.error().message() == kNoVariantMessage);
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<OkReply>(*a));
    const OkReply& x = std::get<OkReply>(*a);
    const OkReply& y = std::get<OkReply>(*b);
    EXPECT_EQ(x.stdout_text, y.stdout_text);
    EXPECT_EQ(x.stderr_text, y.stderr_text);
    EXPECT_EQ(x.files, y.files);
    EXPECT_EQ(x.seq, y.seq);
  }
}

TEST(ProtocolDecode, ReadyLine) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"{\"ready\":true}\n", true},
      {"  {\"ready\": true, \"version\": [1,2]} \r\n", true},
      {"{\"ready\":false}\n", false},
      {"{\"ready\":\"true\"}\n", false},
      {"{\"ready\":1}\n", false},
      {"{\"ready\":true,\"ready\":true}\n", false},
      {"{\"ready\":true,\"x\":tru}\n", false},
      {"{\"ready\":true}x\n", false},
      {"{\"progress\":\"loading\"}\n", false},
      {"ready\n", false},
      {"\n", false},
      {"", false},
  };
  for (const auto& [line, ready] : cases) EXPECT_EQ(is_ready_line(line), ready) << line;
}

// Captures what an FdWriter writes, through a memory file.
class Capture {
 public:
  Capture() : fd_(::memfd_create("capture", MFD_CLOEXEC)), writer_(fd_.get()) {}
  FdWriter& writer() { return writer_; }
  std::string text() const {
    std::string out;
    char buf[65536];
    ssize_t n;
    off_t at = 0;
    while ((n = ::pread(fd_.get(), buf, sizeof buf, at)) > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      at += n;
    }
    return out;
  }

 private:
  UniqueFd fd_;
  FdWriter writer_;
};

TEST(ProtocolEncode, ExactCompactLines) {
  struct EncodeCase {
    std::string code;
    std::vector<std::pair<std::string, std::string>> files;
    std::string expected;
  };
  const std::vector<EncodeCase> cases = {
      {"pass", {}, "{\"code\":\"pass\",\"files\":{}}\n"},
      {"x", {{"a", "abc"}}, "{\"code\":\"x\",\"files\":{\"a\":[97,98,99]}}\n"},
      {"x", {{"e", ""}}, "{\"code\":\"x\",\"files\":{\"e\":[]}}\n"},
      {"x", {{"b", std::string("\0\x09\xff", 3)}}, "{\"code\":\"x\",\"files\":{\"b\":[0,9,255]}}\n"},
      {"print(\"a\\b\")\n\tx = '\xC3\xA4\xE2\x82\xAC'\r\x01\x1f\x7f",
       {},
       "{\"code\":\"print(\\\"a\\\\b\\\")\\n\\tx = '\xC3\xA4\xE2\x82\xAC'\\r\\u0001\\u001f\x7f\","
       "\"files\":{}}\n"},
      {"\b\f", {{"d/\"q\".txt", "\n"}}, "{\"code\":\"\\b\\f\",\"files\":{\"d/\\\"q\\\".txt\":[10]}}\n"},
  };
  for (const EncodeCase& c : cases) {
    FileMap files;
    for (const auto& [k, v] : c.files) files.set(k, make_content(v));
    Capture capture;
    ASSERT_TRUE(write_execute_request(capture.writer(), c.code, files));
    EXPECT_EQ(capture.text(), c.expected);
    // What we write, an independent parser reads back unchanged.
    const nlohmann::json parsed = nlohmann::json::parse(capture.text());
    EXPECT_EQ(parsed["code"].get<std::string>(), c.code);
  }

  Capture changes;
  ASSERT_TRUE(write_execute_request(changes.writer(), "c", FileMap(), ReplyForm::kChanges));
  EXPECT_EQ(changes.text(), "{\"code\":\"c\",\"reply\":\"changes\",\"files\":{}}\n");

  Capture install;
  ASSERT_TRUE(write_install_request(install.writer(), "numpy==1.0 ; \"q\" \xC3\xA4"));
  EXPECT_EQ(install.text(), "{\"package\":\"numpy==1.0 ; \\\"q\\\" \xC3\xA4\"}\n");
}

TEST(ProtocolEncode, ManyFilesAcrossBufferBoundaries) {
  std::mt19937 rng(3);
  FileMap files;
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 40; ++i) {
    std::string bytes(static_cast<std::size_t>(rng() % 30000), '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    const std::string key = "dir/f" + std::to_string(i);
    expected[key] = bytes;
    files.set(key, make_content(bytes));
  }
  files.set("one", make_content("\x07"));
  expected["one"] = "\x07";
  Capture capture;
  ASSERT_TRUE(write_execute_request(capture.writer(), "c", files));
  const std::string text = capture.text();
  ASSERT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  EXPECT_EQ(text.find(' '), std::string::npos);
  const nlohmann::json parsed = nlohmann::json::parse(text);
  std::map<std::string, std::string> got;
  for (const auto& [key, array] : parsed["files"].items()) {
    std::string bytes;
    for (const auto& v : array) bytes.push_back(static_cast<char>(v.get<int>()));
    got[key] = bytes;
  }
  EXPECT_TRUE(got == expected);
}

TEST(ProtocolEncode, RefusesTextThatIsNotUtf8AndWritesNothing) {
  FileMap bad_key;
  bad_key.set("a\xff", make_content("x"));
  Capture c1, c2, c3;
  EXPECT_FALSE(write_execute_request(c1.writer(), "print('\xC3')", FileMap()));
  EXPECT_FALSE(write_execute_request(c2.writer(), "pass", bad_key));
  EXPECT_FALSE(write_install_request(c3.writer(), "\xed\xa0\x80"));
  EXPECT_EQ(c1.text() + c2.text() + c3.text(), "");
}

}  // namespace
}  // namespace vesk
