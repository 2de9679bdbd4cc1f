// The implementation of pipeline.h; its role and contract are stated there.

#include "core/base/pipeline.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vesk {

namespace {

// A ring of `slots` buffers. The producer fills slot (produced % slots) once
// it is free, the consumer drains slot (consumed % slots) once it is full.
class Ring {
 public:
  explicit Ring(std::size_t slots) : buffers_(slots) {
    for (std::string& buffer : buffers_) buffer.reserve(kPieceRoom);
  }

  // The producer's side: copies `piece` in. Fails once the consumer failed.
  Status put(std::string_view piece) {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [&] { return consumer_failure_ || produced_ - consumed_ < buffers_.size(); });
    if (consumer_failure_) return fail(*consumer_failure_);
    std::string& buffer = buffers_[produced_ % buffers_.size()];
    // The copy runs unlocked: the consumer does not touch this slot until
    // it is counted as produced.
    lock.unlock();
    buffer.assign(piece);
    lock.lock();
    ++produced_;
    changed_.notify_all();
    return {};
  }

  void finish(Status status) {
    std::lock_guard<std::mutex> lock(mu_);
    producer_status_ = std::move(status);
    changed_.notify_all();
  }

  // The consumer's side, on the calling thread.
  Status drain(const PieceSink& consume) {
    for (;;) {
      std::unique_lock<std::mutex> lock(mu_);
      changed_.wait(lock, [&] { return produced_ > consumed_ || producer_status_.has_value(); });
      if (produced_ == consumed_) return std::move(*producer_status_);
      const std::string& buffer = buffers_[consumed_ % buffers_.size()];
      lock.unlock();
      Status s = guard([&] { return consume(buffer); });
      lock.lock();
      if (!s) {
        consumer_failure_ = s.error();
        changed_.notify_all();
        return s;
      }
      ++consumed_;
      changed_.notify_all();
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> buffers_;
  std::size_t produced_ = 0;
  std::size_t consumed_ = 0;
  std::optional<Error> consumer_failure_;
  std::optional<Status> producer_status_;
};

}  // namespace

Status produce_ahead(const std::function<Status(const PieceSink&)>& produce,
                     const PieceSink& consume, std::size_t slots) {
  return guard([&]() -> Status {
    Ring ring(slots == 0 ? 1 : slots);
    const PieceSink put = [&](std::string_view piece) { return ring.put(piece); };
    std::thread producer;
    try {
      producer = std::thread([&]() noexcept { ring.finish(guard([&] { return produce(put); })); });
    } catch (const std::system_error&) {
      return produce(consume);
    }
    Status consumed = ring.drain(consume);
    producer.join();
    return consumed;
  });
}

}  // namespace vesk
