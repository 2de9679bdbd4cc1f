// The implementation of session_io.h; its role and contract are stated there.

#include "core/session/session_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/base/io.h"

namespace vesk {

namespace {

Error write_error(std::string_view path, int err) {
  return Error::message("could not write '" + std::string(path) + "': " + os_error_message(err));
}

Error read_error(std::string_view path, const std::string& reason) {
  return Error::message("could not read '" + std::string(path) + "': " + reason);
}

std::string directory_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace

Status write_file_atomically(std::string_view path, std::string_view bytes) {
  if (path.empty() || path.back() == '/' || path.find('\0') != std::string_view::npos) {
    return fail(write_error(path, EINVAL));
  }
  std::string temp = std::string(path) + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return fail(write_error(path, errno));
  const auto abandon = [&](int err) {
    ::unlink(temp.c_str());
    return fail(write_error(path, err));
  };
  if (auto s = write_all(fd.get(), bytes); !s) return abandon(s.error().os_errno());
  if (::fsync(fd.get()) != 0) return abandon(errno);
  if (::close(fd.release()) != 0) return abandon(errno);
  if (::rename(temp.c_str(), std::string(path).c_str()) != 0) return abandon(errno);
  // The rename is durable only once the directory is synced; a directory
  // that cannot be opened (no read permission) still holds the file.
  UniqueFd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir && ::fsync(dir.get()) != 0) return fail(write_error(path, errno));
  return {};
}

Result<std::string> read_whole_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return fail(read_error(path, os_error_message(EINVAL)));
  UniqueFd fd(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fail(read_error(path, os_error_message(errno)));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(read_error(path, os_error_message(errno)));
  if (!S_ISREG(st.st_mode)) return fail(read_error(path, "not a regular file"));
  std::string out;
  out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  for (;;) {
    if (got == out.size()) out.resize(out.size() + 65536);
    const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(read_error(path, os_error_message(errno)));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

}  // namespace vesk
