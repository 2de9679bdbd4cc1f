#include "core/fs_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "core/parallel.h"
#include "core/utf8.h"

namespace vesk {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A directory stream over `fd`, which it takes over (closed on failure too).
DirPtr open_dir_stream(int fd) {
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) ::close(fd);
  return DirPtr(d);
}

std::string join(const std::string& base, std::string_view rest) {
  if (base.empty()) return std::string(rest);
  std::string out = base;
  if (out.back() != '/') out += '/';
  out += rest;
  return out;
}

Status write_fd_fully(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os_error());
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// The components of a path split the Unix way (see path_has_prefix).
std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> out;
  const bool absolute = !path.empty() && path.front() == '/';
  if (absolute) out.emplace_back("/");
  bool first = !absolute;
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view c = path.substr(i, end - i);
    if (!c.empty()) {
      if (c != "." || first) out.push_back(c);
      first = false;
    }
    i = end + 1;
  }
  return out;
}

}  // namespace

Result<TreeWriter> TreeWriter::open(const std::string& root) {
  UniqueFd fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return fail(Error::last_os_error());
  return TreeWriter(std::move(fd), root);
}

Error TreeWriter::symlink_or(int dir_fd, const std::string& name, const std::string& shown,
                             int err) const {
  struct stat st;
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return Error::message("refusing to write through symbolic link '" +
                          lossy_utf8(join(display_, shown)) + "'");
  }
  return Error::os(err);
}

Result<int> TreeWriter::directory(const std::string& prefix) {
  if (prefix.empty()) return root_.get();
  if (auto it = dirs_.find(prefix); it != dirs_.end()) return it->second.get();
  const std::size_t slash = prefix.rfind('/');
  const std::string parent_prefix =
      slash == std::string::npos ? std::string() : prefix.substr(0, slash);
  const std::string name = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
  auto parent = directory(parent_prefix);
  if (!parent) return parent;
  if (::mkdirat(*parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
    return fail(Error::last_os_error());
  }
  // O_PATH is enough to create below it and needs no read permission.
  UniqueFd fd(::openat(*parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return fail(symlink_or(*parent, name, prefix, errno));
  const int raw = fd.get();
  dirs_.emplace(prefix, std::move(fd));
  return raw;
}

Status TreeWriter::write(std::string_view key, std::string_view content) {
  if (key.find('\0') != std::string_view::npos) {
    return fail_message("workspace key must not contain a NUL byte: '" + std::string(key) + "'");
  }
  std::vector<std::string_view> parts;
  for (std::string_view c : path_components(key)) {
    if (c != "." && c != "/") parts.push_back(c);
  }
  if (parts.empty() || key.back() == '/') return fail(Error::os(EISDIR));
  std::string prefix;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    if (i > 0) prefix += '/';
    prefix += parts[i];
  }
  // Deep or wide trees would otherwise keep a descriptor per directory.
  if (dirs_.size() > 256) dirs_.clear();
  auto dir = directory(prefix);
  if (!dir) return fail(dir.error());
  const std::string name(parts.back());
  // O_NONBLOCK: a FIFO planted under the name must not block the writer.
  UniqueFd fd(::openat(
      *dir, name.c_str(),
      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd) return fail(symlink_or(*dir, name, join(prefix, name), errno));
  return write_fd_fully(fd.get(), content);
}

Status walk_regular_files(const std::string& root, WalkErrors errors,
                          const std::function<Status(int dir_fd, const char* name,
                                                     const std::string& relative)>& on_file) {
  auto walk_error = [&](const std::string& relative, int err) -> Status {
    if (errors == WalkErrors::kSkip) return {};
    const std::string path = relative.empty() ? root : join(root, relative);
    return fail_message("IO error for operation on " + lossy_utf8(path) + ": " +
                        os_error_message(err));
  };
  struct Frame {
    DirPtr dir;
    std::string relative;
  };
  std::vector<Frame> stack;
  {
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return walk_error("", errno);
    DirPtr dir = open_dir_stream(fd);
    if (!dir) return walk_error("", errno);
    stack.push_back({std::move(dir), std::string()});
  }
  while (!stack.empty()) {
    DIR* dir = stack.back().dir.get();
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      const int err = errno;
      std::string relative = std::move(stack.back().relative);
      stack.pop_back();
      if (err != 0) {
        if (auto s = walk_error(relative, err); !s) return s;
      }
      continue;
    }
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    const int dir_fd = ::dirfd(dir);
    std::string relative = join(stack.back().relative, name);
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (auto s = walk_error(relative, errno); !s) return s;
        continue;
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      const int fd = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      DirPtr sub = fd < 0 ? nullptr : open_dir_stream(fd);
      if (!sub) {
        if (auto s = walk_error(relative, errno); !s) return s;
        continue;
      }
      stack.push_back({std::move(sub), std::move(relative)});
    } else if (type == DT_REG) {
      if (auto s = on_file(dir_fd, name, relative); !s) return s;
    }
  }
  return {};
}

namespace {

// The content of the open file `fd`, or nullopt when it is not a regular file.
Result<std::optional<std::string>> read_open_file(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(Error::last_os_error());
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  auto read_some = [fd](char* buffer, std::size_t size) -> Result<std::size_t> {
    for (;;) {
      const ssize_t n = ::read(fd, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return fail(Error::last_os_error());
    }
  };
  // Read what the size promises straight into place, then look for more:
  // files of /proc report 0, others may grow while they are read.
  std::string out;
  const auto expected = static_cast<std::size_t>(st.st_size);
  std::size_t got = 0;
  Status status;
  out.resize_and_overwrite(expected, [&](char* data, std::size_t size) {
    while (got < size) {
      auto n = read_some(data + got, size - got);
      if (!n) {
        status = fail(n.error());
        break;
      }
      if (*n == 0) break;
      got += *n;
    }
    return got;
  });
  if (!status) return fail(status.error());
  if (got < expected) return out;
  char buffer[8192];
  for (;;) {
    auto n = read_some(buffer, sizeof buffer);
    if (!n) return fail(n.error());
    if (*n == 0) return out;
    out.append(buffer, *n);
  }
}

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Opens `relative` below `dir_fd` for reading with no link followed anywhere
// on the way: openat2() confined to the directory, or, for paths longer than
// it takes, one component at a time. -1 with errno ENOSYS on kernels before
// 5.6.
int open_beneath(int dir_fd, const char* relative) {
  open_how how{};
  how.flags = kReadFlags | O_NOFOLLOW;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const int fd = static_cast<int>(::syscall(SYS_openat2, dir_fd, relative, &how, sizeof how));
  if (fd >= 0 || errno != ENAMETOOLONG) return fd;
  UniqueFd dir;
  std::string_view rest(relative);
  for (std::size_t slash; (slash = rest.find('/')) != std::string_view::npos;
       rest.remove_prefix(slash + 1)) {
    const std::string name(rest.substr(0, slash));
    dir.reset(::openat(dir.valid() ? dir.get() : dir_fd, name.c_str(),
                       O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return -1;
  }
  return ::openat(dir.valid() ? dir.get() : dir_fd, std::string(rest).c_str(),
                  kReadFlags | O_NOFOLLOW);
}

}  // namespace

Result<std::optional<std::string>> read_regular_file(int dir_fd, const char* name,
                                                     bool follow_link) {
  UniqueFd fd(::openat(dir_fd, name, kReadFlags | (follow_link ? 0 : O_NOFOLLOW)));
  if (!fd) {
    if (!follow_link && errno == ELOOP) return std::nullopt;  // became a link
    return fail(Error::last_os_error());
  }
  return read_open_file(fd.get());
}

Result<std::vector<TreeFile>> read_tree(const std::string& root, WalkErrors errors) {
  std::vector<TreeFile> files;
  UniqueFd root_fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  // Whether the kernel has openat2(), asked once.
  static const bool have_openat2 = [] {
    UniqueFd probe(open_beneath(AT_FDCWD, "."));
    return probe.valid() || errno != ENOSYS;
  }();
  const bool beneath = root_fd && have_openat2;
  if (!beneath) {
    // Old kernels: read each file while the walk holds its directory open.
    auto walked = walk_regular_files(
        root, errors, [&](int dir_fd, const char* name, const std::string& relative) -> Status {
          auto content = read_regular_file(dir_fd, name, /*follow_link=*/false);
          if (!content) return fail(content.error());
          if (*content) files.push_back({relative, std::move(**content)});
          return {};
        });
    if (!walked) return fail(walked.error());
    return files;
  }

  // First the names, then the contents, several files at a time.
  const Status walked = walk_regular_files(
      root, errors, [&](int, const char*, const std::string& relative) -> Status {
        files.push_back({relative, std::string()});
        return {};
      });
  std::vector<char> regular(files.size(), 1);
  auto read_one = [&](std::size_t i, std::size_t) -> Status {
    UniqueFd fd(open_beneath(root_fd.get(), files[i].relative.c_str()));
    if (!fd) {
      if (errno == ELOOP) {  // became a link
        regular[i] = 0;
        return {};
      }
      return fail(Error::last_os_error());
    }
    auto content = read_open_file(fd.get());
    if (!content) return fail(content.error());
    if (*content) {
      files[i].content = std::move(**content);
    } else {
      regular[i] = 0;
    }
    return {};
  };
  const Status read = parallel_for(files.size(), worker_count(files.size()), read_one);
  if (!read) return fail(read.error());
  if (!walked) return fail(walked.error());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!regular[i]) continue;
    if (kept != i) files[kept] = std::move(files[i]);
    ++kept;
  }
  files.resize(kept);
  return files;
}

Status write_whole_file(const std::string& path, std::string_view content) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd) return fail(Error::last_os_error());
  return write_fd_fully(fd.get(), content);
}

namespace {

// Empties the directory open as `fd` (taken over). Directories a command made
// unreadable or unwritable get their owner permissions back first.
void empty_directory(int fd) {
  DirPtr dir = open_dir_stream(fd);
  if (!dir) return;
  const int dfd = ::dirfd(dir.get());
  // Removing entries while listing may make the listing skip some; a second
  // pass picks those up.
  for (int pass = 0; pass < 3; ++pass) {
    bool removed_any = false;
    bool left_any = false;
    ::rewinddir(dir.get());
    while (const dirent* entry = ::readdir(dir.get())) {
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      bool is_dir = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat st;
        is_dir = ::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      }
      if (!is_dir) {
        int r = ::unlinkat(dfd, name, 0);
        if (r != 0 && (errno == EACCES || errno == EPERM)) {
          ::fchmod(dfd, 0700);
          r = ::unlinkat(dfd, name, 0);
        }
        (r == 0 ? removed_any : left_any) = true;
        continue;
      }
      int sub = ::openat(dfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0 && errno == EACCES) {
        ::fchmodat(dfd, name, 0700, 0);
        sub = ::openat(dfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      if (sub >= 0) {
        ::fchmod(sub, 0700);
        empty_directory(sub);
      }
      if (::unlinkat(dfd, name, AT_REMOVEDIR) == 0) {
        removed_any = true;
      } else {
        left_any = true;
      }
    }
    if (!left_any || !removed_any) break;
  }
}

}  // namespace

void remove_tree(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) {
    ::chmod(path.c_str(), 0700);
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) {
    ::unlink(path.c_str());
    return;
  }
  ::fchmod(fd, 0700);
  empty_directory(fd);
  ::rmdir(path.c_str());
}

bool path_has_prefix(std::string_view path, std::string_view prefix) {
  const std::vector<std::string_view> p = path_components(path);
  const std::vector<std::string_view> q = path_components(prefix);
  if (q.size() > p.size()) return false;
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (p[i] != q[i]) return false;
  }
  return true;
}

}  // namespace vesk
