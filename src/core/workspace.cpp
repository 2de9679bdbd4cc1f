#include "core/workspace.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "core/fs_tree.h"
#include "core/key.h"
#include "core/parallel.h"
#include "core/utf8.h"

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

Result<FileMap> collect(const std::filesystem::path& root) {
  return guard([&]() -> Result<FileMap> {
    auto read = read_tree(root.native(), WalkErrors::kStop);
    if (!read) return fail(read.error());
    FileMap files;
    for (TreeFile& file : *read)
      files.set(lossy_utf8(file.relative), make_content(std::move(file.content)));
    return files;
  });
}

}  // namespace vesk
