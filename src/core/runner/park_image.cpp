// The implementation of park_image.h; its role and contract are stated there.

#include "core/runner/park_image.h"

#include <zstd.h>

#include <algorithm>
#include <string>
#include <utility>

namespace vesk {

namespace {

Error zstd_error(std::size_t code) {
  return Error::message(std::string("zstd: ") + ZSTD_getErrorName(code));
}

}  // namespace

struct ImageCompressor::Context {
  ZSTD_CCtx* cctx = nullptr;
  ~Context() { ZSTD_freeCCtx(cctx); }
};

ImageCompressor::ImageCompressor(std::unique_ptr<Context> context)
    : context_(std::move(context)) {}

ImageCompressor::~ImageCompressor() = default;

Result<std::unique_ptr<ImageCompressor>> ImageCompressor::create(int level) {
  auto context = std::make_unique<Context>();
  context->cctx = ZSTD_createCCtx();
  if (context->cctx == nullptr) return fail(Error::internal("zstd's context could not be made"));
  ZSTD_CCtx_setParameter(context->cctx, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(context->cctx, ZSTD_c_checksumFlag, 1);
  // Compressed on threads of zstd's own while the image still arrives from
  // the runner (where zstd was built without them, in line: the call fails
  // and changes nothing).
  ZSTD_CCtx_setParameter(context->cctx, ZSTD_c_nbWorkers, 2);
  return std::unique_ptr<ImageCompressor>(new ImageCompressor(std::move(context)));
}

Status ImageCompressor::add(std::string_view bytes) {
  return guard([&]() -> Status {
    ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
    std::string& out = image_.compressed;
    while (in.pos < in.size) {
      // Room for what this piece may become; the string grows geometrically.
      const std::size_t room = ZSTD_CStreamOutSize();
      const std::size_t used = out.size();
      out.resize(used + room);
      ZSTD_outBuffer o{out.data(), out.size(), used};
      const std::size_t r = ZSTD_compressStream2(context_->cctx, &o, &in, ZSTD_e_continue);
      out.resize(o.pos);
      if (ZSTD_isError(r)) return fail(zstd_error(r));
    }
    image_.size += bytes.size();
    return {};
  });
}

Result<ParkImage> ImageCompressor::finish() {
  return guard([&]() -> Result<ParkImage> {
    ZSTD_inBuffer in{nullptr, 0, 0};
    std::string& out = image_.compressed;
    for (;;) {
      const std::size_t used = out.size();
      out.resize(used + ZSTD_CStreamOutSize());
      ZSTD_outBuffer o{out.data(), out.size(), used};
      const std::size_t left = ZSTD_compressStream2(context_->cctx, &o, &in, ZSTD_e_end);
      out.resize(o.pos);
      if (ZSTD_isError(left)) return fail(zstd_error(left));
      if (left == 0) break;
    }
    // Kept for as long as the session stays parked: no slack.
    out.shrink_to_fit();
    return std::move(image_);
  });
}

Status decompress_image_to(const ParkImage& image,
                           const std::function<Status(std::string_view)>& sink,
                           std::size_t piece) {
  return guard([&]() -> Status {
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!dctx) return fail(Error::internal("zstd's context could not be made"));
    const auto damaged = [](std::string_view reason) {
      return fail_message("the image is damaged (" + std::string(reason) + ")");
    };
    if (image.expanded) {
      const std::string_view all(image.compressed);
      if (all.size() != image.size) return damaged("its size differs from the one recorded");
      for (std::size_t at = 0; at < all.size(); at += piece) {
        if (Status s = sink(all.substr(at, piece)); !s) return s;
      }
      return {};
    }
    std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(image.size, piece)), '\0');
    ZSTD_inBuffer in{image.compressed.data(), image.compressed.size(), 0};
    std::uint64_t left = image.size;
    for (;;) {
      // Never more room than the recorded size leaves, so that no frame,
      // damaged or forged, makes this take more than was recorded.
      ZSTD_outBuffer o{buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size())), 0};
      std::size_t r = 0;
      if (o.size > 0) {
        r = ZSTD_decompressStream(dctx.get(), &o, &in);
        if (ZSTD_isError(r)) return damaged(ZSTD_getErrorName(r));
      } else {
        // Room left for nothing but a frame's end: anything more is too much.
        char probe;
        ZSTD_outBuffer extra{&probe, 1, 0};
        r = ZSTD_decompressStream(dctx.get(), &extra, &in);
        if (ZSTD_isError(r)) return damaged(ZSTD_getErrorName(r));
        if (extra.pos != 0 || r != 0 || in.pos != in.size) {
          return damaged("its size differs from the one recorded");
        }
        return {};
      }
      left -= o.pos;
      if (o.pos > 0) {
        if (Status s = sink(std::string_view(buffer.data(), o.pos)); !s) return s;
      }
      if (r == 0) {
        // The frame is complete: it must have filled the image exactly and
        // used every byte kept.
        if (left != 0 || in.pos != in.size) return damaged("its size differs from the one recorded");
        return {};
      }
      if (in.pos == in.size && o.pos < o.size) return damaged("it ends early");
    }
  });
}

Result<std::string> decompress_image(const ParkImage& image) {
  return guard([&]() -> Result<std::string> {
    std::string out;
    out.reserve(image.size);
    Status done = decompress_image_to(image, [&](std::string_view piece) -> Status {
      out.append(piece);
      return {};
    });
    if (!done) return fail(done.error());
    return out;
  });
}

Result<ParkImage> compressed_image(const ParkImage& image) {
  if (!image.expanded) return image;
  Result<std::unique_ptr<ImageCompressor>> compressor = ImageCompressor::create();
  if (!compressor) return fail(compressor.error());
  if (Status s = (*compressor)->add(image.compressed); !s) return fail(s.error());
  return (*compressor)->finish();
}

Result<std::string> image_of_blob(std::string_view blob, std::uint64_t max_size) {
  if (blob.size() < 8) return fail_message("the stored interpreter image is damaged");
  ParkImage image;
  for (int i = 0; i < 8; ++i) {
    image.size |= static_cast<std::uint64_t>(static_cast<unsigned char>(blob[i])) << (8 * i);
  }
  if (image.size > max_size) {
    return fail_message("the stored interpreter image is larger than " +
                        std::to_string(max_size) + " bytes");
  }
  image.compressed = blob.substr(8);
  return decompress_image(image);
}

Result<std::string> blob_of_image(std::string_view image) {
  Result<std::unique_ptr<ImageCompressor>> compressor = ImageCompressor::create();
  if (!compressor) return fail(compressor.error());
  if (auto s = (*compressor)->add(image); !s) return fail(s.error());
  Result<ParkImage> done = (*compressor)->finish();
  if (!done) return fail(done.error());
  std::string blob;
  blob.reserve(8 + done->compressed.size());
  for (int i = 0; i < 8; ++i) blob.push_back(static_cast<char>((done->size >> (8 * i)) & 0xff));
  blob += done->compressed;
  return blob;
}

}  // namespace vesk
