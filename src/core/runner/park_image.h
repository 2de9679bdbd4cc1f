// Park images: what a parked session keeps of its interpreter.
//
// A runner that parks writes an image of its interpreter (Runner::park); the
// session keeps it compressed (zstd) in the host's memory and decompresses it
// to resume. The image is the runner's word: code in the session owns its
// runner and may have written anything there. It only ever goes back to a
// runner of the same session, which can do nothing with it that the code
// could not do in its own runner; its size is bounded before it is read, and
// it is decompressed into exactly the size recorded when it was compressed,
// so no frame, damaged or forged, makes the host take more. The frame carries
// zstd's checksum of the image: bytes damaged while kept make decompression
// fail instead of giving another image.
//
// Errors are values: allocation failures inside zstd are internal faults,
// damaged data a plain message.
#ifndef VESK_CORE_RUNNER_PARK_IMAGE_H_
#define VESK_CORE_RUNNER_PARK_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/base/error.h"

namespace vesk {

// The zstd level images are compressed at: level 1 compresses an interpreter
// holding 10 MB of data (a 45 MB image) in 50-70 ms to 7.7 MB; level 3 takes
// twice the time for 8% less, which the park time cannot afford.
inline constexpr int kParkImageLevel = 1;

struct ParkImage {
  std::string compressed;
  std::uint64_t size = 0;  // of the image itself
  // `compressed` holds the image itself, as a store that keeps images
  // expanded gave it: compressing it only for the resume to decompress it
  // again would cost the first call after a park tens of milliseconds.
  bool expanded = false;
};

// Compresses an image handed over in pieces, as it arrives from the runner.
class ImageCompressor {
 public:
  // Errors: an internal fault when zstd's context cannot be made.
  static Result<std::unique_ptr<ImageCompressor>> create(int level = kParkImageLevel);
  ImageCompressor(const ImageCompressor&) = delete;
  ImageCompressor& operator=(const ImageCompressor&) = delete;
  ~ImageCompressor();

  // Errors: zstd's, as a plain message (none expected but for memory).
  Status add(std::string_view bytes);
  // How many compressed bytes the image has taken so far.
  std::size_t compressed_size() const { return image_.compressed.size(); }
  // The image so far, its frame ended. The compressor is spent afterwards.
  Result<ParkImage> finish();

 private:
  struct Context;
  explicit ImageCompressor(std::unique_ptr<Context> context);
  std::unique_ptr<Context> context_;
  ParkImage image_;
};

// `image` compressed (a copy when it is already). Errors: those of
// ImageCompressor.
Result<ParkImage> compressed_image(const ParkImage& image);

// The image kept in `image`. Errors (plain): "the image is damaged ({zstd's
// reason})" when the frame does not decompress, or not to exactly
// `image.size` bytes, or, expanded, when it does not hold exactly that many.
Result<std::string> decompress_image(const ParkImage& image);

// The same, handed to `sink` in pieces of at most `piece` bytes as they are
// decompressed, so that the whole image is never held. Pieces before a
// damage is found have been handed over already: a caller must be able to
// discard what it was given when this fails. Errors: those of
// decompress_image(), and the first error of `sink` (after which nothing
// more is handed over).
Status decompress_image_to(const ParkImage& image,
                           const std::function<Status(std::string_view)>& sink,
                           std::size_t piece = std::size_t{1} << 20);

// A store's form of an image, and the image itself. The blob is an image's
// size (u64, little-endian) then its frame: what Session::image_blob() gives.
// A store keeps images whole so that the pieces sessions share are stored
// once; a frame shares nothing past its first difference.
// Errors (plain): "the stored interpreter image is damaged" for a short blob,
// "... is larger than {max_size} bytes" (checked before anything is
// allocated), and those of decompress_image().
Result<std::string> image_of_blob(std::string_view blob, std::uint64_t max_size);
// Errors: those of ImageCompressor.
Result<std::string> blob_of_image(std::string_view image);

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_PARK_IMAGE_H_
