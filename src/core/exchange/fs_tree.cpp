// The implementation of fs_tree.h; its role and contract are stated there.

#include "core/exchange/fs_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/base/parallel.h"
#include "core/base/utf8.h"

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

// A key as errors show it below the root: its components joined by '/'.
std::string display_key(std::string_view key) {
  std::string out;
  for (std::string_view c : path_components(key)) {
    if (c == "." || c == "/") continue;
    if (!out.empty()) out += '/';
    out += c;
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

Result<std::pair<int, std::string>> TreeWriter::locate(std::string_view key) {
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
  return std::pair<int, std::string>(*dir, std::string(parts.back()));
}

Status TreeWriter::write(std::string_view key, std::string_view content) {
  auto located = locate(key);
  if (!located) return fail(located.error());
  const auto& [dir, name] = *located;
  // O_NONBLOCK: a FIFO planted under the name must not block the writer.
  UniqueFd fd(::openat(
      dir, name.c_str(),
      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666));
  if (!fd) return fail(symlink_or(dir, name, display_key(key), errno));
  return write_fd_fully(fd.get(), content);
}

Status TreeWriter::replace(std::string_view key, std::string_view content) {
  auto located = locate(key);
  if (!located) return fail(located.error());
  const auto& [dir, name] = *located;
  struct stat st;
  const bool exists = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return fail(Error::last_os_error());
  if (exists && S_ISLNK(st.st_mode)) return fail(symlink_or(dir, name, display_key(key), ELOOP));
  if (exists && S_ISDIR(st.st_mode)) return fail(Error::os(EISDIR));
  if (exists && !S_ISREG(st.st_mode)) {
    return fail_message("refusing to replace '" + lossy_utf8(join(display_, display_key(key))) +
                        "': not a regular file");
  }
  auto temp = write_temporary_file(dir, content, exists ? &st : nullptr);
  if (!temp) return fail(temp.error());
  // Whatever took the name meanwhile, a link included, is replaced, never
  // written through.
  if (::renameat(dir, temp->c_str(), dir, name.c_str()) != 0) {
    const int err = errno;
    ::unlinkat(dir, temp->c_str(), 0);
    return fail(Error::os(err));
  }
  return {};
}

namespace {

// The walk of walk_regular_files from the already opened root directory `fd`
// (taken over; -1 with `open_errno` when opening it failed).
Status walk_from(int fd, int open_errno, const std::string& root, WalkErrors errors,
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
    if (fd < 0) return walk_error("", open_errno);
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
      const int sub_fd = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      DirPtr sub = sub_fd < 0 ? nullptr : open_dir_stream(sub_fd);
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

// Reopens the directory open as `root_fd` (O_PATH, say) for listing.
int open_for_listing(int root_fd) {
  return ::openat(root_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

Status walk_regular_files(const std::string& root, WalkErrors errors,
                          const std::function<Status(int dir_fd, const char* name,
                                                     const std::string& relative)>& on_file) {
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return walk_from(fd, errno, root, errors, on_file);
}

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

UniqueFd open_no_links(int dir_fd, std::string_view path, int flags) {
  flags |= O_CLOEXEC | O_NOFOLLOW;
  const bool absolute = !path.empty() && path.front() == '/';
  if (path.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return UniqueFd();
  }
  const std::string whole(path);
  open_how how{};
  // With O_PATH, O_NOFOLLOW would hand back a descriptor of a final link
  // instead of refusing it; RESOLVE_NO_SYMLINKS refuses it without.
  how.flags = static_cast<std::uint64_t>((flags & O_PATH) != 0 ? flags & ~O_NOFOLLOW : flags);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | (absolute ? 0 : RESOLVE_BENEATH);
  UniqueFd fd(static_cast<int>(::syscall(SYS_openat2, dir_fd, whole.c_str(), &how, sizeof how)));
  if (fd || (errno != ENAMETOOLONG && errno != ENOSYS)) return fd;

  // One component at a time, each opened below the last without following.
  UniqueFd dir;
  if (absolute) {
    dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return UniqueFd();
  }
  std::vector<std::string_view> parts;
  for (std::string_view c : path_components(path)) {
    if (c == "/" || c == ".") continue;
    if (c == "..") {
      errno = EXDEV;
      return UniqueFd();
    }
    parts.push_back(c);
  }
  if (parts.empty()) parts.emplace_back(".");
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string name(parts[i]);
    dir.reset(::openat(dir.valid() ? dir.get() : dir_fd, name.c_str(),
                       O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) return UniqueFd();
  }
  const int parent = dir.valid() ? dir.get() : dir_fd;
  const std::string name(parts.back());
  UniqueFd last(::openat(parent, name.c_str(), flags));
  struct stat st;
  if (last && (flags & O_PATH) != 0) {
    if (::fstat(last.get(), &st) == 0 && S_ISLNK(st.st_mode)) {
      errno = ELOOP;
      return UniqueFd();
    }
  } else if (!last && errno == ENOTDIR) {
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      errno = ELOOP;
    } else {
      errno = ENOTDIR;
    }
  }
  return last;
}

namespace {

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Whether the kernel has openat2(), asked once.
bool have_openat2() {
  static const bool have = [] {
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    UniqueFd probe(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how)));
    return probe.valid() || errno != ENOSYS;
  }();
  return have;
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
  UniqueFd root_fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd) {
    auto walked = walk_from(-1, errno, root, errors, nullptr);
    if (!walked) return fail(walked.error());
    return std::vector<TreeFile>();
  }
  return read_tree(root_fd.get(), root, errors);
}

Result<std::vector<TreeFile>> read_tree(int root_fd, const std::string& display,
                                        WalkErrors errors) {
  std::vector<TreeFile> files;
  if (!have_openat2()) {
    // Old kernels: read each file while the walk holds its directory open.
    const int fd = open_for_listing(root_fd);
    auto walked = walk_from(
        fd, errno, display, errors,
        [&](int dir_fd, const char* name, const std::string& relative) -> Status {
          auto content = read_regular_file(dir_fd, name, /*follow_link=*/false);
          if (!content) return fail(content.error());
          if (*content) files.push_back({relative, std::move(**content)});
          return {};
        });
    if (!walked) return fail(walked.error());
    return files;
  }

  // First the names, then the contents, several files at a time.
  const int fd = open_for_listing(root_fd);
  const Status walked = walk_from(
      fd, errno, display, errors, [&](int, const char*, const std::string& relative) -> Status {
        files.push_back({relative, std::string()});
        return {};
      });
  std::vector<char> regular(files.size(), 1);
  auto read_one = [&](std::size_t i, std::size_t) -> Status {
    UniqueFd file = open_no_links(root_fd, files[i].relative, kReadFlags);
    if (!file) {
      if (errno == ELOOP) {  // became a link
        regular[i] = 0;
        return {};
      }
      return fail(Error::last_os_error());
    }
    auto content = read_open_file(file.get());
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

Result<std::string> write_temporary_file(int dir_fd, std::string_view content,
                                         const struct stat* like) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  UniqueFd fd;
  // A name nobody else can have guessed: 48 random bits, and O_EXCL for the
  // rest.
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    unsigned char bytes[6];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
      return fail(Error::last_os_error());
    }
    name = ".vesk-";
    for (unsigned char b : bytes) {
      name += kHex[b >> 4];
      name += kHex[b & 15];
    }
    fd.reset(::openat(dir_fd, name.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                      like != nullptr ? 0600 : 0666));
    if (!fd && errno != EEXIST) return fail(Error::last_os_error());
  }
  if (!fd) return fail(Error::os(EEXIST));
  auto written = [&]() -> Status {
    if (like != nullptr) {
      // The owner first: changing it clears set-user-ID bits. Only root (or
      // the owner, for its own groups) may, and not being allowed is no fault.
      if (like->st_uid != ::geteuid() || like->st_gid != ::getegid()) {
        [[maybe_unused]] const int ignored = ::fchown(fd.get(), like->st_uid, like->st_gid);
      }
      if (::fchmod(fd.get(), like->st_mode & 07777) != 0) return fail(Error::last_os_error());
    }
    if (auto s = write_fd_fully(fd.get(), content); !s) return s;
    // The close reports late write errors (NFS, quotas) that would otherwise
    // surface only after the rename made the file visible.
    if (::close(fd.release()) != 0) return fail(Error::last_os_error());
    return {};
  }();
  if (!written) {
    ::unlinkat(dir_fd, name.c_str(), 0);
    return fail(written.error());
  }
  return name;
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

std::optional<std::string> canonical_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string out(resolved);
  std::free(resolved);
  return out;
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
