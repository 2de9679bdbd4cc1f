// The implementation of process_records.h; its role and contract are stated there.

#include "core/exchange/process_records.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "core/exchange/host_dirs.h"

namespace vesk {

namespace {

constexpr const char kNew[] = ".new";


}  // namespace

ProcessRecordsLock::ProcessRecordsLock(const std::string& dir)
    : fd_(::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
  while (fd_ && ::flock(fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) fd_.reset();
  }
}

void read_other_records(const std::string& dir, const std::function<void(std::FILE*)>& read) {
  const std::string me = process_name(::getpid());
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name == "lock" || name == me) continue;
    const std::string path = dir + "/" + name;
    // A record being written (or left half written by a crash) is read once
    // it is renamed; its process's death is what removes it.
    const bool written = !name.ends_with(kNew);
    if (!process_alive(written ? name : name.substr(0, name.size() - (sizeof kNew - 1)))) {
      ::unlink(path.c_str());
      continue;
    }
    if (!written) continue;
    if (std::FILE* f = std::fopen(path.c_str(), "re")) {
      read(f);
      std::fclose(f);
    }
  }
  ::closedir(d);
}

void write_own_record(const std::string& dir, const std::string& text) {
  const std::string path = dir + "/" + process_name(::getpid());
  if (text.empty()) {
    ::unlink(path.c_str());
    return;
  }
  const std::string temporary = path + kNew;
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                     0600));
  if (fd && write_all(fd.get(), text)) {
    ::rename(temporary.c_str(), path.c_str());
  } else {
    ::unlink(temporary.c_str());
  }
}

}  // namespace vesk
