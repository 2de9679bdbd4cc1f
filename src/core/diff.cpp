// Placeholder until the diff module lands: reports no differences.
#include "core/diff.h"

namespace vesk {

std::string diff_file_maps(const FileMap&, const FileMap&) { return ""; }
std::string unified_diff(std::string_view, std::string_view, std::string_view) { return ""; }

}  // namespace vesk
