// The implementation of io.h; its role and contract are stated there.

#include "core/base/io.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace vesk {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Result<Pipe> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return fail(Error::last_os_error());
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

namespace {

// Blocks SIGPIPE on this thread for the scope; a SIGPIPE raised meanwhile by a
// write of ours is consumed before the old mask comes back, so it is never
// delivered. This is the usual way for a library to write to pipes without
// touching the host's signal dispositions.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old_);
  }
  ~SigpipeGuard() {
    if (raised_ && !was_pending_) {
      sigset_t pipe_only;
      sigemptyset(&pipe_only);
      sigaddset(&pipe_only, SIGPIPE);
      const timespec zero{0, 0};
      while (sigtimedwait(&pipe_only, nullptr, &zero) == -1 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  void note_epipe() { raised_ = true; }

 private:
  sigset_t old_;
  bool was_pending_ = false;
  bool raised_ = false;
};

}  // namespace

Status write_all(int fd, std::string_view data) {
  SigpipeGuard guard;
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EPIPE) guard.note_epipe();
      return fail(Error::os(err));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Status FdWriter::write(std::string_view data) {
  while (!data.empty()) {
    if (used_ == kBufferSize) {
      if (auto s = flush_buffer(); !s) return s;
    }
    // Large pieces go straight to the descriptor once the buffer is empty.
    if (used_ == 0 && data.size() >= kBufferSize) return write_all(fd_, data);
    const std::size_t n = std::min(kBufferSize - used_, data.size());
    std::memcpy(buffer_.data() + used_, data.data(), n);
    used_ += n;
    data.remove_prefix(n);
  }
  return {};
}

Status FdWriter::flush_buffer() {
  if (used_ == 0) return {};
  const std::size_t n = used_;
  used_ = 0;
  return write_all(fd_, std::string_view(buffer_.data(), n));
}

FdReader::ReadResult FdReader::read_line(std::string& line, std::size_t max) {
  line.clear();
  for (;;) {
    if (begin_ < end_) {
      const char* start = buffer_.data() + begin_;
      const void* nl = std::memchr(start, '\n', end_ - begin_);
      if (nl != nullptr) {
        const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(nl) - start) + 1;
        line.append(start, n);
        begin_ += n;
        return ReadResult::kLine;
      }
      line.append(start, end_ - begin_);
      begin_ = end_ = 0;
    }
    if (line.size() >= max) return ReadResult::kTooLong;
    // A bounded line that has grown large gets room for the whole bound at
    // once (address space: pages are taken only as they are written), so
    // that it is never copied into a buffer twice its size while it comes;
    // where the system refuses that much, it grows as before.
    if (max != SIZE_MAX && line.size() >= kReserveAfter && line.capacity() < max + kSlack) {
      try {
        line.reserve(max + kSlack);
      } catch (const std::exception&) {  // no memory, or more than a string holds
      }
    }
    if (buffer_.size() > kBufferSize) {
      buffer_.resize(kBufferSize);
      buffer_.shrink_to_fit();
    }
    ssize_t n;
    if (line.size() >= kBufferSize) {
      bool complete = false;
      n = read_direct(line, complete);
      if (complete) return ReadResult::kLine;
    } else {
      n = ::read(fd_, buffer_.data(), kBufferSize);
      if (n > 0) {
        begin_ = 0;
        end_ = static_cast<std::size_t>(n);
      }
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadResult::kError;
    }
    if (n == 0) return line.empty() ? ReadResult::kEof : ReadResult::kLine;
  }
}

ssize_t FdReader::read_direct(std::string& line, bool& complete) {
  const std::size_t old = line.size();
  const std::size_t want = std::min(old, kMaxDirectRead);
  ssize_t got = 0;
  // Grows geometrically, so the occasional reallocation stays amortised;
  // the bytes past what was read are cut off again before returning.
  line.resize_and_overwrite(old + want, [&](char* data, std::size_t) {
    got = ::read(fd_, data + old, want);
    return old + (got > 0 ? static_cast<std::size_t>(got) : 0);
  });
  if (got <= 0) return got;
  const char* fresh = line.data() + old;
  const void* nl = std::memchr(fresh, '\n', static_cast<std::size_t>(got));
  if (nl == nullptr) return got;
  const std::size_t keep = old + static_cast<std::size_t>(static_cast<const char*>(nl) - fresh) + 1;
  const std::size_t rest = line.size() - keep;
  if (rest > buffer_.size()) buffer_.resize(rest);
  std::memcpy(buffer_.data(), line.data() + keep, rest);
  begin_ = 0;
  end_ = rest;
  line.resize(keep);
  complete = true;
  return got;
}

}  // namespace vesk

namespace vesk {

bool FdReader::read_exact(std::string& out, std::size_t n) {
  out.clear();
  const std::size_t buffered = std::min(n, end_ - begin_);
  out.append(buffer_.data() + begin_, buffered);
  begin_ += buffered;
  if (begin_ == end_) begin_ = end_ = 0;
  std::size_t got = buffered;
  bool ok = true;
  out.resize_and_overwrite(n, [&](char* data, std::size_t size) {
    while (got < size) {
      const ssize_t r = ::read(fd_, data + got, size - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        ok = false;
        break;
      }
      got += static_cast<std::size_t>(r);
    }
    return got;
  });
  return ok;
}

bool FdReader::read_exact(char* data, std::size_t n) {
  const std::size_t buffered = std::min(n, end_ - begin_);
  std::memcpy(data, buffer_.data() + begin_, buffered);
  begin_ += buffered;
  if (begin_ == end_) begin_ = end_ = 0;
  std::size_t got = buffered;
  while (got < n) {
    const ssize_t r = ::read(fd_, data + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

}  // namespace vesk
