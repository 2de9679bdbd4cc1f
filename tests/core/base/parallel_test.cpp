#include "core/base/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace vesk {
namespace {

TEST(ParallelForTest, RunsEveryItemOnceAndReportsTheLowestFailure) {
  struct Case {
    std::size_t workers;
    std::vector<std::size_t> failing;  // items that fail, with their number as message
    std::string message;               // empty: success
  };
  const Case cases[] = {
      {1, {}, ""}, {4, {}, ""}, {1, {700, 300}, "300"}, {4, {900, 5, 600}, "5"}, {3, {999}, "999"},
  };
  for (const Case& c : cases) {
    std::vector<std::atomic<int>> runs(1000);
    auto status =
        parallel_for(runs.size(), c.workers, [&](std::size_t item, std::size_t worker) -> Status {
          EXPECT_LT(worker, c.workers);
          runs[item].fetch_add(1);
          for (std::size_t f : c.failing) {
            if (f == item) return fail_message(std::to_string(item));
          }
          return {};
        });
    if (c.message.empty()) {
      EXPECT_TRUE(status);
    } else {
      ASSERT_FALSE(status);
      EXPECT_EQ(status.error().message(), c.message);
    }
    const std::size_t lowest = c.message.empty() ? runs.size() : std::stoul(c.message);
    for (std::size_t i = 0; i < runs.size(); ++i) {
      // Everything up to the failure ran once; nothing ran twice.
      const int n = runs[i].load();
      EXPECT_TRUE(i > lowest ? n <= 1 : n == 1) << i << " ran " << n << " times";
    }
  }
}

TEST(ParallelForTest, AnExceptionIsAnInternalFailureOfItsItem) {
  auto status = parallel_for(10, 2, [](std::size_t item, std::size_t) -> Status {
    if (item == 3) throw std::bad_alloc();
    return {};
  });
  ASSERT_FALSE(status);
  EXPECT_TRUE(status.error().is_internal());
}

}  // namespace
}  // namespace vesk
