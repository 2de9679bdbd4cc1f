// Key validation against a second, deliberately naive reading of the rules:
// split the key into components first, then judge the list. The library
// scans in one pass; both must agree on the verdict and on the exact message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/history/key.h"

namespace {

// The components of a Unix path: a leading '/' is a root component, runs of
// '/' separate, empty components (a trailing '/') vanish, and '.' is kept
// only when it comes first.
std::vector<std::string> components(std::string_view key) {
  std::vector<std::string> out;
  if (!key.empty() && key.front() == '/') out.push_back("/");
  std::string current;
  auto finish = [&] {
    if (!current.empty() && !(current == "." && !out.empty())) out.push_back(current);
    current.clear();
  };
  for (char c : key) {
    if (c == '/') {
      finish();
    } else {
      current += c;
    }
  }
  finish();
  return out;
}

// The expected message, or empty when the key is valid.
std::string expected_message(std::string_view key) {
  if (key.empty()) return "workspace key must not be empty";
  for (const std::string& c : components(key)) {
    if (c == "/") return "workspace key must be a relative path: '" + std::string(key) + "'";
    if (c == "..") return "workspace key must not contain '..': '" + std::string(key) + "'";
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view key(reinterpret_cast<const char*>(data), size);
  const std::string expected = expected_message(key);
  const vesk::Status got = vesk::validate_file_path(key);
  const std::string message = got ? std::string() : got.error().message();
  if (got.has_value() != expected.empty() || message != expected) {
    std::fprintf(stderr, "key validation disagrees with the model\n  expected: %s\n  got: %s\n",
                 expected.empty() ? "(valid)" : expected.c_str(),
                 got ? "(valid)" : message.c_str());
    std::abort();
  }
  return 0;
}
