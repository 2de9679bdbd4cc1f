// Decoding of the lines a runner writes (see protocol.h): simdjson's
// on-demand parser walks every value of a line, so that nothing malformed
// passes unseen, and a second parser words the message for text that is not
// JSON at all.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "core/base/parallel.h"
#include "core/runner/protocol.h"

namespace vesk {

namespace {

namespace sj = simdjson;
namespace od = simdjson::ondemand;

// Length of the Unicode White_Space character starting at s[i], or 0.
std::size_t white_space_at(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const std::size_t left = s.size() - i;
  const unsigned char c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && left >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
  if (left < 3) return 0;
  if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && b(1) == 0x80 &&
      ((b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF)) {
    return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
  }
  if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Start of the White_Space character that ends at s[end), or npos.
std::size_t white_space_before(std::string_view s, std::size_t end) {
  for (std::size_t len = 1; len <= 3 && len <= end; ++len) {
    if (white_space_at(s, end - len) == len) return end - len;
  }
  return std::string_view::npos;
}

// `s` without leading and trailing Unicode white space; returns the offset
// of the kept part in `s`.
std::string_view trim_white_space(std::string_view s, std::size_t* offset) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const std::size_t n = white_space_at(s, begin);
    if (n == 0) break;
    begin += n;
  }
  std::size_t end = s.size();
  while (end > begin) {
    const std::size_t start = white_space_before(s, end);
    if (start == std::string_view::npos || start < begin) break;
    end = start;
  }
  *offset = begin;
  return s.substr(begin, end - begin);
}

// Reads numbers written the compact way both sides write byte arrays,
// "97,98,99", from `p` into `dst`: each a JSON integer from 0 to 255, each
// followed by a comma or not. Stops before anything else (white space, a
// leading zero, a fourth digit, a value above 255, a bracket), after a number
// not followed by a comma (setting `*after_number`), at `end`, or once
// `bound` bytes are written. Returns the count; `p` is left at the first
// character not read. It looks up to three bytes past `p`, so at least that
// many readable bytes must follow `end` in memory (a line's padding).
std::size_t read_compact_bytes(const char*& p, const char* end, char* dst, std::size_t bound,
                               bool* after_number) {
  const auto digit = [](char c) {
    return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0';
  };
  std::size_t i = 0;
  *after_number = false;
  while (p < end && i < bound) {
    // Without branches on the number of digits, which random bytes would
    // mispredict half of the time: all-ones masks select the longer readings.
    const unsigned d0 = digit(p[0]), d1 = digit(p[1]), d2 = digit(p[2]);
    if (d0 > 9) break;
    const unsigned two = d1 <= 9;
    const unsigned three = two & (d2 <= 9);
    unsigned n = d0;
    n = (n & (two - 1)) | ((n * 10 + d1) & (0u - two));
    n = (n & (three - 1)) | ((n * 10 + d2) & (0u - three));
    const std::size_t len = 1 + two + three;
    if ((d0 == 0 && two) || n > 255 || digit(p[len]) <= 9) break;
    dst[i++] = static_cast<char>(n);
    p += len;
    if (p >= end || *p != ',') {
      *after_number = true;
      break;
    }
    ++p;
  }
  return i;
}

enum class Mode { kReady, kReply };

// What one walk over a line found. Syntax errors are not recorded here: they
// end the walk.
struct Found {
  bool object = false;
  bool duplicate_key = false;
  std::optional<bool> ready;
  std::optional<std::string> progress;
  std::optional<std::string> stream;
  std::optional<std::string> stdout_text;
  std::optional<std::string> stderr_text;
  std::optional<std::string> error;
  std::optional<std::uint64_t> seq;
  std::optional<std::uint64_t> image;
  std::optional<std::vector<std::string>> installed;
  std::optional<std::vector<std::string>> removed;
  std::optional<bool> resync;
  bool files_valid = false;
  bool changed_valid = false;
  std::vector<std::pair<std::string, std::string>> changed;
  std::vector<std::pair<std::string, std::string>> files;
};

// Walks a whole document with simdjson's on-demand parser, looking at every
// value, including those of keys nobody reads: on-demand parsing skips what it
// is not asked for without checking it, and malformed JSON must never pass.
class Walker {
 public:
  explicit Walker(Mode mode) : mode_(mode) {}

  sj::error_code walk(od::document& doc, Found& found) {
    od::json_type type;
    if (auto e = doc.type().get(type)) return e;
    sj::error_code e = sj::SUCCESS;
    switch (type) {
      case od::json_type::object: {
        found.object = true;
        od::object object;
        if ((e = doc.get_object().get(object))) return e;
        e = walk_top_object(object, found);
        break;
      }
      case od::json_type::array: {
        od::array array;
        if ((e = doc.get_array().get(array))) return e;
        e = check_array(array);
        break;
      }
      case od::json_type::string: {
        std::string_view s;
        e = checked_string(doc.get_string(), s);
        break;
      }
      case od::json_type::number:
        e = check_number(doc);
        break;
      case od::json_type::boolean: {
        if (!root_literal(doc, "true") && !root_literal(doc, "false")) return sj::T_ATOM_ERROR;
        bool b;
        e = doc.get_bool().get(b);
        break;
      }
      case od::json_type::null: {
        if (!root_literal(doc, "null")) return sj::N_ATOM_ERROR;
        bool is_null = false;
        if ((e = doc.is_null().get(is_null))) return e;
        if (!is_null) return sj::N_ATOM_ERROR;
        break;
      }
    }
    if (e) return e;
    // Past the last token the parser has no location to give.
    const char* rest = nullptr;
    return doc.current_location().get(rest) == sj::OUT_OF_BOUNDS ? sj::SUCCESS
                                                                 : sj::TRAILING_CONTENT;
  }

 private:
  // Whether the document is the literal `word` alone. simdjson 3.0 looks one
  // byte too far when a document is only a literal, and takes "nullo" or
  // "falsey" on a line of their own for null and false.
  static bool root_literal(od::document& doc, std::string_view word) {
    std::string_view raw;
    if (doc.raw_json_token().get(raw)) return false;
    while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t' || raw.back() == '\n' ||
                            raw.back() == '\r')) {
      raw.remove_suffix(1);
    }
    return raw == word;
  }

  // An integer beyond 64 bits is still JSON (other readers take it as a
  // floating-point value), but simdjson's number reader refuses it: such a
  // number is read again as a double, which fails only when the text is no
  // number or out of a double's range.
  template <class V>
  static sj::error_code check_number(V& value) {
    od::number n;
    sj::error_code e = value.get_number().get(n);
    if (e == sj::NUMBER_ERROR) {
      double d;
      e = value.get_double().get(d);
    }
    return e;
  }

  // A string must also be valid UTF-8 once unescaped: a lone surrogate
  // escape would otherwise turn into bytes no text may hold.
  static sj::error_code checked_string(sj::simdjson_result<std::string_view> r,
                                       std::string_view& out) {
    if (auto e = std::move(r).get(out)) return e;
    return sj::validate_utf8(out.data(), out.size()) ? sj::SUCCESS : sj::STRING_ERROR;
  }

  sj::error_code walk_top_object(od::object& object, Found& found) {
    std::unordered_set<std::string> seen;
    for (auto item : object) {
      od::field field;
      if (auto e = std::move(item).get(field)) return e;
      std::string_view key;
      if (auto e = checked_string(field.unescaped_key(), key)) return e;
      const bool first = seen.emplace(key).second;
      if (!first) found.duplicate_key = true;
      od::value value = field.value();
      sj::error_code e;
      if (!first) {
        e = check_value(value);
      } else if (mode_ == Mode::kReady) {
        e = key == "ready" ? read_bool(value, found.ready) : check_value(value);
      } else if (key == "progress") {
        e = read_string(value, found.progress);
      } else if (key == "stream") {
        e = read_string(value, found.stream);
      } else if (key == "stdout") {
        e = read_string(value, found.stdout_text);
      } else if (key == "stderr") {
        e = read_string(value, found.stderr_text);
      } else if (key == "error") {
        e = read_string(value, found.error);
      } else if (key == "files") {
        e = read_files(value, found.files, found.files_valid);
      } else if (key == "seq") {
        e = read_count(value, found.seq);
      } else if (key == "image") {
        e = read_count(value, found.image);
      } else if (key == "installed") {
        e = read_strings(value, found.installed);
      } else if (key == "removed") {
        e = read_strings(value, found.removed);
      } else if (key == "changed") {
        e = read_files(value, found.changed, found.changed_valid);
      } else if (key == "resync") {
        e = read_bool(value, found.resync);
      } else {
        e = check_value(value);
      }
      if (e) return e;
    }
    return sj::SUCCESS;
  }

  // Sets `out` if the value is a string; checks it in any case.
  sj::error_code read_string(od::value& value, std::optional<std::string>& out) {
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type != od::json_type::string) return check_value(value);
    std::string_view s;
    if (auto e = checked_string(value.get_string(), s)) return e;
    out.emplace(s);
    return sj::SUCCESS;
  }

  // Sets `out` if the value is an array of strings only; checks it in any
  // case.
  sj::error_code read_strings(od::value& value, std::optional<std::vector<std::string>>& out) {
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type != od::json_type::array) return check_value(value);
    od::array array;
    if (auto e = value.get_array().get(array)) return e;
    std::vector<std::string> items;
    bool all_strings = true;
    for (auto item : array) {
      od::value element;
      if (auto e = std::move(item).get(element)) return e;
      od::json_type element_type;
      if (auto e = element.type().get(element_type)) return e;
      if (element_type != od::json_type::string) {
        all_strings = false;
        if (auto e = check_value(element)) return e;
        continue;
      }
      std::string_view text;
      if (auto e = checked_string(element.get_string(), text)) return e;
      items.emplace_back(text);
    }
    if (all_strings) out = std::move(items);
    return sj::SUCCESS;
  }

  sj::error_code read_bool(od::value& value, std::optional<bool>& out) {
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type != od::json_type::boolean) return check_value(value);
    bool b;
    if (auto e = value.get_bool().get(b)) return e;
    out = b;
    return sj::SUCCESS;
  }

  // Sets `out` if the value is an integer from 0 up; checks it in any case.
  sj::error_code read_count(od::value& value, std::optional<std::uint64_t>& out) {
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type != od::json_type::number) return check_value(value);
    od::number n;
    if (auto e = value.get_number().get(n)) return e;
    if (n.is_uint64()) {
      out = n.get_uint64();
    } else if (n.is_int64() && n.get_int64() >= 0) {
      out = static_cast<std::uint64_t>(n.get_int64());
    }
    return sj::SUCCESS;
  }

  // "files" or "changed": an object of key -> byte array, keys unique.
  sj::error_code read_files(od::value& value, std::vector<std::pair<std::string, std::string>>& files,
                            bool& files_valid) {
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type != od::json_type::object) return check_value(value);
    od::object object;
    if (auto e = value.get_object().get(object)) return e;
    bool valid = true;
    std::unordered_set<std::string_view> keys;
    for (auto item : object) {
      od::field field;
      if (auto e = std::move(item).get(field)) return e;
      std::string_view key;
      // The key's unescaped text stays valid for the life of the document.
      if (auto e = checked_string(field.unescaped_key(), key)) return e;
      if (!keys.insert(key).second) valid = false;
      od::value bytes_value = field.value();
      std::string bytes;
      if (auto e = read_bytes(bytes_value, valid ? &bytes : nullptr, valid)) return e;
      if (valid) files.emplace_back(std::string(key), std::move(bytes));
    }
    files_valid = valid;
    if (!valid) files.clear();
    return sj::SUCCESS;
  }

  // A byte array: every element a JSON integer from 0 to 255. Anything else
  // clears `valid` (the walk goes on, to check the rest of the line). With
  // `out` null the bytes are only checked.
  sj::error_code read_bytes(od::value& value, std::string* out, bool& valid) {
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type != od::json_type::array) {
      valid = false;
      return check_value(value);
    }
    od::array array;
    if (auto e = value.get_array().get(array)) return e;
    // Skipping the array is cheap; its text is then read directly, far
    // faster than value by value through the parser's iterator.
    std::string_view raw;
    if (auto e = array.raw_json().get(raw)) return e;
    std::string scratch;
    if (parse_byte_array(raw, out != nullptr ? *out : scratch)) return sj::SUCCESS;
    // Not a plain byte array: some element is no byte, or the text is no
    // JSON at all. Parse it on its own to tell which.
    valid = false;
    if (out != nullptr) out->clear();
    const sj::padded_string copy(raw);
    od::parser parser;
    od::document doc;
    if (auto e = parser.iterate(copy).get(doc)) return e;
    Found ignored;
    return Walker(Mode::kReply).walk(doc, ignored);
  }

  // Parses `raw`, the text of an array up to the next token (so it may end
  // in white space), when it holds only integers 0..255 written the JSON way.
  // At least four readable bytes must follow `raw` in memory (the document's
  // padding sees to that): the fast path looks a little ahead.
  static bool parse_byte_array(std::string_view raw, std::string& out) {
    const char* p = raw.data();
    const char* const end = p + raw.size();
    const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    const auto skip_space = [&] {
      while (p < end && is_space(*p)) ++p;
    };
    const auto digit = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; };
    if (p == end || *p != '[') return false;
    ++p;
    skip_space();
    if (p < end && *p == ']') {
      ++p;
      skip_space();
      out.clear();
      return p == end;
    }
    // Each element takes at least two characters ("0,") but the last, which
    // bounds the count; pages of the bound that are never written are never
    // touched either.
    const std::size_t bound = static_cast<std::size_t>(end - p) / 2 + 1;
    bool ok = false;
    out.resize_and_overwrite(bound, [&](char* dst, std::size_t) {
      std::size_t i = 0;
      for (;;) {
        // The compact form first; anything unusual is left to the careful
        // code below.
        bool after_number = false;
        i += read_compact_bytes(p, end, dst + i, bound - i, &after_number);
        if (!after_number) {
          // The compact reader may have stopped at white space after a comma.
          skip_space();
          if (p == end || digit(*p) > 9 || i == bound) return i;
          unsigned n = digit(*p++);
          if (n != 0) {  // no leading zeros
            for (int k = 0; k < 2 && p < end && digit(*p) <= 9; ++k) n = n * 10 + digit(*p++);
          }
          if (n > 255 || (p < end && digit(*p) <= 9)) return i;
          dst[i++] = static_cast<char>(n);
        }
        skip_space();
        if (p < end && *p == ',') {
          ++p;
          skip_space();
          continue;
        }
        if (p == end || *p != ']') return i;
        ++p;
        skip_space();
        ok = p == end;
        return i;
      }
    });
    return ok;
  }

  sj::error_code check_array(od::array& array) {
    for (auto item : array) {
      od::value element;
      if (auto e = std::move(item).get(element)) return e;
      if (auto e = check_value(element)) return e;
    }
    return sj::SUCCESS;
  }

  // Checks any value completely. Nesting is bounded here, since the walk
  // recurses: a line of a million brackets must not overflow the stack.
  sj::error_code check_value(od::value& value) {
    od::json_type type;
    if (auto e = value.type().get(type)) return e;
    if (type == od::json_type::object || type == od::json_type::array) {
      if (depth_ == kMaxDepth) return sj::DEPTH_ERROR;
      ++depth_;
    }
    const sj::error_code e = check_nested(value, type);
    if (type == od::json_type::object || type == od::json_type::array) --depth_;
    return e;
  }

  sj::error_code check_nested(od::value& value, od::json_type type) {
    switch (type) {
      case od::json_type::object: {
        od::object object;
        if (auto e = value.get_object().get(object)) return e;
        for (auto item : object) {
          od::field field;
          if (auto e = std::move(item).get(field)) return e;
          std::string_view key;
          if (auto e = checked_string(field.unescaped_key(), key)) return e;
          od::value inner = field.value();
          if (auto e = check_value(inner)) return e;
        }
        return sj::SUCCESS;
      }
      case od::json_type::array: {
        od::array array;
        if (auto e = value.get_array().get(array)) return e;
        return check_array(array);
      }
      case od::json_type::string: {
        std::string_view s;
        return checked_string(value.get_string(), s);
      }
      case od::json_type::number:
        return check_number(value);
      case od::json_type::boolean: {
        bool b;
        return value.get_bool().get(b);
      }
      case od::json_type::null: {
        bool is_null = false;
        if (auto e = value.is_null().get(is_null)) return e;
        return is_null ? sj::SUCCESS : sj::N_ATOM_ERROR;
      }
    }
    return sj::TAPE_ERROR;
  }

  static constexpr int kMaxDepth = 256;
  const Mode mode_;
  int depth_ = 0;
};

// The success reply exactly as a runner writes it, compact and in key order:
// {"seq":N,"stdout":S,"stderr":S,"files":{S:[n,n,...],...}} ("seq" may be
// missing). Such a line is read in
// one pass at memory speed, without building the parser's index of every
// number and comma first (a workspace of many megabytes is tens of millions
// of them). The form accepted is a strict subset of JSON; anything else, or
// anything doubtful (a duplicate key, a surrogate escape, white space), is
// left to the general parser, which then gives the verdict.
class CanonicalReply {
 public:
  explicit CanonicalReply(std::string_view text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  std::optional<OkReply> parse() {
    OkReply ok;
    if (!literal("{")) return std::nullopt;
    if (literal("\"seq\":")) {
      ok.seq = count();
      if (!ok.seq || !literal(",")) return std::nullopt;
    }
    if (!literal("\"stdout\":") || !string(ok.stdout_text) || !literal(",\"stderr\":") ||
        !string(ok.stderr_text) || !literal(",\"files\":{")) {
      return std::nullopt;
    }
    // The arrays are only delimited here and decoded once the whole line is
    // known to have this form.
    std::vector<std::string_view> arrays;
    std::unordered_set<std::string> keys;
    if (peek() != '}') {
      for (;;) {
        std::string key;
        std::string_view array;
        if (!string(key) || !literal(":") || !array_span(array)) return std::nullopt;
        if (!keys.insert(key).second) return std::nullopt;
        ok.files.emplace_back(std::move(key), std::string());
        arrays.push_back(array);
        if (peek() != ',') break;
        ++p_;
      }
    }
    if (!literal("}}") || p_ != end_) return std::nullopt;
    if (!decode_arrays(arrays, ok.files)) return std::nullopt;
    return ok;
  }

 private:
  char peek() const { return p_ < end_ ? *p_ : '\0'; }

  bool literal(std::string_view s) {
    if (static_cast<std::size_t>(end_ - p_) < s.size() || std::string_view(p_, s.size()) != s) {
      return false;
    }
    p_ += s.size();
    return true;
  }

  // A JSON integer from 0 to UINT64_MAX, without a sign or a leading zero.
  std::optional<std::uint64_t> count() {
    const char* start = p_;
    std::uint64_t n = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      const auto d = static_cast<std::uint64_t>(*p_ - '0');
      if (n > (UINT64_MAX - d) / 10) return std::nullopt;
      n = n * 10 + d;
      ++p_;
    }
    if (p_ == start || (*start == '0' && p_ - start > 1)) return std::nullopt;
    return n;
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // A JSON string. The line is known to be UTF-8 already; raw control
  // characters are not JSON, and surrogate escapes are left to the parser.
  bool string(std::string& out) {
    if (peek() != '"') return false;
    ++p_;
    for (;;) {
      const char* run = p_;
      while (p_ < end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
      out.append(run, static_cast<std::size_t>(p_ - run));
      if (p_ == end_ || static_cast<unsigned char>(*p_) < 0x20) return false;
      if (*p_ == '"') {
        ++p_;
        return true;
      }
      if (end_ - p_ < 2) return false;
      const char e = p_[1];
      p_ += 2;
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          if (end_ - p_ < 4) return false;
          unsigned cp = 0;
          for (int i = 0; i < 4; ++i) {
            const int h = hex(p_[i]);
            if (h < 0) return false;
            cp = cp * 16 + static_cast<unsigned>(h);
          }
          p_ += 4;
          if (cp >= 0xD800 && cp <= 0xDFFF) return false;
          if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
          } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
          } else {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
          }
          break;
        }
        default:
          return false;
      }
    }
  }

  // "[...]": the text between the brackets goes to `inner`. In this form
  // the first ']' closes the array.
  bool array_span(std::string_view& inner) {
    if (peek() != '[') return false;
    const auto* close = static_cast<const char*>(
        std::memchr(p_ + 1, ']', static_cast<std::size_t>(end_ - p_ - 1)));
    if (close == nullptr) return false;
    inner = std::string_view(p_ + 1, static_cast<std::size_t>(close - p_ - 1));
    p_ = close + 1;
    return true;
  }

  // "97,98,99": integers 0..255 without leading zeros, no white space, into
  // `out`, sized exactly (contents live on in the history). `scratch` is
  // reused between calls. The text must be followed in memory by a few
  // readable bytes that are no digits: the loop reads up to three bytes
  // ahead, and a ']' or the line's padding always follows.
  static bool decode_array(std::string_view text, std::string& scratch, std::string& out) {
    if (text.empty()) return true;
    const char* p = text.data();
    const char* const end = text.data() + text.size();
    bool ok = false;
    std::size_t n = 0;
    scratch.resize_and_overwrite(text.size() / 2 + 1, [&](char* dst, std::size_t bound) {
      bool after_number = false;
      n = read_compact_bytes(p, end, dst, bound, &after_number);
      ok = after_number && p == end;
      return n;
    });
    if (!ok) return false;
    out.assign(scratch.data(), n);
    return true;
  }

  // A workspace of many megabytes is decoded on a few threads, one share of
  // the files each.
  static bool decode_arrays(const std::vector<std::string_view>& arrays,
                            std::vector<std::pair<std::string, std::string>>& files) {
    constexpr std::size_t kParallelText = 4 << 20;
    std::size_t text = 0;
    for (std::string_view a : arrays) text += a.size();
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t workers =
        text < kParallelText ? 1 : std::min({arrays.size(), cores, std::size_t{4}});
    std::vector<std::string> scratch(workers);
    const Status decoded =
        parallel_for(arrays.size(), scratch.size(), [&](std::size_t i, std::size_t worker) -> Status {
          if (!decode_array(arrays[i], scratch[worker], files[i].second)) {
            return fail_message("not in the compact form");
          }
          return {};
        });
    return decoded.has_value();
  }

  const char* p_;
  const char* const end_;
};

// Records the first parse error of a SAX pass; accepts every event.
struct ErrorSax : nlohmann::json_sax<nlohmann::json> {
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t at, const std::string&,
                   const nlohmann::detail::exception& ex) override {
    message = ex.what();
    position = at;
    return false;
  }
  std::string message;
  std::size_t position = 0;
};

// Long enough for any position and a short excerpt; the parser's excerpt of
// an unterminated string could otherwise be the whole (huge) line.
constexpr std::size_t kMaxMessage = 512;

std::string shorten(std::string message) {
  if (message.size() <= kMaxMessage) return message;
  std::size_t cut = kMaxMessage;
  while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) --cut;
  message.resize(cut);
  return message + "...";
}

// The message for text that is not JSON: the one of a second parser that
// reports line and column, run only now that the text is known to be bad. It
// keeps no document, so a huge line costs no more memory here.
std::string syntax_error_message(std::string_view text, sj::error_code code,
                                 std::optional<std::size_t> offset) {
  ErrorSax sax;
  nlohmann::json::sax_parse(text.begin(), text.end(), &sax, nlohmann::json::input_format_t::json,
                            /*strict=*/true);
  std::string message = std::move(sax.message);
  if (!message.empty()) {
    // Drop the exception's id prefix, "[json.exception.parse_error.101] ".
    if (message.starts_with("[json.exception.")) {
      const std::size_t close = message.find("] ");
      if (close != std::string::npos) message.erase(0, close + 2);
    }
    // Range errors ("number overflow parsing '1e400'") come without a place.
    if (!message.starts_with("parse error at line ")) {
      return shorten(std::move(message)) + " at line 1, column " + std::to_string(sax.position);
    }
    return shorten(std::move(message));
  }
  // The second parser takes what the first refused (nesting deeper than the
  // first allows, a number out of range): report the first one's reason.
  // A line holds no line feed, so the position is on line 1.
  const std::size_t column = offset.value_or(text.size()) + 1;
  return std::string(sj::error_message(code)) + " at line 1 column " + std::to_string(column);
}

// Walks `text`, which is followed in memory by at least SIMDJSON_PADDING
// readable bytes (`capacity` counts them). On a syntax error returns its
// message; otherwise fills `found`.
std::optional<std::string> walk_line(std::string_view text, std::size_t capacity, Mode mode,
                                      Found& found) {
  od::parser parser;
  od::document doc;
  sj::error_code e = parser.iterate(sj::padded_string_view(text.data(), text.size(), capacity))
                         .get(doc);
  if (e) return syntax_error_message(text, e, std::nullopt);
  e = Walker(mode).walk(doc, found);
  if (!e) return std::nullopt;
  std::optional<std::size_t> offset;
  if (const char* at = nullptr; !doc.current_location().get(at) && at >= text.data() &&
                                at <= text.data() + text.size()) {
    offset = static_cast<std::size_t>(at - text.data());
  }
  return syntax_error_message(text, e, offset);
}

}  // namespace

bool is_ready_line(std::string_view line) {
  std::size_t offset = 0;
  const std::string_view text = trim_white_space(line, &offset);
  const sj::padded_string padded(text);
  Found found;
  if (walk_line(std::string_view(padded.data(), padded.size()),
                padded.size() + sj::SIMDJSON_PADDING, Mode::kReady, found)) {
    return false;
  }
  return found.object && !found.duplicate_key && found.ready == true;
}

Result<ReplyLine> decode_reply_line(std::string& line) {
  return guard([&]() -> Result<ReplyLine> {
    const std::size_t size = line.size();
    std::size_t offset = 0;
    const std::size_t length = trim_white_space(line, &offset).size();
    // Both parsers read a little past the text; spaces are harmless there.
    line.append(sj::SIMDJSON_PADDING, ' ');
    if (std::optional<OkReply> ok =
            CanonicalReply(std::string_view(line.data() + offset, length)).parse()) {
      line.resize(size);
      return *std::move(ok);
    }
    const std::string_view text(line.data() + offset, length);
    Found found;
    std::optional<std::string> syntax =
        walk_line(text, line.size() - offset, Mode::kReply, found);
    line.resize(size);
    if (syntax) return fail_message(std::move(*syntax));
    if (found.object && !found.duplicate_key) {
      if (found.progress) {
        return ProgressReply{std::move(*found.progress), found.stream == "stderr"};
      }
      if (found.stdout_text && found.stderr_text && found.files_valid) {
        return OkReply{std::move(*found.stdout_text), std::move(*found.stderr_text),
                       std::move(found.files), found.seq, false, {}, std::move(found.installed)};
      }
      if (found.stdout_text && found.stderr_text && found.changed_valid && found.removed) {
        return OkReply{std::move(*found.stdout_text), std::move(*found.stderr_text),
                       std::move(found.changed), found.seq, true, std::move(*found.removed),
                       std::nullopt};
      }
      if (found.image) return ImageReply{*found.image, found.seq};
      if (found.error) return ErrReply{std::move(*found.error), found.seq};
      if (found.resync == true) return ErrReply{std::string(), found.seq, true};
    }
    return fail_message(std::string(kNoVariantMessage));
  });
}

bool is_json_syntax_error(const Error& error) {
  return error.kind() == Error::Kind::Message && error.message() != kNoVariantMessage;
}

}  // namespace vesk
