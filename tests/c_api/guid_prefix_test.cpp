#include "c_api/guid_prefix.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

namespace nimbrel::c_api {
namespace {

TEST(GuidPrefix, PidThenStampPlusCounterLittleEndian) {
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  // clang-format off
  const std::tuple<std::uint32_t, std::uint64_t, std::uint32_t, rtps::GuidPrefix> cases[] = {
      {0x04030201, 0x1122334455667788, 0,
       {0x01, 0x02, 0x03, 0x04,                            // pid
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},  // stamp
      {0x04030201, 0x1122334455667788, 2,
       {0x01, 0x02, 0x03, 0x04, 0x8A, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},  // counter added
      {0x0000FFFF, 0x00000000000000FF, 1,
       {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},  // carry
      {0xFFFFFFFF, max, 1,
       {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}};  // wraps
  // clang-format on
  for (const auto& [pid, wall_ns, counter, expected] : cases)
    EXPECT_EQ(make_guid_prefix(pid, wall_ns, counter), expected) << counter;
}

TEST(RandomGuidPrefix, StartsWithTheProcessIdAndDiffersEachTime) {
  const auto pid = static_cast<std::uint32_t>(::getpid());
  const auto prefix = random_guid_prefix();
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_EQ(prefix[i], static_cast<std::uint8_t>(pid >> (8 * i))) << "byte " << i;
  EXPECT_NE(random_guid_prefix(), prefix);
}

}  // namespace
}  // namespace nimbrel::c_api
