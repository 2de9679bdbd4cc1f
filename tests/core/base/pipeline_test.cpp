#include "core/base/pipeline.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vesk {
namespace {

// Piece i is i+1 copies of a letter, so that order and content both show.
std::string piece(std::size_t i) { return std::string(i % 5000 + 1, static_cast<char>('a' + i % 26)); }

TEST(ProduceAheadTest, HandsOverEveryPieceInOrderAndStopsAtTheFirstFailure) {
  struct Case {
    const char* name;
    std::size_t pieces;
    std::size_t slots;
    std::size_t producer_fails_after;  // pieces handed over first; SIZE_MAX: never
    std::size_t consumer_fails_at;     // SIZE_MAX: never
    bool throws;                       // the failing side throws instead
    const char* message;               // "" for success
  };
  constexpr std::size_t kNever = SIZE_MAX;
  const Case cases[] = {
      {"nothing", 0, 4, kNever, kNever, false, ""},
      {"fewer than the slots", 3, 4, kNever, kNever, false, ""},
      {"many more than the slots", 2000, 4, kNever, kNever, false, ""},
      {"one slot", 300, 1, kNever, kNever, false, ""},
      {"producer fails", 100, 4, 37, kNever, false, "produce"},
      {"producer fails first", 100, 4, 0, kNever, false, "produce"},
      {"producer throws", 100, 4, 37, kNever, true, "internal"},
      {"consumer fails", 2000, 4, kNever, 10, false, "consume"},
      {"consumer fails at once", 2000, 2, kNever, 0, false, "consume"},
      {"consumer throws", 2000, 4, kNever, 10, true, "internal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto caller = std::this_thread::get_id();
    std::size_t produced = 0;
    bool producer_saw_failure = false;
    std::vector<std::string> got;
    Status status = produce_ahead(
        [&](const PieceSink& sink) -> Status {
          for (std::size_t i = 0; i < c.pieces; ++i) {
            if (i == c.producer_fails_after) {
              if (c.throws) throw std::runtime_error("thrown");
              return fail_message("produce");
            }
            if (Status s = sink(piece(i)); !s) {
              producer_saw_failure = true;
              return s;
            }
            ++produced;
          }
          return {};
        },
        [&](std::string_view p) -> Status {
          EXPECT_EQ(std::this_thread::get_id(), caller);
          if (got.size() == c.consumer_fails_at) {
            if (c.throws) throw std::runtime_error("thrown");
            return fail_message("consume");
          }
          got.emplace_back(p);
          return {};
        },
        c.slots);
    const std::string message = c.message;
    if (message.empty()) {
      EXPECT_TRUE(status);
    } else if (message == "internal") {
      ASSERT_FALSE(status);
      EXPECT_TRUE(status.error().is_internal());
    } else {
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().message(), message);
    }
    // What was consumed is the produced stream's start, in order.
    const std::size_t expected = c.consumer_fails_at != kNever ? c.consumer_fails_at
                                 : c.producer_fails_after != kNever ? c.producer_fails_after
                                                                    : c.pieces;
    ASSERT_EQ(got.size(), expected);
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], piece(i)) << i;
    if (c.consumer_fails_at != kNever) {
      // The producer was stopped, no more than the ring's worth ahead.
      EXPECT_TRUE(producer_saw_failure);
      EXPECT_LE(produced, c.consumer_fails_at + c.slots + 1);
    }
  }
}

}  // namespace
}  // namespace vesk
