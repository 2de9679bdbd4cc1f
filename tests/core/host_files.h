// Helpers for tests that put files on the host and compare file maps.
#ifndef VESK_TESTS_CORE_HOST_FILES_H_
#define VESK_TESTS_CORE_HOST_FILES_H_

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "core/history/file_map.h"

namespace vesk {

inline std::string read_host_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes `content` to `path`, creating missing directories.
inline void write_host_file(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// The entries of a file map, ordered, with the contents' bytes.
inline std::map<std::string, std::string> entries_of(const FileMap& files) {
  std::map<std::string, std::string> out;
  for (const auto& [key, content] : files) out[key] = *content;
  return out;
}

}  // namespace vesk

#endif  // VESK_TESTS_CORE_HOST_FILES_H_
