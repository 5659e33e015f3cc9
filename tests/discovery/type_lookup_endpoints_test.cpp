#include "discovery/type_lookup/endpoints.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "discovery/type_lookup/rpc.hpp"
#include "rtps/receiver.hpp"

namespace nimbrel::discovery {
namespace {

using namespace std::chrono_literals;

constexpr rtps::GuidPrefix asker_prefix{0xA5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr rtps::GuidPrefix replier_prefix{0xB0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

DiscoveredParticipant announced(const rtps::GuidPrefix& prefix, std::uint16_t port,
                                std::uint32_t endpoint_set = builtin_endpoints_plain) {
  auto data = local_participant_data(
      {.prefix = prefix, .metatraffic_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, port)});
  data.builtin_endpoint_set = endpoint_set;
  return {.data = data, .sender_prefix = prefix, .sender_vendor_id = rtps::nimbrel_vendor_id};
}

std::vector<std::byte> payload(std::uint8_t marker) {
  return {std::byte{0}, std::byte{0x07}, std::byte{0}, std::byte{0}, std::byte{marker}};
}

// Two participants' endpoints joined by a channel that may drop what one side sends.
class TypeLookupEndpointsTest : public ::testing::Test {
 protected:
  TypeLookupEndpointsTest() {
    asker_.on_participant_discovered(announced(replier_prefix, 7411));
    replier_.on_participant_discovered(announced(asker_prefix, 7421));
  }

  // Delivers the datagrams to `to`; what the other side's readers released is returned.
  LookupDelivery deliver(TypeLookupEndpoints& to, const rtps::GuidPrefix& to_prefix,
                         const rtps::Datagrams& datagrams) {
    rtps::Receiver receiver(to_prefix);
    LookupDelivery all;
    for (const auto& datagram : datagrams) {
      auto got = to.handle_datagram(receiver.receive(SharedBytes::copy_of(datagram.bytes)), now_);
      all.requests.insert(all.requests.end(), got.requests.begin(), got.requests.end());
      all.replies.insert(all.replies.end(), got.replies.begin(), got.replies.end());
    }
    return all;
  }
  rtps::Datagrams sent(CodecResult<rtps::Datagrams> datagrams) {
    EXPECT_TRUE(datagrams);
    return datagrams ? *datagrams : rtps::Datagrams{};
  }
  std::vector<std::uint8_t> markers(const std::vector<LookupSample>& samples) {
    std::vector<std::uint8_t> out;
    for (const auto& sample : samples)
      out.push_back(std::to_integer<std::uint8_t>(sample.payload.span()[4]));
    return out;
  }

  TypeLookupEndpoints asker_{asker_prefix, rtps::nimbrel_vendor_id};
  TypeLookupEndpoints replier_{replier_prefix, rtps::nimbrel_vendor_id};
  Elapsed now_{};
};

TEST_F(TypeLookupEndpointsTest, RequestsArriveInOrderAfterALossIsRepaired) {
  sent(asker_.send_request(replier_prefix, payload(1)));  // lost
  const auto second =
      deliver(replier_, replier_prefix, sent(asker_.send_request(replier_prefix, payload(2))));
  EXPECT_TRUE(second.requests.empty());  // held back behind the hole

  // Heartbeat, acknowledgement asking for 1, repair.
  now_ = now_ + 200ms;
  deliver(replier_, replier_prefix, sent(asker_.tick(now_)));
  deliver(asker_, asker_prefix, sent(replier_.tick(now_)));
  const auto repaired = deliver(replier_, replier_prefix, sent(asker_.tick(now_)));
  EXPECT_EQ(markers(repaired.requests), (std::vector<std::uint8_t>{1, 2}));
  ASSERT_FALSE(repaired.requests.empty());
  EXPECT_EQ(repaired.requests[0].source, asker_prefix);

  const auto reply =
      deliver(asker_, asker_prefix, sent(replier_.send_reply(asker_prefix, payload(9))));
  EXPECT_EQ(markers(reply.replies), (std::vector<std::uint8_t>{9}));
}

TEST_F(TypeLookupEndpointsTest, PlainBodiesAndUnannouncedEndpointsAreLeftAlone) {
  // A plain CDR body is the header-less service's.
  auto plain = payload(3);
  plain[1] = std::byte{0x01};
  const auto got =
      deliver(replier_, replier_prefix, sent(asker_.send_request(replier_prefix, plain)));
  EXPECT_TRUE(got.requests.empty());

  // A participant without a request reader is never asked.
  TypeLookupEndpoints lonely(asker_prefix, rtps::nimbrel_vendor_id);
  lonely.on_participant_discovered(announced(replier_prefix, 7411, 0x0000'0c3f));
  EXPECT_FALSE(lonely.can_ask(replier_prefix));
  EXPECT_TRUE(sent(lonely.send_request(replier_prefix, payload(4))).empty());
  EXPECT_TRUE(asker_.can_ask(replier_prefix));
  asker_.on_participants_removed({replier_prefix});
  EXPECT_FALSE(asker_.can_ask(replier_prefix));
}

}  // namespace
}  // namespace nimbrel::discovery
