// The implementation of workspace.h; its role and contract are stated there.

#include "core/exchange/workspace.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/exchange/fs_tree.h"
#include "core/history/key.h"
#include "core/base/parallel.h"
#include "core/base/utf8.h"

namespace vesk {

Status materialize(const FileMap& files, const std::filesystem::path& root) {
  return guard([&]() -> Status {
    // Every key is checked before anything is written.
    std::vector<const FileMap::value_type*> entries;
    entries.reserve(files.size());
    for (const FileMap::value_type& entry : files) {
      if (auto s = validate_file_path(entry.first); !s) return s;
      entries.push_back(&entry);
    }
    // Sorted, the files of one directory are written by one thread: threads
    // creating files in the same directory only queue on its lock.
    std::sort(entries.begin(), entries.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    // One writer per thread: each keeps its own directory descriptors.
    const std::size_t workers = worker_count(entries.size());
    std::vector<std::optional<TreeWriter>> writers(workers);
    return parallel_for(entries.size(), workers, [&](std::size_t i, std::size_t w) -> Status {
      if (!writers[w]) {
        auto opened = TreeWriter::open(root.native());
        if (!opened) return fail(opened.error());
        writers[w].emplace(std::move(*opened));
      }
      return writers[w]->write(entries[i]->first, *entries[i]->second);
    });
  });
}

namespace {

// The total the collected map would have, from the sizes the file system
// reports: a later file whose name becomes the same key replaces the earlier.
Result<std::uint64_t> measure_tree(const std::string& root) {
  std::unordered_map<std::string, std::uint64_t> sizes;
  const Status walked = walk_regular_files(
      root, WalkErrors::kStop,
      [&](int dir_fd, const char* name, const std::string& relative) -> Status {
        struct stat st;
        if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
          return fail(Error::last_os_error());
        }
        if (S_ISREG(st.st_mode)) sizes[lossy_utf8(relative)] = static_cast<std::uint64_t>(st.st_size);
        return {};
      });
  if (!walked) return fail(walked.error());
  std::uint64_t total = 0;
  for (const auto& [key, size] : sizes) total = total > UINT64_MAX - size ? UINT64_MAX : total + size;
  return total;
}

}  // namespace

Result<FileMap> collect(const std::filesystem::path& root,
                        std::optional<std::uint64_t> max_workspace_mb) {
  return guard([&]() -> Result<FileMap> {
    if (max_workspace_mb) {
      constexpr std::uint64_t kMiB = 1048576;
      const std::uint64_t limit =
          *max_workspace_mb > UINT64_MAX / kMiB ? UINT64_MAX : *max_workspace_mb * kMiB;
      auto total = measure_tree(root.native());
      if (!total) return fail(total.error());
      if (*total > limit) {
        return fail_message("workspace size " + std::to_string(*total) +
                            " bytes exceeds limit of " + std::to_string(limit) + " bytes");
      }
    }
    auto read = read_tree(root.native(), WalkErrors::kStop);
    if (!read) return fail(read.error());
    FileMap files;
    for (TreeFile& file : *read)
      files.set(lossy_utf8(file.relative), make_content(std::move(file.content)));
    return files;
  });
}

}  // namespace vesk
