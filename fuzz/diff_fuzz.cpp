// The diff, checked by applying it. The input holds two texts separated by
// the first NUL byte (no NUL: the whole input is the old text and the new one
// is empty). For valid UTF-8 texts the unified diff is parsed and applied to
// the old text by the small patch routine below, which must give back the new
// text byte for byte; on the way it checks the hunk headers against the
// bodies, the order of the hunks, the context around each change and, for
// small inputs, that the number of changed lines is the minimum (from a plain
// longest-common-subsequence table). diff_file_maps must report the pair as a
// binary change exactly when a simple decoder finds either text ill-formed.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/history/diff.h"
#include "core/history/file_map.h"
#include "core/base/utf8.h"

namespace {

constexpr std::size_t kContext = 3;

std::string_view g_old, g_new;

[[noreturn]] void die(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "diff check failed: %s %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::fprintf(stderr, "old (%zu bytes), new (%zu bytes)\n", g_old.size(), g_new.size());
  std::abort();
}

void check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) die(what, detail);
}

// Lines end after "\n", after "\r\n" or after a lone "\r"; the terminator
// stays with the line and a last line may have none.
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool end = text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() ||
                                                             text[i + 1] != '\n'));
    if (end) {
      out.push_back(text.substr(start, i + 1 - start));
      start = i + 1;
    }
  }
  if (start < text.size()) out.push_back(text.substr(start));
  return out;
}

// Decodes code points one by one and rejects overlongs, surrogates and values
// past U+10FFFF.
bool well_formed_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// "@@ -A[,B] +C[,D] @@\n": start and length of each side, the start made
// 0-based (an empty range names the line before it).
struct HunkHeader {
  std::size_t old_start, old_len, new_start, new_len;
};

std::size_t parse_number(std::string_view& s) {
  std::size_t value = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), value);
  check(r.ec == std::errc() && r.ptr != s.data(), "number expected in hunk header", s);
  s.remove_prefix(static_cast<std::size_t>(r.ptr - s.data()));
  return value;
}

void parse_range(std::string_view& s, char sign, std::size_t* start, std::size_t* len) {
  check(!s.empty() && s.front() == sign, "range expected in hunk header", s);
  s.remove_prefix(1);
  const std::size_t first = parse_number(s);
  *len = 1;
  if (!s.empty() && s.front() == ',') {
    s.remove_prefix(1);
    *len = parse_number(s);
  }
  check(*len == 0 || first >= 1, "line numbers start at 1", s);
  *start = *len == 0 ? first : first - 1;
}

HunkHeader parse_header(std::string_view line) {
  HunkHeader h;
  check(line.starts_with("@@ "), "hunk header expected", line);
  line.remove_prefix(3);
  parse_range(line, '-', &h.old_start, &h.old_len);
  check(line.starts_with(" "), "space expected in hunk header", line);
  line.remove_prefix(1);
  parse_range(line, '+', &h.new_start, &h.new_len);
  check(line == " @@\n", "hunk header must end in ' @@'", line);
  return h;
}

constexpr std::string_view kNoNewline = "\\ No newline at end of file\n";

// Applies `diff` to `old_text`; also counts the changed lines.
std::string apply(std::string_view old_text, std::string_view diff, std::size_t* deleted,
                  std::size_t* inserted) {
  const std::vector<std::string_view> old_lines = lines_of(old_text);
  const std::vector<std::string_view> lines = lines_of(diff);
  check(lines.size() >= 3, "diff too short");
  check(lines[0] == "--- a/f\n", "old file header", lines[0]);
  check(lines[1] == "+++ b/f\n", "new file header", lines[1]);

  std::string out;
  std::size_t pos = 0;       // next old line to copy
  std::size_t new_line = 0;  // lines of the new text produced so far
  std::size_t k = 2;
  bool first_hunk = true;
  *deleted = *inserted = 0;
  while (k < lines.size()) {
    const HunkHeader h = parse_header(lines[k++]);
    // Hunks come in order and never touch: nearby changes share one hunk.
    check(first_hunk ? h.old_start >= pos : h.old_start > pos, "hunks overlap or touch");
    first_hunk = false;
    check(h.old_start <= old_lines.size(), "hunk starts past the end");
    for (; pos < h.old_start; ++pos, ++new_line) out += old_lines[pos];
    check(h.new_start == new_line, "new-side start disagrees with the old side");

    std::size_t old_seen = 0, new_seen = 0, changes = 0;
    std::size_t lead = 0, trail = 0;
    while (k < lines.size() && !lines[k].starts_with("@@")) {
      const std::string_view line = lines[k++];
      check(!line.empty(), "empty diff line");
      const char tag = line.front();
      std::string_view content = line.substr(1);
      if (k < lines.size() && lines[k] == kNoNewline) {
        ++k;
        check(content.ends_with('\n'), "no-newline marker after an unterminated line");
        content.remove_suffix(1);
        check(!content.empty() && content.back() != '\n' && content.back() != '\r',
              "no-newline marker after a terminated line", content);
      }
      if (tag == ' ' || tag == '-') {
        check(pos < old_lines.size(), "hunk runs past the old text");
        check(old_lines[pos] == content, "old line does not match", content);
        // An unterminated line can only be the last one.
        ++pos, ++old_seen;
      }
      if (tag == '+' || tag == ' ') {
        out += content;
        ++new_line, ++new_seen;
      }
      if (tag == ' ') {
        if (changes == 0) ++lead;
        ++trail;
      } else if (tag == '-' || tag == '+') {
        // Changes further apart than twice the context make separate hunks.
        check(changes == 0 || trail <= 2 * kContext, "hunk should have been split");
        ++changes, trail = 0;
        ++(tag == '-' ? *deleted : *inserted);
      } else {
        die("unknown line tag", line);
      }
    }
    check(changes > 0, "hunk without changes");
    check(old_seen == h.old_len && new_seen == h.new_len, "hunk lengths disagree with the body");
    // Three lines of context unless the text ends first.
    check(lead == kContext || (lead < kContext && h.old_start == 0), "context before the change");
    check(trail == kContext || (trail < kContext && pos == old_lines.size()),
          "context after the change");
  }
  for (; pos < old_lines.size(); ++pos) out += old_lines[pos];
  return out;
}

// Length of a longest common subsequence of lines, or SIZE_MAX when the
// table would be too big to be worth it.
std::size_t lcs_length(const std::vector<std::string_view>& a,
                       const std::vector<std::string_view>& b) {
  if (a.size() * b.size() > 40000) return SIZE_MAX;
  std::vector<std::size_t> row(b.size() + 1, 0), next(b.size() + 1, 0);
  for (std::size_t i = a.size(); i-- > 0;) {
    for (std::size_t j = b.size(); j-- > 0;) {
      next[j] = a[i] == b[j] ? row[j + 1] + 1 : std::max(row[j], next[j + 1]);
    }
    std::swap(row, next);
  }
  return row[0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view old_text = input.substr(0, nul);
  const std::string_view new_text = nul == std::string_view::npos ? "" : input.substr(nul + 1);
  g_old = old_text, g_new = new_text;

  const bool old_ok = well_formed_utf8(old_text), new_ok = well_formed_utf8(new_text);
  check(vesk::is_valid_utf8(old_text) == old_ok && vesk::is_valid_utf8(new_text) == new_ok,
        "is_valid_utf8 disagrees with the decoder");

  // One key on each side; an empty text stands for a missing file.
  vesk::FileMap from, to;
  if (!old_text.empty()) from.set("f", vesk::make_content(std::string(old_text)));
  if (!new_text.empty()) to.set("f", vesk::make_content(std::string(new_text)));
  const std::string map_diff = vesk::diff_file_maps(from, to);

  if (old_text == new_text) {
    check(map_diff.empty(), "equal texts give a diff");
    check(vesk::unified_diff("f", old_text, new_text).empty(), "equal texts give a diff");
    return 0;
  }
  if (!old_ok || !new_ok) {
    check(map_diff == "Binary file f changed.\n", "binary change expected", map_diff);
    return 0;
  }
  const std::string diff = vesk::unified_diff("f", old_text, new_text);
  check(map_diff == diff, "diff_file_maps and unified_diff disagree");

  std::size_t deleted = 0, inserted = 0;
  const std::string patched = apply(old_text, diff, &deleted, &inserted);
  check(patched == new_text, "patched old text is not the new text", patched);

  const std::vector<std::string_view> a = lines_of(old_text), b = lines_of(new_text);
  const std::size_t common = lcs_length(a, b);
  if (common != SIZE_MAX) {
    check(deleted == a.size() - common && inserted == b.size() - common,
          "edit script is not the shortest");
  }
  return 0;
}
