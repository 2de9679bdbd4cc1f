// Unified diffs between two workspace states. Pure: no I/O.
#ifndef VESK_CORE_DIFF_H_
#define VESK_CORE_DIFF_H_

#include <string>
#include <string_view>

#include "core/file_map.h"

namespace vesk {

// What changed from `from` to `to`: for every key present on either side, in
// ascending byte order, nothing when the contents are byte-equal (a missing
// file counts as empty), "Binary file {key} changed.\n" when either side is
// not valid UTF-8, otherwise the unified diff of the two texts under the
// names a/{key} and b/{key} with three lines of context.
std::string diff_file_maps(const FileMap& from, const FileMap& to);

// The unified diff of one pair of texts (both valid UTF-8), headers
// included; empty when they are equal.
std::string unified_diff(std::string_view key, std::string_view old_text,
                         std::string_view new_text);

}  // namespace vesk

#endif  // VESK_CORE_DIFF_H_
