// The implementation of diff.h; its role and contract are stated there.

#include "core/history/diff.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <vector>

#include "core/history/line_diff.h"
#include "core/base/utf8.h"

namespace vesk {

namespace {

constexpr std::size_t kContext = 3;

// One change: the lines [old_begin, old_end) deleted and [new_begin, new_end)
// inserted between two unchanged lines.
struct Change {
  std::size_t old_begin, old_end, new_begin, new_end;
};

std::vector<Change> changes_of(const LineDiff& d) {
  std::vector<Change> changes;
  const std::size_t n1 = d.old_lines.size(), n2 = d.new_lines.size();
  std::size_t i = 0, j = 0;
  while (i < n1 || j < n2) {
    if (i < n1 && j < n2 && !d.old_changed[i] && !d.new_changed[j]) {
      ++i, ++j;
      continue;
    }
    Change c{i, i, j, j};
    while (i < n1 && d.old_changed[i]) ++i;
    while (j < n2 && d.new_changed[j]) ++j;
    c.old_end = i;
    c.new_end = j;
    changes.push_back(c);
  }
  return changes;
}

void append_number(std::string& out, std::size_t value) {
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

// "{start + 1}" for one line, else "{first},{len}" where an empty range
// names the line before it.
void append_range(std::string& out, std::size_t start, std::size_t len) {
  if (len == 1) {
    append_number(out, start + 1);
    return;
  }
  append_number(out, len == 0 ? start : start + 1);
  out += ',';
  append_number(out, len);
}

void append_line(std::string& out, char tag, std::string_view line) {
  out += tag;
  out += line;
  const char last = line.back();
  if (last != '\n' && last != '\r') out += "\n\\ No newline at end of file\n";
}

void append_unified_diff(std::string& out, std::string_view key, std::string_view old_text,
                         std::string_view new_text) {
  const LineDiff d = diff_lines(old_text, new_text);
  const std::vector<Change> changes = changes_of(d);
  if (changes.empty()) return;

  out.append("--- a/").append(key).append("\n+++ b/").append(key).append("\n");
  const std::size_t n1 = d.old_lines.size();
  std::size_t c = 0;
  while (c < changes.size()) {
    // A hunk takes changes while fewer than 2 * kContext + 1 unchanged lines
    // separate them; the unchanged lines before and after the first and last
    // line of both sides pair up, so one offset describes both.
    std::size_t last = c;
    while (last + 1 < changes.size() &&
           changes[last + 1].old_begin - changes[last].old_end <= 2 * kContext) {
      ++last;
    }
    const Change& first_change = changes[c];
    const Change& last_change = changes[last];
    const std::size_t lead = std::min(kContext, first_change.old_begin);
    const std::size_t trail = std::min(kContext, n1 - last_change.old_end);
    const std::size_t old_start = first_change.old_begin - lead;
    const std::size_t new_start = first_change.new_begin - lead;
    const std::size_t old_len = last_change.old_end + trail - old_start;
    const std::size_t new_len = last_change.new_end + trail - new_start;

    out += "@@ -";
    append_range(out, old_start, old_len);
    out += " +";
    append_range(out, new_start, new_len);
    out += " @@\n";

    std::size_t i = old_start;
    for (std::size_t k = c; k <= last; ++k) {
      const Change& ch = changes[k];
      for (; i < ch.old_begin; ++i) append_line(out, ' ', d.old_lines[i]);
      for (; i < ch.old_end; ++i) append_line(out, '-', d.old_lines[i]);
      for (std::size_t j = ch.new_begin; j < ch.new_end; ++j) append_line(out, '+', d.new_lines[j]);
    }
    for (; i < last_change.old_end + trail; ++i) append_line(out, ' ', d.old_lines[i]);
    c = last + 1;
  }
}

}  // namespace

std::string unified_diff(std::string_view key, std::string_view old_text,
                         std::string_view new_text) {
  std::string out;
  if (old_text != new_text) append_unified_diff(out, key, old_text, new_text);
  return out;
}

std::string diff_file_maps(const FileMap& from, const FileMap& to) {
  // Only the differing keys are sorted: two checkpoints of one session share
  // most of their tries, and the structural diff never looks inside those.
  std::vector<FileMap::Difference> changes = FileMap::diff(from, to);
  std::sort(
      changes.begin(), changes.end(),
      [](const FileMap::Difference& x, const FileMap::Difference& y) { return x.key < y.key; });

  std::string out;
  for (const FileMap::Difference& change : changes) {
    const std::string_view key = change.key;
    const std::string_view old_text =
        change.from ? std::string_view(**change.from) : std::string_view();
    const std::string_view new_text =
        change.to ? std::string_view(**change.to) : std::string_view();
    // A missing file counts as empty, so an empty file added or removed shows
    // nothing.
    if (old_text == new_text) continue;
    if (!is_valid_utf8(old_text) || !is_valid_utf8(new_text)) {
      out.append("Binary file ").append(key).append(" changed.\n");
      continue;
    }
    append_unified_diff(out, key, old_text, new_text);
  }
  return out;
}

}  // namespace vesk
