// The decoder of runner lines against a reference built on another JSON
// parser. Each input is one line; the reference trims Unicode white space,
// parses the rest strictly (nlohmann's SAX interface, keeping duplicate keys
// that a DOM would merge), and classifies it the way the protocol reads:
// progress, success reply, failure reply, no variant, or not JSON. For every
// line that is UTF-8 (the only ones the runner's reader passes on) the
// decoder must agree on the class and on every decoded text and byte, leave
// the line as it was, and is_ready_line must agree too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/runner/protocol.h"
#include "core/base/utf8.h"

namespace {

std::string_view g_line;

void check(bool ok, const char* what, std::string_view detail = {}) {
  if (ok) return;
  std::fprintf(stderr, "runner line check failed: %s\n  %.*s\nline (%zu bytes): %.*s\n", what,
               static_cast<int>(detail.size()), detail.data(), g_line.size(),
               static_cast<int>(std::min<std::size_t>(g_line.size(), 2000)), g_line.data());
  std::abort();
}

// A parsed JSON value with its object members in order, duplicates kept.
struct Value {
  enum Type { kNull, kBool, kNegative, kUnsigned, kFloat, kString, kArray, kObject } type = kNull;
  bool boolean = false;
  std::uint64_t number = 0;
  std::string text;
  std::vector<Value> items;       // of an array or an object
  std::vector<std::string> keys;  // of an object, one per item
};

class Builder : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return add(Value{}); }
  bool boolean(bool b) override {
    Value v;
    v.type = Value::kBool;
    v.boolean = b;
    return add(std::move(v));
  }
  bool number_integer(number_integer_t) override {
    Value v;
    v.type = Value::kNegative;  // the parser reports non-negative integers as unsigned
    return add(std::move(v));
  }
  bool number_unsigned(number_unsigned_t n) override {
    Value v;
    v.type = Value::kUnsigned;
    v.number = n;
    return add(std::move(v));
  }
  bool number_float(number_float_t, const string_t& literal) override {
    // An integer past 64 bits: the reference parser makes it a float, the
    // decoder refuses the number. Either is fair for a line no runner sends.
    if (literal.find_first_of(".eE") == string_t::npos) big_integer = true;
    Value v;
    v.type = Value::kFloat;
    return add(std::move(v));
  }
  bool string(string_t& s) override {
    Value v;
    v.type = Value::kString;
    v.text = s;
    return add(std::move(v));
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override { return open(Value::kObject); }
  bool key(string_t& k) override {
    pending_key_ = k;
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Value::kArray); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  Value root;
  std::size_t max_depth = 0;
  bool big_integer = false;  // an integer literal too large for 64 bits

 private:
  bool add(Value v) {
    put(std::move(v));
    return true;
  }
  Value* put(Value v) {
    if (stack_.empty()) {
      root = std::move(v);
      return &root;
    }
    Value* parent = stack_.back();
    if (parent->type == Value::kObject) parent->keys.push_back(pending_key_);
    parent->items.push_back(std::move(v));
    return &parent->items.back();
  }
  bool open(Value::Type type) {
    Value v;
    v.type = type;
    stack_.push_back(put(std::move(v)));
    max_depth = std::max(max_depth, stack_.size());
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }
  // Pointers stay valid: a container is only appended to while it is the
  // innermost open one, and its own parent no longer grows meanwhile.
  std::vector<Value*> stack_;
  std::string pending_key_;
};

// Unicode White_Space, the characters the decoder trims around a line.
std::size_t space_at(std::string_view s, std::size_t i) {
  static const char* const kSpaces[] = {
      "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
      "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
      "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
      "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
      "\xE3\x80\x80"};
  for (const char* sp : kSpaces) {
    if (s.substr(i).starts_with(sp)) return std::string_view(sp).size();
  }
  return 0;
}

std::string_view trim(std::string_view s) {
  std::size_t n;
  while (!s.empty() && (n = space_at(s, 0)) > 0) s.remove_prefix(n);
  for (bool again = true; again;) {
    again = false;
    for (std::size_t len = 1; len <= 3 && len <= s.size(); ++len) {
      if (space_at(s, s.size() - len) == len) {
        s.remove_suffix(len);
        again = true;
        break;
      }
    }
  }
  return s;
}

// What the reference makes of a line.
struct Expected {
  enum Kind { kSyntax, kNoVariant, kProgress, kOk, kErr, kUnsure } kind;
  std::string a, b;  // progress / stdout + stderr / error
  std::vector<std::pair<std::string, std::string>> files;
  bool ready = false;
};

const Value* member(const Value& object, std::string_view key) {
  for (std::size_t i = 0; i < object.keys.size(); ++i) {
    if (object.keys[i] == key) return &object.items[i];
  }
  return nullptr;
}

bool unique_keys(const Value& object) {
  const std::set<std::string_view> seen(object.keys.begin(), object.keys.end());
  return seen.size() == object.keys.size();
}

// The files object as key -> bytes, or nothing when it is not one.
std::optional<std::vector<std::pair<std::string, std::string>>> files_of(const Value& v) {
  if (v.type != Value::kObject || !unique_keys(v)) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> out;
  for (std::size_t i = 0; i < v.keys.size(); ++i) {
    const Value& bytes = v.items[i];
    if (bytes.type != Value::kArray) return std::nullopt;
    std::string content;
    for (const Value& b : bytes.items) {
      if (b.type != Value::kUnsigned || b.number > 255) return std::nullopt;
      content += static_cast<char>(b.number);
    }
    out.emplace_back(v.keys[i], std::move(content));
  }
  return out;
}

Expected classify(std::string_view line) {
  const std::string_view text = trim(line);
  Builder builder;
  const bool parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                                nlohmann::json::input_format_t::json, true);
  // The decoder refuses nesting deeper than 256 levels; near that, either
  // answer may be right.
  if (builder.max_depth > 250 || builder.big_integer) return {Expected::kUnsure, {}, {}, {}, false};
  // The reference parser stops at a NUL byte as at the end of its input, but
  // a raw NUL is never JSON, in a string or outside one.
  if (!parsed || text.find('\0') != std::string_view::npos) {
    return {Expected::kSyntax, {}, {}, {}, false};
  }
  const Value& root = builder.root;
  if (root.type != Value::kObject || !unique_keys(root)) {
    return {Expected::kNoVariant, {}, {}, {}, false};
  }
  Expected e{Expected::kNoVariant, {}, {}, {}, false};
  const Value* ready = member(root, "ready");
  e.ready = ready != nullptr && ready->type == Value::kBool && ready->boolean;
  const auto string_member = [&](std::string_view key) -> const std::string* {
    const Value* v = member(root, key);
    return v != nullptr && v->type == Value::kString ? &v->text : nullptr;
  };
  const Value* files = member(root, "files");
  auto decoded_files = files ? files_of(*files) : std::nullopt;
  if (const std::string* p = string_member("progress")) {
    e.kind = Expected::kProgress;
    e.a = *p;
  } else if (string_member("stdout") && string_member("stderr") && decoded_files) {
    e.kind = Expected::kOk;
    e.a = *string_member("stdout");
    e.b = *string_member("stderr");
    e.files = std::move(*decoded_files);
  } else if (const std::string* err = string_member("error")) {
    e.kind = Expected::kErr;
    e.a = *err;
  }
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string original(reinterpret_cast<const char*>(data), size);
  g_line = original;
  std::string line = original;
  const vesk::Result<vesk::ReplyLine> got = vesk::decode_reply_line(line);
  check(line == original, "the line was changed");
  const bool ready = vesk::is_ready_line(original);

  const Expected e = classify(original);
  if (e.kind == Expected::kUnsure) return 0;
  check(ready == e.ready, ready ? "taken for the ready line" : "ready line not recognised");
  // Only UTF-8 lines reach the decoder (the runner's reader drops the
  // others); for them it need not give the verdict, only survive.
  if (!vesk::is_valid_utf8(original)) return 0;
  switch (e.kind) {
    case Expected::kSyntax:
      check(!got && vesk::is_json_syntax_error(got.error()), "not JSON, yet not a syntax error",
            got ? "decoded" : got.error().message());
      check(got.error().message().find("line ") != std::string::npos,
            "syntax error without a place", got.error().message());
      break;
    case Expected::kNoVariant:
      check(!got && got.error().message() == vesk::kNoVariantMessage, "no variant expected",
            got ? "decoded" : got.error().message());
      break;
    case Expected::kProgress:
      check(got && std::holds_alternative<vesk::ProgressReply>(*got), "progress expected",
            got ? "another reply" : got.error().message());
      check(std::get<vesk::ProgressReply>(*got).text == e.a, "progress text");
      break;
    case Expected::kOk: {
      check(got && std::holds_alternative<vesk::OkReply>(*got), "success reply expected",
            got ? "another reply" : got.error().message());
      const auto& ok = std::get<vesk::OkReply>(*got);
      check(ok.stdout_text == e.a && ok.stderr_text == e.b, "stdout or stderr text");
      check(ok.files == e.files, "files");
      break;
    }
    case Expected::kErr:
      check(got && std::holds_alternative<vesk::ErrReply>(*got), "failure reply expected",
            got ? "another reply" : got.error().message());
      check(std::get<vesk::ErrReply>(*got).error == e.a, "error text");
      break;
    case Expected::kUnsure:
      break;
  }
  return 0;
}
