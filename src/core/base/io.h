// File descriptors and buffered pipe I/O.
//
// UniqueFd owns one descriptor and closes it exactly once. FdWriter and
// FdReader put an 8 KiB buffer on a pipe end they borrow (the caller keeps the
// UniqueFd alive for as long as they are used). Writes never raise SIGPIPE: a
// write to a pipe whose reader has gone fails with the broken-pipe error
// instead of ending the host process.
#ifndef VESK_CORE_BASE_IO_H_
#define VESK_CORE_BASE_IO_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "core/base/error.h"

namespace vesk {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (if any) and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// A pipe whose both ends are close-on-exec, so that no other child of this
// process inherits them.
Result<Pipe> make_pipe();

// Writes all of `data` to `fd`, retrying on EINTR and short writes, with
// SIGPIPE suppressed for the calling thread. Errors are Os errors.
Status write_all(int fd, std::string_view data);

// Buffered writer over a borrowed descriptor; 8 KiB buffer.
class FdWriter {
 public:
  static constexpr std::size_t kBufferSize = 8192;
  explicit FdWriter(int fd) : fd_(fd) {}

  // Buffers `data`, writing the buffer out whenever it fills.
  Status write(std::string_view data);
  Status put(char c) {
    if (used_ == kBufferSize) {
      if (auto s = flush_buffer(); !s) return s;
    }
    buffer_[used_++] = c;
    return {};
  }
  // Writes out whatever is buffered.
  Status flush() { return flush_buffer(); }

  // Direct access to the buffer, for encoders that produce many small pieces:
  // makes room for at least `n` bytes (n <= kBufferSize), writing the buffer
  // out first if needed, and returns all of the free space. commit(k) then
  // counts the first k bytes of it as written. Errors: those of flush().
  Result<std::span<char>> free_space(std::size_t n) {
    if (kBufferSize - used_ < n) {
      if (auto s = flush_buffer(); !s) return fail(s.error());
    }
    return std::span<char>(buffer_.data() + used_, kBufferSize - used_);
  }
  void commit(std::size_t n) { used_ += n; }

 private:
  Status flush_buffer();

  int fd_;
  std::array<char, kBufferSize> buffer_;
  std::size_t used_ = 0;
};

// Buffered line reader over a borrowed descriptor; 8 KiB reads. Once a line
// has outgrown the buffer, the rest of it is read straight into the caller's
// string in reads as large as the line so far (up to 1 MiB): a reply of tens
// of megabytes then costs tens of reads instead of thousands, and no copy.
class FdReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;
  static constexpr std::size_t kMaxDirectRead = 1 << 20;
  // See read_line's `max`: a line this long is given room for the bound.
  // Small enough that the buffers it grew through before are not ones the
  // allocator then takes for the size of later large blocks (glibc raises
  // its mmap threshold, up to 32 MiB, to the size of a mapped block freed),
  // which it would keep on its heap once freed.
  static constexpr std::size_t kReserveAfter = 8 << 20;
  // Room kept past a bounded line: its last read, and a parser's padding.
  static constexpr std::size_t kSlack = kMaxDirectRead + 4096;
  // kTooLong: see read_line's `max`.
  enum class ReadResult { kLine, kEof, kError, kTooLong };

  explicit FdReader(int fd) : fd_(fd), buffer_(kBufferSize) {}

  // Replaces `line` with the bytes up to and including the next line feed.
  // At the end of the stream the last bytes without a line feed form a line
  // (kLine) and the call after that returns kEof. kError when read() fails;
  // errno then tells why. kTooLong once `max` bytes have come without a line
  // feed: `line` then holds them (and at most one read more), and nothing
  // further is read, so a writer that never ends its line costs the reader
  // no more than `max`.
  ReadResult read_line(std::string& line, std::size_t max = SIZE_MAX);

  // Replaces `out` with the next `n` bytes of the stream, buffered ones
  // first. False when the stream ends or fails before `n` bytes.
  bool read_exact(std::string& out, std::size_t n);
  // The same into `n` bytes at `data`.
  bool read_exact(char* data, std::size_t n);

 private:
  // Reads into the end of `line`; bytes after a line feed go to the buffer.
  // Returns the number of bytes read (0 at the end), or -1 on error.
  ssize_t read_direct(std::string& line, bool& complete);

  int fd_;
  // kBufferSize bytes, more only while it holds what a direct read brought
  // after a line's end.
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace vesk

#endif  // VESK_CORE_BASE_IO_H_
