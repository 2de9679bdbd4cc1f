// Little-endian byte encoding of the saved forms of sessions (session
// files, journal rows): a writer appending to a string, and a reader that
// never reads past its input. Internal to the core; pure.
#ifndef VESK_CORE_BASE_BYTE_CODEC_H_
#define VESK_CORE_BASE_BYTE_CODEC_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/error.h"

namespace vesk::codec {

// "{prefix}{what}": the error of a reader whose input does not hold together.
inline Error damaged(std::string_view prefix, std::string what) {
  return Error::message(std::string(prefix) + std::move(what));
}

// Appends to a string it borrows.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(std::uint32_t v) { fixed(v, 4); }
  void u64(std::uint64_t v) { fixed(v, 8); }
  void raw(std::string_view bytes) { out_.append(bytes); }
  void str(std::string_view bytes) {
    u64(bytes.size());
    raw(bytes);
  }
  void opt_str(const std::optional<std::string>& s) {
    u8(s ? 1 : 0);
    if (s) str(*s);
  }

 private:
  void fixed(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  }
  std::string& out_;
};

// Reads `bytes` in order; after the first failure every read gives a zero value and
// error() says what went wrong.
class Reader {
 public:
  // `prefix` opens every error: "session file is damaged: ".
  explicit Reader(std::string_view bytes, std::string_view prefix = "session file is damaged: ")
      : bytes_(bytes), prefix_(prefix) {}

  bool ok() const { return !error_; }
  const std::optional<Error>& error() const { return error_; }
  void fail(Error e) {
    if (!error_) error_ = std::move(e);
  }
  std::size_t remaining() const { return bytes_.size() - pos_; }

  std::uint8_t u8() { return static_cast<std::uint8_t>(fixed(1)); }
  std::uint64_t u64() { return fixed(8); }
  std::string_view raw(std::uint64_t n) {
    if (!ok()) return {};
    if (n > remaining()) {
      fail(codec::damaged(prefix_, "a length passes the end of the file"));
      return {};
    }
    std::string_view out = bytes_.substr(pos_, n);
    pos_ += n;
    return out;
  }
  std::string_view str() { return raw(u64()); }
  bool present() {
    const std::uint8_t flag = u8();
    if (flag > 1) fail(codec::damaged(prefix_, "a presence flag is neither 0 nor 1"));
    return flag == 1;
  }
  std::optional<std::string> opt_str() {
    if (!present()) return std::nullopt;
    return std::string(str());
  }
  // A count of items at least `min_size` bytes each, refused unless that
  // many could follow: a forged count never makes the reader allocate.
  std::uint64_t count(std::size_t min_size) {
    const std::uint64_t n = u64();
    if (ok() && n > remaining() / min_size) fail(codec::damaged(prefix_, "a count passes the end of the file"));
    return ok() ? n : 0;
  }

 private:
  std::uint64_t fixed(int width) {
    std::string_view b = raw(static_cast<std::uint64_t>(width));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
      v |= static_cast<std::uint64_t>(static_cast<unsigned char>(b[i])) << (8 * i);
    }
    return v;
  }

  std::string_view bytes_;
  std::string_view prefix_;
  std::size_t pos_ = 0;
  std::optional<Error> error_;
};

}  // namespace vesk::codec

#endif  // VESK_CORE_BASE_BYTE_CODEC_H_
