// The implementation of mount.h; its role and contract are stated there.

#include "core/exchange/mount.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "core/exchange/fs_tree.h"
#include "core/base/io.h"
#include "core/history/key.h"
#include "core/base/utf8.h"

namespace vesk {

namespace {

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
  std::string relative;
};

// The error for a step of opening the mounted path that failed with `err`.
Error mount_open_error(const std::string& given, int err) {
  if (err == ENOENT || err == ENOTDIR) return Error::message("path does not exist: " + given);
  if (err == ELOOP || err == EXDEV) {
    return Error::message("path changed while it was being mounted: " + given);
  }
  return Error::os(err);
}

}  // namespace

std::string MountOrigin::path() const { return join_path(root ? *root : std::string(), relative); }

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

    // The checked path is opened without following any link and read only
    // through that descriptor: a link swapped in after realpath() must not
    // lead the reading out of the allowlist.
    const std::size_t slash = canonical->rfind('/');
    std::string parent = slash == std::string::npos ? std::string(".")
                         : slash == 0               ? std::string("/")
                                                    : canonical->substr(0, slash);
    std::string name = slash == std::string::npos ? *canonical : canonical->substr(slash + 1);
    if (*canonical == "/") name = ".";
    const UniqueFd parent_fd = open_no_links(AT_FDCWD, parent, O_PATH | O_DIRECTORY);
    if (!parent_fd) return fail(mount_open_error(given, errno));
    struct stat st;
    if (::fstatat(parent_fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return fail(mount_open_error(given, errno));
    }
    if (S_ISLNK(st.st_mode)) return fail(mount_open_error(given, ELOOP));

    // Everything is read before anything is added, so a failure adds nothing.
    std::vector<Imported> imported;
    std::string root;
    if (S_ISDIR(st.st_mode)) {
      const UniqueFd dir = open_no_links(parent_fd.get(), name, O_PATH | O_DIRECTORY);
      if (!dir) return fail(mount_open_error(given, errno));
      auto read = read_tree(dir.get(), *canonical, WalkErrors::kSkip);
      if (!read) return fail(read.error());
      imported.reserve(read->size());
      for (TreeFile& file : *read) {
        imported.push_back(
            {lossy_utf8(file.relative), std::move(file.content), std::move(file.relative)});
      }
      root = *canonical;
    } else if (S_ISREG(st.st_mode)) {
      if (name.empty()) return fail_message("path has no filename: " + lossy_utf8(*canonical));
      // O_NONBLOCK: a FIFO swapped in must not block; it is refused below.
      const UniqueFd fd(::openat(parent_fd.get(), name.c_str(),
                                 O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
      if (!fd) return fail(mount_open_error(given, errno));
      auto content = read_open_file(fd.get());
      if (!content) return fail(content.error());
      if (!*content) return fail_message("path is not a regular file or directory: " + given);
      imported.push_back({lossy_utf8(name), std::move(**content), name});
      root = std::move(parent);
    } else {
      return fail_message("path is not a regular file or directory: " + given);
    }

    const auto shared_root = std::make_shared<const std::string>(std::move(root));
    std::vector<std::string> keys;
    keys.reserve(imported.size());
    for (const Imported& entry : imported) keys.push_back(entry.key);
    std::vector<FileMap::value_type> entries;
    entries.reserve(imported.size());
    for (Imported& entry : imported) {
      entries.emplace_back(entry.key, history.blobs().intern_bytes(std::move(entry.content)));
    }
    if (auto s = history.insert_into_current(entries); !s) return fail(s.error());
    for (std::size_t i = 0; i < imported.size(); ++i) {
      origins.insert_or_assign(std::move(imported[i].key),
                               MountOrigin{shared_root, std::move(imported[i].relative),
                                           std::move(entries[i].second)});
    }
    return keys;
  });
}

namespace {

// One file commit is about to write.
struct Planned {
  const std::string* key;
  MountOrigin* origin;
  Content content;
  std::string parent;  // directory below the origin's root; empty: the root
  std::string name;
  std::string path;    // the origin's host path, for messages and the result
  struct stat seen;    // the host file as checked
  std::string temp;    // its temporary file, once written
};

Error conflict(const Planned& p, std::string_view what) {
  return Error::message("conflict on '" + *p.key + "': '" + lossy_utf8(p.path) + "' " +
                        std::string(what) +
                        " since it was mounted or last committed; nothing was written");
}

Error cannot_commit(const Planned& p, int err) {
  return Error::message("cannot commit '" + *p.key + "' to '" + lossy_utf8(p.path) +
                        "': " + os_error_message(err));
}

// The directory holding the planned file, reached from the origin's root
// without following a link on the way.
Result<UniqueFd> open_directory(const Planned& p) {
  UniqueFd dir = open_no_links(AT_FDCWD, *p.origin->root, O_PATH | O_DIRECTORY);
  if (dir && !p.parent.empty()) dir = open_no_links(dir.get(), p.parent, O_PATH | O_DIRECTORY);
  if (dir) return dir;
  switch (errno) {
    case ENOENT:
    case ENOTDIR:
      return fail(conflict(p, "was deleted"));
    case ELOOP:
    case EXDEV:
      return fail(conflict(p, "now lies behind a symbolic link"));
    default:
      return fail(cannot_commit(p, errno));
  }
}

// The host file's entry, which must still be a regular file.
Result<struct stat> stat_host_file(int dir_fd, const Planned& p) {
  struct stat st;
  if (::fstatat(dir_fd, p.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return fail(conflict(p, "was deleted"));
    return fail(cannot_commit(p, errno));
  }
  if (S_ISLNK(st.st_mode)) return fail(conflict(p, "was replaced by a symbolic link"));
  if (!S_ISREG(st.st_mode)) return fail(conflict(p, "is no longer a regular file"));
  return st;
}

bool same_file_unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Checks that the host file holds exactly what the origin knows, and notes
// the file as it was seen.
Status check_host_file(Planned& p) {
  auto dir = open_directory(p);
  if (!dir) return fail(dir.error());
  auto entry = stat_host_file(dir->get(), p);
  if (!entry) return fail(entry.error());
  const std::string& known = *p.origin->known;
  if (static_cast<std::uint64_t>(entry->st_size) != known.size()) {
    return fail(conflict(p, "changed"));
  }
  // Opened only now that it is known to be a regular file (opening a device
  // can have effects); O_NONBLOCK in case a FIFO took its place since.
  const UniqueFd fd(::openat(dir->get(), p.name.c_str(),
                             O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return fail(conflict(p, "was deleted"));
    if (errno == ELOOP) return fail(conflict(p, "was replaced by a symbolic link"));
    return fail(cannot_commit(p, errno));
  }
  if (::fstat(fd.get(), &p.seen) != 0) return fail(cannot_commit(p, errno));
  if (p.seen.st_dev != entry->st_dev || p.seen.st_ino != entry->st_ino) {
    return fail(conflict(p, "changed"));
  }
  auto content = read_open_file(fd.get());
  if (!content) return fail(cannot_commit(p, content.error().os_errno()));
  if (!*content) return fail(conflict(p, "is no longer a regular file"));
  if (**content != known) return fail(conflict(p, "changed"));
  return {};
}

// Removes the temporary files written so far (best effort).
void remove_temporaries(std::vector<Planned>& plan) {
  for (Planned& p : plan) {
    if (p.temp.empty()) continue;
    if (auto dir = open_directory(p)) ::unlinkat(dir->get(), p.temp.c_str(), 0);
    p.temp.clear();
  }
}

}  // namespace

Result<std::vector<std::string>> commit(const History& history, MountOrigins& origins,
                                        const std::optional<std::vector<std::string>>& keys) {
  return guard([&]() -> Result<std::vector<std::string>> {
    const FileMap& current = history.current().files;
    const FileMap& first = history.first_files();
    // Every key is checked before anything is written.
    std::vector<Planned> plan;
    auto plan_one = [&](const std::string& key) -> Status {
      const auto origin = origins.find(key);
      if (origin == origins.end()) return fail_message("'" + key + "' was not mounted from host");
      const Content* content = current.find(key);
      if (content == nullptr) return fail_message("'" + key + "' not in current checkpoint");
      const Content* base = first.find(key);
      if (**content == (base != nullptr ? std::string_view(**base) : std::string_view())) return {};
      Planned p{};
      p.key = &origin->first;
      p.origin = &origin->second;
      p.content = *content;
      const std::string& relative = origin->second.relative;
      const std::size_t slash = relative.rfind('/');
      p.parent = slash == std::string::npos ? std::string() : relative.substr(0, slash);
      p.name = slash == std::string::npos ? relative : relative.substr(slash + 1);
      p.path = origin->second.path();
      plan.push_back(std::move(p));
      return {};
    };
    if (keys) {
      for (const std::string& key : *keys) {
        if (auto s = plan_one(key); !s) return fail(s.error());
      }
    } else {
      for (const auto& entry : origins) {
        if (auto s = plan_one(entry.first); !s) return fail(s.error());
      }
    }
    for (Planned& p : plan) {
      if (auto s = check_host_file(p); !s) return fail(s.error());
    }

    // All new contents go to temporary files beside their targets; the host
    // files are then checked once more, so that what changed while they were
    // written is still a conflict, and only then is anything renamed.
    auto abandon = [&](Error error) -> Result<std::vector<std::string>> {
      remove_temporaries(plan);
      return fail(std::move(error));
    };
    for (Planned& p : plan) {
      auto dir = open_directory(p);
      if (!dir) return abandon(dir.error());
      auto temp = write_temporary_file(dir->get(), *p.content, &p.seen);
      if (!temp) return abandon(cannot_commit(p, temp.error().os_errno()));
      p.temp = std::move(*temp);
    }
    for (const Planned& p : plan) {
      auto dir = open_directory(p);
      if (!dir) return abandon(dir.error());
      auto entry = stat_host_file(dir->get(), p);
      if (!entry) return abandon(entry.error());
      if (!same_file_unchanged(*entry, p.seen)) return abandon(conflict(p, "changed"));
    }
    std::vector<std::string> written;
    written.reserve(plan.size());
    for (Planned& p : plan) {
      // Files renamed before a failure here stay written, so its message must
      // not claim otherwise.
      UniqueFd dir = open_no_links(AT_FDCWD, *p.origin->root, O_PATH | O_DIRECTORY);
      if (dir && !p.parent.empty()) dir = open_no_links(dir.get(), p.parent, O_PATH | O_DIRECTORY);
      if (!dir || ::renameat(dir.get(), p.temp.c_str(), dir.get(), p.name.c_str()) != 0) {
        return abandon(cannot_commit(p, errno));
      }
      p.temp.clear();
      p.origin->known = p.content;
      written.push_back(std::move(p.path));
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
      if (auto s = writer->replace(key, **content); !s) return fail(s.error());
      written.push_back(join_path(output_dir, key));
    }
    return written;
  });
}

}  // namespace vesk
