// The implementation of protocol.h; its role and contract are stated there.

#include "core/runner/protocol.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/base/utf8.h"

namespace vesk {

namespace {

// "0," .. "255," padded to four bytes, so that the encoder can always copy a
// fixed four bytes and then advance by the real length.
struct ByteText {
  char text[4];
  std::uint8_t size;  // including the comma
};

constexpr std::array<ByteText, 256> make_byte_table() {
  std::array<ByteText, 256> table{};
  for (int b = 0; b < 256; ++b) {
    ByteText& e = table[static_cast<std::size_t>(b)];
    int n = 0;
    if (b >= 100) e.text[n++] = static_cast<char>('0' + b / 100);
    if (b >= 10) e.text[n++] = static_cast<char>('0' + b / 10 % 10);
    e.text[n++] = static_cast<char>('0' + b % 10);
    e.text[n++] = ',';
    e.size = static_cast<std::uint8_t>(n);
  }
  return table;
}

constexpr std::array<ByteText, 256> kByteTable = make_byte_table();

// Writes `bytes` as [b0,b1,...] with no blanks; [] when empty.
Status write_byte_array(FdWriter& out, std::string_view bytes) {
  if (bytes.empty()) return out.write("[]");
  if (auto s = out.put('['); !s) return s;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  // Every byte but the last is followed by a comma; the last one by ']'.
  std::size_t left = bytes.size() - 1;
  while (left > 0) {
    auto space = out.free_space(64);
    if (!space) return fail(space.error());
    char* const start = space->data();
    char* d = start;
    const std::size_t n = std::min(left, space->size() / 4);
    for (std::size_t i = 0; i < n; ++i) {
      const ByteText& e = kByteTable[p[i]];
      std::memcpy(d, e.text, 4);
      d += e.size;
    }
    out.commit(static_cast<std::size_t>(d - start));
    p += n;
    left -= n;
  }
  const ByteText& last = kByteTable[*p];
  if (auto s = out.write(std::string_view(last.text, last.size - 1u)); !s) return s;
  return out.put(']');
}

// The JSON escape of one character that may not appear raw in a string, or
// an empty view for one that may.
std::string_view escape_of(unsigned char c, char (&scratch)[6]) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
  }
  if (c >= 0x20) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  scratch[0] = '\\';
  scratch[1] = 'u';
  scratch[2] = '0';
  scratch[3] = '0';
  scratch[4] = kHex[c >> 4];
  scratch[5] = kHex[c & 0xF];
  return std::string_view(scratch, 6);
}

// Writes `text` as a JSON string: quotes, backslashes and control characters
// escaped, everything else (non-ASCII included) raw.
Status write_json_string(FdWriter& out, std::string_view text) {
  if (auto s = out.put('"'); !s) return s;
  std::size_t run = 0;
  char scratch[6];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view esc = escape_of(static_cast<unsigned char>(text[i]), scratch);
    if (esc.empty()) continue;
    if (auto s = out.write(text.substr(run, i - run)); !s) return s;
    if (auto s = out.write(esc); !s) return s;
    run = i + 1;
  }
  if (auto s = out.write(text.substr(run)); !s) return s;
  return out.put('"');
}

Error not_utf8(std::string_view what) {
  return Error::message(std::string(what) + " is not valid UTF-8");
}

// Every key must be UTF-8; checked before anything is written, since a line
// abandoned half-way would leave the runner waiting for its end.
Status check_keys(const FileMap& files) {
  for (const auto& [key, content] : files) {
    if (!is_valid_utf8(key)) return fail(not_utf8("workspace key"));
  }
  return {};
}

// Writes ,"files":{...} for `files`.
Status write_files_member(FdWriter& out, const FileMap& files) {
  if (auto s = out.write(",\"files\":{"); !s) return s;
  bool first = true;
  for (const auto& [key, content] : files) {
    if (!first) {
      if (auto s = out.put(','); !s) return s;
    }
    first = false;
    if (auto s = write_json_string(out, key); !s) return s;
    if (auto s = out.put(':'); !s) return s;
    if (auto s = write_byte_array(out, content ? std::string_view(*content) : std::string_view());
        !s) {
      return s;
    }
  }
  return out.put('}');
}

}  // namespace

Status write_execute_request(FdWriter& out, std::string_view code, const FileMap& files,
                             ReplyForm reply) {
  if (!is_valid_utf8(code)) return fail(not_utf8("code"));
  if (auto s = check_keys(files); !s) return s;
  if (auto s = out.write("{\"code\":"); !s) return s;
  if (auto s = write_json_string(out, code); !s) return s;
  if (reply == ReplyForm::kChanges) {
    if (auto s = out.write(",\"reply\":\"changes\""); !s) return s;
  }
  if (auto s = write_files_member(out, files); !s) return s;
  if (auto s = out.write("}\n"); !s) return s;
  return out.flush();
}

Status write_diff_execute_request(FdWriter& out, std::string_view code,
                                  const std::vector<FileMap::Difference>& changes) {
  if (!is_valid_utf8(code)) return fail(not_utf8("code"));
  for (const FileMap::Difference& d : changes) {
    if (!is_valid_utf8(d.key)) return fail(not_utf8("workspace key"));
  }
  if (auto s = out.write("{\"code\":"); !s) return s;
  if (auto s = write_json_string(out, code); !s) return s;
  if (auto s = out.write(",\"changed\":{"); !s) return s;
  bool first = true;
  for (const FileMap::Difference& d : changes) {
    if (d.to == nullptr) continue;
    if (!first) {
      if (auto s = out.put(','); !s) return s;
    }
    first = false;
    if (auto s = write_json_string(out, d.key); !s) return s;
    if (auto s = out.put(':'); !s) return s;
    if (auto s = write_byte_array(out, *d.to ? std::string_view(**d.to) : std::string_view()); !s) {
      return s;
    }
  }
  if (auto s = out.write("},\"removed\":["); !s) return s;
  first = true;
  for (const FileMap::Difference& d : changes) {
    if (d.to != nullptr) continue;
    if (!first) {
      if (auto s = out.put(','); !s) return s;
    }
    first = false;
    if (auto s = write_json_string(out, d.key); !s) return s;
  }
  if (auto s = out.write("]}\n"); !s) return s;
  return out.flush();
}

Status write_park_request(FdWriter& out) {
  if (auto s = out.write("{\"park\":true}\n"); !s) return s;
  return out.flush();
}

Status write_install_request(FdWriter& out, std::string_view package, const FileMap* files) {
  if (!is_valid_utf8(package)) return fail(not_utf8("package"));
  if (files != nullptr) {
    if (auto s = check_keys(*files); !s) return s;
  }
  if (auto s = out.write("{\"package\":"); !s) return s;
  if (auto s = write_json_string(out, package); !s) return s;
  if (files != nullptr) {
    if (auto s = write_files_member(out, *files); !s) return s;
  }
  if (auto s = out.write("}\n"); !s) return s;
  return out.flush();
}

std::uint64_t longest_reply_line(std::optional<std::uint64_t> max_workspace_mb,
                                 std::uint64_t max_runner_memory_mb) {
  constexpr std::uint64_t kMiB = 1048576u;
  constexpr std::uint64_t kCaptures = 2 * (2 * kMiB) * 6 + 8 * kMiB;
  // Far past any memory, and far from overflowing the sums below.
  constexpr std::uint64_t kMostMb = std::uint64_t{1} << 30;
  const std::uint64_t w =
      std::min({max_workspace_mb.value_or(kMostMb), max_runner_memory_mb, kMostMb}) * kMiB;
  return 5 * w + kCaptures;
}

}  // namespace vesk
