// Line-level comparison of two texts: the edit script behind unified diffs.
//
// A line ends after "\n", after "\r\n" (one terminator) or after a "\r" not
// followed by "\n"; the terminator belongs to the line, text after the last
// terminator is a final line without one, and an empty text has no lines.
// Lines are equal when their bytes, terminators included, are.
//
// diff_lines() computes a shortest edit script (Myers' algorithm in linear
// space, no time limit, so the script is always minimal) and then compacts it:
// runs of deleted or inserted lines slide across equal lines to merge with
// neighbouring changes, so that a change shows as one block where it can.
//
// Pure: no I/O. Allocation failure is the only error and surfaces as
// std::bad_alloc; the operation that calls this guards it.
#ifndef VESK_CORE_HISTORY_LINE_DIFF_H_
#define VESK_CORE_HISTORY_LINE_DIFF_H_

#include <string_view>
#include <vector>

namespace vesk {

// The lines of `text`, each a view into it (valid while `text` is).
std::vector<std::string_view> split_lines(std::string_view text);

struct LineDiff {
  // Views into the texts given to diff_lines().
  std::vector<std::string_view> old_lines;
  std::vector<std::string_view> new_lines;
  // One flag per line: 1 when the old line is deleted / the new line is
  // inserted. The unflagged lines of both sides pair up in order.
  std::vector<unsigned char> old_changed;
  std::vector<unsigned char> new_changed;
};

// The compacted shortest edit script turning `old_text` into `new_text`.
LineDiff diff_lines(std::string_view old_text, std::string_view new_text);

}  // namespace vesk

#endif  // VESK_CORE_HISTORY_LINE_DIFF_H_
