// The pieces of interpreter images as a server's store keeps them: each
// compressed on its own (a zstd frame that records its size) and named by
// the SHA-256 of its bytes. A resume from the store waits for every piece of
// an image to be checked and expanded, so this is done here, outside
// Python's lock and on two threads, at zstd's speed rather than zlib's.
//
// Pure: no I/O. Errors are values; a frame that is damaged, forged or of
// another size is refused before more than `max_piece` bytes are taken.
#ifndef VESK_CORE_RUNNER_IMAGE_PIECES_H_
#define VESK_CORE_RUNNER_IMAGE_PIECES_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"

namespace vesk {

// `piece` as one zstd frame. Errors: zstd's (memory only).
Result<std::string> pack_image_piece(std::string_view piece);

struct StoredPiece {
  std::string_view digest;  // the SHA-256 its bytes must have (32 bytes)
  std::string_view frame;   // what pack_image_piece() made of them
};

// Each piece's bytes, in order, once its digest is checked. Errors (plain):
// "its piece {first 16 hex digits} is damaged" for the first piece (in
// order) that does not expand to at most `max_piece` bytes of its digest.
Result<std::vector<std::string>> unpack_image_pieces(std::span<const StoredPiece> pieces,
                                                     std::size_t max_piece);

}  // namespace vesk

#endif  // VESK_CORE_RUNNER_IMAGE_PIECES_H_
