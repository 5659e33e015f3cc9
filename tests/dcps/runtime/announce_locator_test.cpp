#include "dcps/runtime/announce_locator.hpp"

#include <gtest/gtest.h>

namespace nimbrel::dcps {
namespace {

// Runs in a loopback-only namespace: no route reaches 192.0.2.1, so the fallbacks show. A bound
// address is announced unchanged; without a route the wildcard is announced as the interface or
// loopback, with the socket's port.
TEST(AnnounceLocatorTest, BoundAddressOrInterfaceOrLoopback) {
  const auto bound = rtps::Locator::udp_v4({10, 1, 2, 3}, 4567);
  EXPECT_EQ(announce_locator(bound, {0, 0, 0, 0}), bound);
  EXPECT_EQ(announce_locator(bound, {192, 168, 1, 1}), bound);
  const auto wildcard = rtps::Locator::udp_v4({0, 0, 0, 0}, 4567);
  EXPECT_EQ(announce_locator(wildcard, {0, 0, 0, 0}), rtps::Locator::udp_v4({127, 0, 0, 1}, 4567));
  EXPECT_EQ(announce_locator(wildcard, {192, 168, 1, 1}),
            rtps::Locator::udp_v4({192, 168, 1, 1}, 4567));
}

}  // namespace
}  // namespace nimbrel::dcps
