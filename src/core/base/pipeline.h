// Producing a stream of bytes on one thread while another writes it.
//
// A park image is decompressed and sent to a resuming runner through a pipe.
// In line, the two take turns: the writer waits while the next piece is
// decompressed, and the decompressor while the runner drains the pipe, so a
// resume paid for both one after the other. produce_ahead() runs the
// producer on a thread of its own, a few pieces ahead of the consumer.
//
// Pieces are copied into a few buffers that are reused, so that memory held
// stays bounded (at most `slots` pieces) and no fresh pages are touched per
// piece. The buffers are made on the calling thread, room for a piece of
// kPieceRoom bytes each: glibc keeps what a thread frees in that thread's
// arena, and the producer's would hold on to it after every stream. Errors are values: the consumer's first error stops the producer
// (its next hand-over fails with that error) and is returned; otherwise the
// producer's error, once every piece it handed over before has been consumed.
// If no thread can be started, the producer runs in line.
#ifndef VESK_CORE_BASE_PIPELINE_H_
#define VESK_CORE_BASE_PIPELINE_H_

#include <cstddef>
#include <functional>
#include <string_view>

#include "core/base/error.h"

namespace vesk {

using PieceSink = std::function<Status(std::string_view)>;

inline constexpr std::size_t kPieceRoom = std::size_t{1} << 20;

// Runs produce(sink) on a thread of its own and hands every piece it gives
// `sink` to `consume` on the calling thread, in order. Returns once the
// producer has ended. Exceptions thrown by either are internal faults.
Status produce_ahead(const std::function<Status(const PieceSink&)>& produce,
                     const PieceSink& consume, std::size_t slots = 4);

}  // namespace vesk

#endif  // VESK_CORE_BASE_PIPELINE_H_
