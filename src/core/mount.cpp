#include "core/mount.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "core/fs_tree.h"
#include "core/key.h"
#include "core/utf8.h"

namespace vesk {

namespace {

std::optional<std::string> canonical_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::string join_path(std::string_view base, std::string_view rest) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') out += '/';
  out += rest;
  return out;
}

std::string join_list(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

struct Imported {
  std::string key;
  std::string content;
  std::string origin;
};

}  // namespace

Result<std::vector<std::string>> mount(History& history, MountOrigins& origins,
                                       const Config& config, std::string_view path) {
  return guard([&]() -> Result<std::vector<std::string>> {
    const std::string given(path);
    const std::optional<std::string> canonical = canonical_path(given);
    if (!canonical) return fail_message("path does not exist: " + given);
    if (!config.mount_allowlist.empty()) {
      bool allowed = false;
      for (const std::string& prefix : config.mount_allowlist) {
        allowed = allowed || path_has_prefix(*canonical, prefix);
      }
      if (!allowed) {
        return fail_message("'" + lossy_utf8(*canonical) +
                            "' is not in the mount allowlist; permitted prefixes: " +
                            join_list(config.mount_allowlist));
      }
    }

    // Everything is read before anything is added, so a failure adds nothing.
    std::vector<Imported> imported;
    struct stat st;
    if (::stat(canonical->c_str(), &st) != 0) return fail_message("path does not exist: " + given);
    if (S_ISDIR(st.st_mode)) {
      auto read = read_tree(*canonical, WalkErrors::kSkip);
      if (!read) return fail(read.error());
      imported.reserve(read->size());
      for (TreeFile& file : *read) {
        imported.push_back({lossy_utf8(file.relative), std::move(file.content),
                            join_path(*canonical, file.relative)});
      }
    } else if (S_ISREG(st.st_mode)) {
      const std::size_t slash = canonical->rfind('/');
      const std::string name = canonical->substr(slash == std::string::npos ? 0 : slash + 1);
      if (name.empty()) return fail_message("path has no filename: " + lossy_utf8(*canonical));
      auto content = read_regular_file(AT_FDCWD, canonical->c_str(), /*follow_link=*/true);
      if (!content) return fail(content.error());
      if (!*content) return fail_message("path is not a regular file or directory: " + given);
      imported.push_back({lossy_utf8(name), std::move(**content), *canonical});
    } else {
      return fail_message("path is not a regular file or directory: " + given);
    }

    std::vector<std::string> keys;
    keys.reserve(imported.size());
    for (const Imported& entry : imported) keys.push_back(entry.key);
    for (Imported& entry : imported) {
      Content content = history.blobs().intern_bytes(std::move(entry.content));
      origins.insert_or_assign(entry.key, std::move(entry.origin));
      history.insert_into_current(std::move(entry.key), std::move(content));
    }
    return keys;
  });
}

Result<std::vector<std::string>> commit(const History& history, const MountOrigins& origins,
                                        const std::optional<std::vector<std::string>>& keys) {
  return guard([&]() -> Result<std::vector<std::string>> {
    const FileMap& current = history.current().files;
    const FileMap& first = history.checkpoints().front().files;
    std::vector<std::string> written;
    auto commit_one = [&](const std::string& key) -> Status {
      const auto origin = origins.find(key);
      if (origin == origins.end()) return fail_message("'" + key + "' was not mounted from host");
      const Content* content = current.find(key);
      if (content == nullptr) return fail_message("'" + key + "' not in current checkpoint");
      const Content* base = first.find(key);
      if (**content == (base != nullptr ? std::string_view(**base) : std::string_view())) return {};
      if (auto s = write_whole_file(origin->second, **content); !s) return s;
      written.push_back(origin->second);
      return {};
    };
    if (keys) {
      for (const std::string& key : *keys) {
        if (auto s = commit_one(key); !s) return fail(s.error());
      }
    } else {
      for (const auto& entry : origins) {
        if (auto s = commit_one(entry.first); !s) return fail(s.error());
      }
    }
    return written;
  });
}

Result<std::vector<std::string>> export_files(const History& history, const MountOrigins& origins,
                                              std::string_view output_dir,
                                              const std::optional<std::vector<std::string>>& keys) {
  return guard([&]() -> Result<std::vector<std::string>> {
    const FileMap& current = history.current().files;
    std::vector<std::string> order;
    if (keys) {
      order = *keys;
    } else {
      for (const auto& entry : current) {
        if (!origins.contains(entry.first)) order.push_back(entry.first);
      }
    }
    // The output directory is made and opened on the first write only: an
    // empty export creates nothing.
    std::optional<TreeWriter> writer;
    const std::string root = output_dir.empty() ? std::string(".") : std::string(output_dir);
    std::vector<std::string> written;
    for (const std::string& key : order) {
      if (auto s = validate_file_path(key); !s) return fail(s.error());
      const Content* content = current.find(key);
      if (content == nullptr) return fail_message("'" + key + "' not in current checkpoint");
      if (!writer) {
        if (root.find('\0') != std::string::npos) return fail(Error::os(EINVAL));
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec) return fail(Error::os(ec.value()));
        auto opened = TreeWriter::open(root);
        if (!opened) return fail(opened.error());
        writer.emplace(std::move(*opened));
      }
      if (auto s = writer->write(key, **content); !s) return fail(s.error());
      written.push_back(join_path(output_dir, key));
    }
    return written;
  });
}

}  // namespace vesk
