// The implementation of image_pieces.h; its role and contract are stated there.

#include "core/runner/image_pieces.h"

#include <openssl/evp.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

namespace vesk {

namespace {

// The index of the first bad piece in [begin, end), or nullopt; `out` gets
// the bytes of the good ones. Only allocation failures throw.
std::optional<std::size_t> unpack_range(std::span<const StoredPiece> pieces, std::size_t begin,
                                        std::size_t end, std::size_t max_piece,
                                        std::vector<std::string>& out) {
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (!dctx) throw std::bad_alloc();
  for (std::size_t i = begin; i < end; ++i) {
    const StoredPiece& p = pieces[i];
    const unsigned long long size = ZSTD_getFrameContentSize(p.frame.data(), p.frame.size());
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR || size > max_piece ||
        p.digest.size() != 32) {
      return i;
    }
    std::string& bytes = out[i];
    bytes.resize(static_cast<std::size_t>(size));
    const std::size_t got = ZSTD_decompressDCtx(dctx.get(), bytes.data(), bytes.size(),
                                                p.frame.data(), p.frame.size());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (ZSTD_isError(got) || got != bytes.size() ||
        EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
        length != 32 || std::memcmp(digest, p.digest.data(), 32) != 0) {
      return i;
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::string> pack_image_piece(std::string_view piece) {
  return guard([&]() -> Result<std::string> {
    std::string out(ZSTD_compressBound(piece.size()), '\0');
    const std::size_t n = ZSTD_compress(out.data(), out.size(), piece.data(), piece.size(), 1);
    if (ZSTD_isError(n)) return fail_message(std::string("zstd: ") + ZSTD_getErrorName(n));
    out.resize(n);
    return out;
  });
}

Result<std::vector<std::string>> unpack_image_pieces(std::span<const StoredPiece> pieces,
                                                     std::size_t max_piece) {
  return guard([&]() -> Result<std::vector<std::string>> {
    std::vector<std::string> out(pieces.size());
    // The second half on a thread of its own: the caller waits for both.
    const std::size_t half = pieces.size() / 2;
    std::optional<std::size_t> second_bad;
    std::exception_ptr second_fault;
    std::thread second;
    if (half > 0) {
      second = std::thread([&] {
        try {
          second_bad = unpack_range(pieces, half, pieces.size(), max_piece, out);
        } catch (...) {
          second_fault = std::current_exception();
        }
      });
    }
    std::optional<std::size_t> bad;
    std::exception_ptr fault;
    try {
      bad = unpack_range(pieces, 0, half > 0 ? half : pieces.size(), max_piece, out);
    } catch (...) {
      fault = std::current_exception();
    }
    if (second.joinable()) second.join();
    if (fault) std::rethrow_exception(fault);
    if (second_fault) std::rethrow_exception(second_fault);
    if (!bad) bad = second_bad;
    if (bad) {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string hex;
      for (std::size_t k = 0; k < std::min<std::size_t>(8, pieces[*bad].digest.size()); ++k) {
        const auto c = static_cast<unsigned char>(pieces[*bad].digest[k]);
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
      }
      return fail_message("its piece " + hex + " is damaged");
    }
    return out;
  });
}

}  // namespace vesk
