// The implementation of utf8.h; its role and contract are stated there.

#include "core/base/utf8.h"

#include <cstdint>

#include <simdjson.h>

namespace vesk {

bool is_valid_utf8(std::string_view bytes) {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

namespace {

// Length of the well-formed prefix of the sequence starting at `p` (at most
// its full length); 0 when the lead byte cannot start a sequence. `full` gets
// the length the lead byte announces.
std::size_t valid_prefix(const unsigned char* p, std::size_t available, std::size_t* full) {
  const unsigned char lead = p[0];
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead < 0x80) {
    *full = 1;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    *full = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    *full = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    *full = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    *full = 1;
    return 0;
  }
  std::size_t n = 1;
  while (n < *full && n < available) {
    const unsigned char c = p[n];
    if (n == 1 ? (c < lo || c > hi) : (c < 0x80 || c > 0xBF)) break;
    ++n;
  }
  return n;
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size() + 8);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t full = 0;
    const std::size_t n = valid_prefix(p + i, bytes.size() - i, &full);
    if (n == full && n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out.append(kReplacement);
      i += n == 0 ? 1 : n;
    }
  }
  return out;
}

}  // namespace vesk
