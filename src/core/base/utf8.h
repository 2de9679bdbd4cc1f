// UTF-8 helpers shared by the modules that turn bytes into text: the diff's
// binary test, the runner and shell output readers, file names and paths.
// Pure functions, no I/O, no allocation beyond the returned string.
#ifndef VESK_CORE_BASE_UTF8_H_
#define VESK_CORE_BASE_UTF8_H_

#include <string>
#include <string_view>

namespace vesk {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD, one replacement
// per maximal ill-formed subpart (the rule the Unicode standard recommends).
std::string lossy_utf8(std::string_view bytes);

}  // namespace vesk

#endif  // VESK_CORE_BASE_UTF8_H_
