// The secure builtin stack: matching with remote participants by their builtin endpoint bits, the
// routing of received submessages, and the volatile reader that delivers its good messages even
// when a neighbour does not decode.
#include "discovery/security/stack.hpp"

#include <gtest/gtest.h>

#include "rtps/wire_cursor.hpp"

#include <string>
#include <vector>

namespace nimbrel::discovery {
namespace {

namespace ids = rtps::entity_ids;
namespace bit = secure_endpoint_bit;

constexpr rtps::GuidPrefix own{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
constexpr rtps::GuidPrefix remote{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
const rtps::Locator meta = rtps::Locator::udp_v4({127, 0, 0, 9}, 41000);
const rtps::Locator user = rtps::Locator::udp_v4({127, 0, 0, 9}, 41001);

DiscoveredParticipant participant(std::uint32_t bits, const rtps::GuidPrefix& prefix = remote,
                                  bool with_meta = true) {
  DiscoveredParticipant out;
  out.data.participant_guid = {prefix, ids::participant};
  out.data.builtin_endpoint_set = bits;
  if (with_meta) out.data.metatraffic_unicast_locator = meta;
  out.data.default_unicast_locator = user;
  out.sender_prefix = prefix;
  return out;
}

struct Matched {
  std::size_t stateless = 0;  // proxies on each side of the pair, which must agree
  std::size_t volatile_secure = 0;
};

Matched matched(const SecurityBuiltinStack& stack) {
  EXPECT_EQ(stack.stateless_reader().writer_proxies().size(),
            stack.stateless_writer().reader_proxies().size());
  EXPECT_EQ(stack.volatile_reader().reader().writer_proxy_states().size(),
            stack.volatile_writer().reader_proxies().size());
  return {stack.stateless_reader().writer_proxies().size(),
          stack.volatile_writer().reader_proxies().size()};
}

struct BitsCase {
  const char* name;
  std::uint32_t bits;
  std::size_t stateless;
  std::size_t volatile_secure;
};

class MatchingByBits : public ::testing::TestWithParam<BitsCase> {};

TEST_P(MatchingByBits, MatchesOnlyCompletePairs) {
  SecurityBuiltinStack stack(own, rtps::nimbrel_vendor_id);
  stack.handle_remote_endpoints(participant(GetParam().bits));
  const Matched m = matched(stack);
  EXPECT_EQ(m.stateless, GetParam().stateless);
  EXPECT_EQ(m.volatile_secure, GetParam().volatile_secure);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchingByBits,
    ::testing::Values(BitsCase{"All", bit::all, 1, 1},
                      BitsCase{"StatelessPair", bit::stateless_writer | bit::stateless_reader, 1,
                               0},
                      BitsCase{"StatelessWriterOnly", bit::stateless_writer, 0, 0},
                      BitsCase{"StatelessReaderOnly", bit::stateless_reader, 0, 0},
                      BitsCase{"VolatilePair", bit::volatile_writer | bit::volatile_reader, 0, 1},
                      BitsCase{"VolatileReaderOnly", bit::volatile_reader, 0, 0},
                      BitsCase{"PlainOnly", builtin_endpoints_plain, 0, 0},
                      BitsCase{"WhatThisSystemAnnounces", builtin_endpoints_secure, 1, 1}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SecurityBuiltinStack, ProxiesNameTheRemoteEndpointsAndItsBestLocator) {
  SecurityBuiltinStack stack(own, rtps::nimbrel_vendor_id);
  stack.handle_remote_endpoints(participant(bit::all));
  stack.handle_remote_endpoints(participant(bit::all, remote, /*with_meta=*/false));
  // The second announcement replaced the proxies in place.
  ASSERT_EQ(matched(stack).stateless, 1u);
  const auto& reader_proxy = stack.stateless_writer().reader_proxies()[0];
  EXPECT_EQ(reader_proxy.remote_reader_guid,
            (rtps::Guid{remote, ids::participant_stateless_reader}));
  EXPECT_EQ(reader_proxy.unicast_locators, std::vector{user});
  EXPECT_EQ(stack.stateless_reader().writer_proxies()[0].remote_writer_guid,
            (rtps::Guid{remote, ids::participant_stateless_writer}));
  EXPECT_EQ(stack.volatile_writer().reader_proxies()[0].remote_reader_guid,
            (rtps::Guid{remote, ids::volatile_secure_reader}));
  EXPECT_NE(
      stack.volatile_reader().reader().writer_proxy_state({remote, ids::volatile_secure_writer}),
      nullptr);

  stack.handle_remote_endpoints(participant(bit::all, own));  // our own: nothing
  EXPECT_EQ(matched(stack).stateless, 1u);
  stack.on_participants_removed({remote});
  EXPECT_EQ(matched(stack).stateless, 0u);
  EXPECT_EQ(matched(stack).volatile_secure, 0u);
}

// --- Received submessages ------------------------------------------------------------------------

// A generic message payload whose class id is `class_id`; CDR_LE unless `big_endian`.
SharedBytes message_payload(const std::string& class_id, bool big_endian = false) {
  std::vector<std::byte> out{std::byte{0}, big_endian ? std::byte{0} : std::byte{1}, std::byte{0},
                             std::byte{0}};
  out.resize(out.size() + 96);  // identities and GUIDs, all zero
  rtps::WireWriter w(out, /*little_endian=*/true);
  w.write_u32(static_cast<std::uint32_t>(class_id.size() + 1));
  w.write_bytes(rtps::text_bytes(class_id));
  w.write_u8(0);
  w.pad_to(4, /*origin=*/4);
  w.write_u32(0);  // no message data
  return SharedBytes::adopt(std::move(out));
}

rtps::ReceivedDatagram datagram(std::vector<rtps::ParsedSubmessage> bodies) {
  rtps::ReceivedDatagram out;
  for (auto& body : bodies) {
    const auto consumer = rtps::consumer_of(body);
    out.submessages.push_back(
        {.state = {.source_prefix = remote}, .body = std::move(body), .consumer = consumer});
  }
  return out;
}

rtps::DataSubmessage volatile_data(rtps::SequenceNumber sn, SharedBytes payload) {
  return {.reader_id = ids::volatile_secure_reader,
          .writer_id = ids::volatile_secure_writer,
          .writer_sn = sn,
          .serialized_payload = std::move(payload)};
}

class SecureDispatch : public ::testing::Test {
 protected:
  void SetUp() override { stack_.handle_remote_endpoints(participant(bit::all)); }
  SecurityBuiltinStack stack_{own, rtps::nimbrel_vendor_id};
};

std::vector<std::string> class_ids(const GenericMessages& messages) {
  std::vector<std::string> out;
  for (const auto& m : messages)
    out.push_back(m.message_class_id);
  return out;
}

TEST_F(SecureDispatch, VolatileReaderDeliversTheGoodAndCountsTheBad) {
  // 2 and 3 wait for 1; then all three are released at once, the middle one undecodable.
  auto out = stack_.handle_datagram(
      datagram({volatile_data(3, message_payload("three")),
                volatile_data(2, message_payload("two", /*big_endian=*/true))}),
      Elapsed{});
  EXPECT_TRUE(out.volatile_secure.empty());
  out = stack_.handle_datagram(datagram({volatile_data(1, message_payload("one"))}), Elapsed{});
  EXPECT_EQ(class_ids(out.volatile_secure), (std::vector<std::string>{"one", "three"}));
  EXPECT_EQ(stack_.volatile_reader().undecodable(), 1u);
}

TEST_F(SecureDispatch, StatelessDataIsDecodedByReaderOrWriterId) {
  rtps::DataSubmessage to_reader{.reader_id = ids::participant_stateless_reader,
                                 .writer_sn = 1,
                                 .serialized_payload = message_payload("a")};
  rtps::DataSubmessage from_writer{.writer_id = ids::participant_stateless_writer,
                                   .writer_sn = 2,
                                   .serialized_payload = message_payload("b")};
  rtps::DataSubmessage broken{
      .reader_id = ids::participant_stateless_reader,
      .writer_sn = 3,
      .serialized_payload = SharedBytes::adopt(std::vector<std::byte>{std::byte{0}})};
  const auto out = stack_.handle_datagram(datagram({to_reader, broken, from_writer}), Elapsed{});
  EXPECT_EQ(class_ids(out.stateless), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(stack_.stateless_reader().undecodable_messages(), 1u);
}

TEST_F(SecureDispatch, AcknacksReachTheVolatileWriter) {
  rtps::AckNackSubmessage acknack{.reader_id = ids::volatile_secure_reader,
                                  .writer_id = ids::volatile_secure_writer,
                                  .reader_sn_state = {.base = 1},
                                  .count = 1};
  static_cast<void>(stack_.handle_datagram(datagram({acknack}), Elapsed{}));
  EXPECT_EQ(stack_.volatile_writer().counters().acknacks_received, 1u);
  EXPECT_EQ(stack_.volatile_writer().counters().unknown_readers, 0u);
}

// The reassembly caps fit one message: the largest body with its header is taken, one byte more is
// refused before a buffer is made.
TEST_F(SecureDispatch, FragmentAssemblyCapFitsTheLargestMessage) {
  auto frag = [](rtps::SequenceNumber sn, std::uint32_t sample_size) {
    return rtps::DataFragSubmessage{.reader_id = ids::volatile_secure_reader,
                                    .writer_id = ids::volatile_secure_writer,
                                    .writer_sn = sn,
                                    .fragment_starting_num = 1,
                                    .fragments_in_submessage = 1,
                                    .fragment_size = 1024,
                                    .sample_size = sample_size,
                                    .fragments = SharedBytes::adopt(std::vector<std::byte>(1024))};
  };
  constexpr std::uint32_t largest = security::ParticipantGenericMessage::max_body_bytes + 4;
  static_cast<void>(stack_.handle_datagram(datagram({frag(1, largest)}), Elapsed{}));
  const auto* state =
      stack_.volatile_reader().reader().writer_proxy_state({remote, ids::volatile_secure_writer});
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->assembler.pending().size(), 1u);
  EXPECT_EQ(state->assembler.drop_count(), 0u);
  static_cast<void>(stack_.handle_datagram(datagram({frag(2, largest + 1)}), Elapsed{}));
  EXPECT_EQ(state->assembler.drop_count(), 1u);
  EXPECT_EQ(state->assembler.last_drop_reason(), rtps::FragmentDropReason::SampleTooLarge);
}

}  // namespace
}  // namespace nimbrel::discovery
