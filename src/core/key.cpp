#include "core/key.h"

#include <string>

namespace vesk {

Status validate_file_path(std::string_view key) {
  if (key.empty()) return fail_message("workspace key must not be empty");
  if (key.front() == '/') {
    return fail_message("workspace key must be a relative path: '" + std::string(key) + "'");
  }
  // Runs of '/' separate components; '.' components are harmless wherever
  // they stand, so only '..' needs looking at.
  std::size_t i = 0;
  while (i < key.size()) {
    const std::size_t end = std::min(key.find('/', i), key.size());
    if (key.substr(i, end - i) == "..") {
      return fail_message("workspace key must not contain '..': '" + std::string(key) + "'");
    }
    i = end + 1;
  }
  return {};
}

}  // namespace vesk
