// Unified diffs between two workspace states.
//
// The line comparison itself (splitting, shortest edit script, grouping) is in
// core/line_diff.h; this module turns it into hunks with three lines of
// context and walks the keys of two file maps. Pure: no I/O. The results are
// new strings owned by the caller; allocation failure (std::bad_alloc) is the
// only error, and the operation that calls these guards it.
#ifndef VESK_CORE_HISTORY_DIFF_H_
#define VESK_CORE_HISTORY_DIFF_H_

#include <string>
#include <string_view>

#include "core/history/file_map.h"

namespace vesk {

// What changed from `from` to `to`: for every key present on either side, in
// ascending byte order, nothing when the contents are byte-equal (a missing
// file counts as empty), "Binary file {key} changed.\n" when either side is
// not valid UTF-8, otherwise the unified diff of the two texts under the
// names a/{key} and b/{key} with three lines of context. Maps that share
// structure (checkpoints of one session) cost in proportion to the keys that
// differ, not to their size (see FileMap::diff).
std::string diff_file_maps(const FileMap& from, const FileMap& to);

// The unified diff of one pair of texts (both valid UTF-8), headers
// included; empty when they are equal. A line without terminator (only the
// last one can be) is followed by "\n\\ No newline at end of file\n".
std::string unified_diff(std::string_view key, std::string_view old_text,
                         std::string_view new_text);

}  // namespace vesk

#endif  // VESK_CORE_HISTORY_DIFF_H_
