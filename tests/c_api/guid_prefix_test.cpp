#include "c_api/guid_prefix.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

namespace nimbrel::c_api {
namespace {

struct PrefixCase {
  std::uint32_t pid;
  std::uint64_t wall_ns;
  std::uint32_t counter;
  rtps::GuidPrefix expected;
};

class GuidPrefixLayout : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(GuidPrefixLayout, PidThenStampPlusCounterLittleEndian) {
  const auto& c = GetParam();
  EXPECT_EQ(make_guid_prefix(c.pid, c.wall_ns, c.counter), c.expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, GuidPrefixLayout, ::testing::Values(
    PrefixCase{0x04030201, 0x1122334455667788, 0,
               {0x01, 0x02, 0x03, 0x04,                            // pid
                0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},  // stamp
    PrefixCase{0x04030201, 0x1122334455667788, 2,
               {0x01, 0x02, 0x03, 0x04,
                0x8A, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},  // counter added
    PrefixCase{0x0000FFFF, 0x00000000000000FF, 1,
               {0xFF, 0xFF, 0x00, 0x00,
                0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},  // carry into byte 5
    PrefixCase{0xFFFFFFFF, std::numeric_limits<std::uint64_t>::max(), 1,
               {0xFF, 0xFF, 0xFF, 0xFF,
                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}));  // the sum wraps
// clang-format on

TEST(RandomGuidPrefix, TwoInARowDiffer) {
  const auto first = random_guid_prefix();
  const auto second = random_guid_prefix();
  EXPECT_NE(first, second);
}

TEST(RandomGuidPrefix, StartsWithTheProcessId) {
  const auto pid = static_cast<std::uint32_t>(::getpid());
  const auto prefix = random_guid_prefix();
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(prefix[i], static_cast<std::uint8_t>(pid >> (8 * i))) << "byte " << i;
  }
}

}  // namespace
}  // namespace nimbrel::c_api
