#include "core/workspace.h"

#include "core/fs_tree.h"
#include "core/key.h"
#include "core/utf8.h"

namespace vesk {

Status materialize(const FileMap& files, const std::filesystem::path& root) {
  return guard([&]() -> Status {
    auto writer = TreeWriter::open(root.native());
    if (!writer) return fail(writer.error());
    for (const auto& [key, content] : files) {
      if (auto s = validate_file_path(key); !s) return s;
      if (auto s = writer->write(key, *content); !s) return s;
    }
    return {};
  });
}

Result<FileMap> collect(const std::filesystem::path& root) {
  return guard([&]() -> Result<FileMap> {
    FileMap files;
    auto walked = walk_regular_files(
        root.native(), WalkErrors::kStop,
        [&](int dir_fd, const char* name, const std::string& relative) -> Status {
          auto content = read_regular_file(dir_fd, name, /*follow_link=*/false);
          if (!content) return fail(content.error());
          if (*content) files.set(lossy_utf8(relative), make_content(std::move(**content)));
          return {};
        });
    if (!walked) return fail(walked.error());
    return files;
  });
}

}  // namespace vesk
