#include "discovery/instance_handle.hpp"

#include <gtest/gtest.h>

namespace nimbrel::discovery {
namespace {

using rtps::entity_ids::participant;

// Reference values from an independent FNV-1a 64 computation over the 16 wire bytes.
TEST(InstanceHandle, HashesTheWireBytesOfTheGuid) {
  const rtps::GuidPrefix cyclone{0x01, 0x10, 0x60, 0x12, 0x5a, 0xa1,
                                 0x08, 0x2e, 0xa2, 0x12, 0xf2, 0x1b};
  EXPECT_EQ(instance_handle(rtps::Guid{cyclone, participant}), 0x6d76c6ce94fa2ac8u);
  EXPECT_EQ(instance_handle(rtps::Guid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, participant}),
            0x19275636750cd98fu);
  EXPECT_EQ(instance_handle(rtps::Guid{}), 0x88201fb960ff6465u);
  const auto key = rtps::Guid{cyclone, participant}.to_bytes();
  EXPECT_EQ(instance_handle(std::span<const std::uint8_t, 16>(key)), 0x6d76c6ce94fa2ac8u);
}

}  // namespace
}  // namespace nimbrel::discovery
