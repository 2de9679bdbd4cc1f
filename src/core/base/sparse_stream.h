// The stream a park image goes to a resuming runner in.
//
// An interpreter's image is its whole memory, and a third to a half of it is
// zero pages in a few long runs. Sending those through the runner's input
// costs the pipe's copies and the runner's reads for nothing: a fresh buffer
// in the runner is zero already. So the image goes as records, each a
// 16-byte header (two little-endian 64-bit counts: data bytes, then zero
// bytes) followed by the data bytes; the zero bytes are not sent. The
// records' counts add up to the image's size.
//
// Zeros are found page by page (kSparsePage, counted from the image's
// start). Zero runs shorter than kMinZeroRun go as data (a record costs the
// runner a read of its own), but for one at the image's end; a data record
// is written once it holds kMaxRecordData bytes, so the encoder holds little
// more than that of the image at once.
//
// Pure: no I/O but through the sink. Errors: the first error of the sink,
// after which nothing more is written.
#ifndef VESK_CORE_BASE_SPARSE_STREAM_H_
#define VESK_CORE_BASE_SPARSE_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/base/error.h"

namespace vesk {

inline constexpr std::size_t kSparsePage = 4096;
inline constexpr std::size_t kMinZeroRun = 64 * 1024;
inline constexpr std::size_t kMaxRecordData = 1 << 20;
inline constexpr std::size_t kSparseHeaderBytes = 16;

class SparseEncoder {
 public:
  using Sink = std::function<Status(std::string_view)>;
  explicit SparseEncoder(Sink sink) : sink_(std::move(sink)) {}

  // The image's next bytes, in pieces of any size.
  Status add(std::string_view bytes);
  // Writes what is held back; the encoder is spent afterwards.
  Status finish();

 private:
  void take_page(std::string_view page);
  void emit(std::uint64_t zeros);

  Sink sink_;
  std::string partial_;      // the start of a page not yet whole
  std::string data_;         // data not yet written
  std::uint64_t zeros_ = 0;  // zero bytes after data_, not yet settled
  Status status_;            // the sink's first error
};

}  // namespace vesk

#endif  // VESK_CORE_BASE_SPARSE_STREAM_H_
