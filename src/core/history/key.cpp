// The implementation of key.h; its role and contract are stated there.

#include "core/history/key.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

namespace vesk {

namespace {

// The longest name one directory entry can have on Linux.
constexpr std::size_t kNameMax = 255;

// The file `key` names once '.' and empty components are dropped, or empty.
std::string normalized_path(std::string_view key) {
  std::string out;
  std::size_t i = 0;
  while (i < key.size()) {
    const std::size_t end = std::min(key.find('/', i), key.size());
    const std::string_view c = key.substr(i, end - i);
    if (!c.empty() && c != ".") {
      if (!out.empty()) out += '/';
      out += c;
    }
    i = end + 1;
  }
  return out;
}

// A key whose last component is empty or "." names a directory, never a file.
bool names_directory(std::string_view key) {
  if (key.empty() || key.back() == '/') return true;
  const std::size_t slash = key.rfind('/');
  const std::string_view last = slash == std::string_view::npos ? key : key.substr(slash + 1);
  return last == ".";
}

bool has_long_name(std::string_view key) {
  std::size_t i = 0;
  while (i < key.size()) {
    const std::size_t end = std::min(key.find('/', i), key.size());
    if (end - i > kNameMax) return true;
    i = end + 1;
  }
  return false;
}

}  // namespace

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

bool is_canonical_key(std::string_view key) {
  if (key.empty() || key.find('\0') != std::string_view::npos) return false;
  std::size_t i = 0;
  for (;;) {
    const std::size_t end = std::min(key.find('/', i), key.size());
    const std::string_view c = key.substr(i, end - i);
    if (c.empty() || c == "." || c == "..") return false;
    if (end == key.size()) return true;
    i = end + 1;
  }
}

Status check_run_key(std::string_view key) {
  if (is_canonical_key(key)) return {};
  return fail_message("the run reported a file name that is not a plain relative path: '" +
                      shown_key(key) + "'");
}

std::string shown_key(std::string_view key) {
  std::string out;
  out.reserve(key.size());
  for (char c : key) {
    if (c == '\0') {
      out += "\\0";
    } else {
      out += c;
    }
  }
  return out;
}

Status check_layout(const FileMap& files) {
  const std::vector<std::string_view> keys = files.sorted_keys();
  // Normalized path -> the key that claimed it, and the directories some key
  // needs -> one such key.
  std::unordered_map<std::string, std::string_view> file_of;
  std::unordered_map<std::string, std::string_view> dir_of;
  file_of.reserve(keys.size());
  const auto quoted = [](std::string_view k) { return "'" + shown_key(k) + "'"; };
  for (std::string_view key : keys) {
    if (auto s = validate_file_path(key); !s) return s;
    if (key.find('\0') != std::string_view::npos) {
      return fail_message("workspace key " + quoted(key) + " holds a NUL byte; delete it");
    }
    if (names_directory(key)) {
      return fail_message("workspace key " + quoted(key) + " does not name a file; delete it");
    }
    if (has_long_name(key)) {
      return fail_message("workspace key " + quoted(key) +
                          " has a name longer than 255 bytes; delete it");
    }
    std::string path = normalized_path(key);
    if (auto [it, fresh] = file_of.emplace(path, key); !fresh) {
      return fail_message("workspace keys " + quoted(it->second) + " and " + quoted(key) +
                          " name the same file; delete one of them");
    }
    for (std::size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      dir_of.emplace(path.substr(0, slash), key);
    }
  }
  // Checked in byte order of the file's key, so the message is the same
  // whatever order the map holds its entries in.
  for (std::string_view key : keys) {
    const auto dir = dir_of.find(normalized_path(key));
    if (dir != dir_of.end()) {
      return fail_message("workspace key " + quoted(key) + " is a file, but " +
                          quoted(dir->second) + " needs it to be a directory; delete one of them");
    }
  }
  return {};
}

}  // namespace vesk
