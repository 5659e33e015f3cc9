#include "foundation/time.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

using namespace std::chrono_literals;

TEST(Time, ElapsedIsClampedAtZeroBeforeTheStartAndAddsUp) {
  const MonoInstant start = std::chrono::steady_clock::now();
  EXPECT_EQ(elapsed_between(start, start - 1s), Elapsed{});
  EXPECT_EQ(elapsed_between(start, start + 1500ms), Elapsed::from_millis(1500));
  const Elapsed t = Elapsed::from_secs(2);
  EXPECT_EQ(t + 500ms, Elapsed::from_millis(2500));
  EXPECT_EQ(Elapsed::from_secs(5) - t, 3s);
  EXPECT_LT(t, Elapsed::from_secs(3));
  EXPECT_GT(wall_clock_now().unix_ns, 1'600'000'000ull * 1'000'000'000ull);
}

TEST(TimeDeathTest, DeadlinePastTheClockRangeIsFatal) {
  EXPECT_DEATH(deadline_after(MonoInstant::max() - 1s, 1h),
               "overflow when adding duration to instant");
}

}  // namespace
}  // namespace nimbrel
