#include "foundation/time.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

TEST(Time, ElapsedIsClampedAtZeroBeforeTheStart) {
  const MonoInstant start = std::chrono::steady_clock::now();
  EXPECT_EQ(elapsed_between(start, start - std::chrono::seconds(1)), Elapsed{});
  EXPECT_EQ(elapsed_between(start, start + std::chrono::milliseconds(1500)),
            Elapsed::from_millis(1500));
}

TEST(Time, ElapsedArithmetic) {
  const Elapsed t = Elapsed::from_secs(2);
  EXPECT_EQ(t + std::chrono::milliseconds(500), Elapsed::from_millis(2500));
  EXPECT_EQ(Elapsed::from_secs(5) - t, std::chrono::seconds(3));
  EXPECT_LT(t, Elapsed::from_secs(3));
}

TEST(Time, WallClockIsAfterTheEpoch) {
  EXPECT_GT(wall_clock_now().unix_ns, 1'600'000'000ull * 1'000'000'000ull);
}

TEST(TimeDeathTest, DeadlinePastTheClockRangeIsFatal) {
  EXPECT_DEATH(deadline_after(MonoInstant::max() - std::chrono::seconds(1), std::chrono::hours(1)),
               "overflow when adding duration to instant");
}

}  // namespace
}  // namespace nimbrel
