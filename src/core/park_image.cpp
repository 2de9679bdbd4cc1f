#include "core/park_image.h"

#include <zstd.h>

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

Result<std::string> decompress_image(const ParkImage& image) {
  return guard([&]() -> Result<std::string> {
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!dctx) return fail(Error::internal("zstd's context could not be made"));
    std::string out;
    std::string reason;
    out.resize_and_overwrite(image.size, [&](char* data, std::size_t size) {
      ZSTD_inBuffer in{image.compressed.data(), image.compressed.size(), 0};
      ZSTD_outBuffer o{data, size, 0};
      for (;;) {
        const std::size_t r = ZSTD_decompressStream(dctx.get(), &o, &in);
        if (ZSTD_isError(r)) {
          reason = ZSTD_getErrorName(r);
          break;
        }
        if (r == 0) {
          // The frame is complete: it must have filled the image exactly and
          // used every byte kept.
          if (o.pos != size || in.pos != in.size) reason = "its size differs from the one recorded";
          break;
        }
        if (in.pos == in.size) {
          reason = "it ends early";
          break;
        }
        if (o.pos == o.size) {
          // Room left for nothing but a frame's end: anything more is too much.
          char probe;
          ZSTD_outBuffer extra{&probe, 1, 0};
          const std::size_t more = ZSTD_decompressStream(dctx.get(), &extra, &in);
          if (ZSTD_isError(more)) {
            reason = ZSTD_getErrorName(more);
          } else if (extra.pos != 0 || more != 0 || in.pos != in.size) {
            reason = "its size differs from the one recorded";
          }
          break;
        }
      }
      return o.pos;
    });
    if (!reason.empty()) return fail_message("the image is damaged (" + reason + ")");
    return out;
  });
}

}  // namespace vesk
