// The secure builtin stack in the receive path: a participant announcing the secure endpoints is
// matched from the SPDP hook, its stateless messages reach the stack, and its departure unmatches.
#include "dcps/builtin/secure_builtin.hpp"

#include <gtest/gtest.h>

#include "dcps/discovery_events/departures.hpp"
#include "dcps/runtime/receive.hpp"
#include "dcps/runtime_test_util.hpp"

namespace nimbrel::dcps {
namespace {

namespace bit = discovery::secure_endpoint_bit;

// A generic message with class id "c", no data, CDR_LE.
std::vector<std::byte> generic_message() {
  std::vector<std::byte> out{std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}};
  out.resize(4 + 96);
  rtps::WireWriter w(out, /*little_endian=*/true);
  w.write_u32(2);
  w.write_bytes(rtps::text_bytes("c"));
  w.write_u8(0);
  w.pad_to(4, /*origin=*/4);
  w.write_u32(0);
  return out;
}

TEST(SecureBuiltinInTheReceivePath, MatchesDecodesAndForgets) {
  auto tx = std::make_shared<testing::RecordingTransport>();
  auto state = testing::make_state(tx, MonoInstant{}, 0, {.secure_builtin_endpoints = true});
  ASSERT_TRUE(state->participant.secure);
  auto remote = testing::participant_data();
  remote.builtin_endpoint_set |= bit::all;
  testing::deliver(*state, testing::spdp_announcement(remote));
  {
    auto stack = state->participant.secure->lock();
    ASSERT_TRUE(stack);
    EXPECT_EQ((*stack)->stateless_writer().reader_proxies().size(), 1u);
    EXPECT_EQ((*stack)->volatile_writer().reader_proxies().size(), 1u);
  }

  const auto message = rtps::testing::data_submessage(
      rtps::entity_ids::participant_stateless_writer, generic_message(),
      rtps::entity_ids::participant_stateless_reader, 1);
  testing::deliver(*state, testing::datagram_from(testing::remote_prefix, {message}));
  EXPECT_EQ((*state->participant.secure->lock())->stateless_reader().decoded_messages(), 1u);

  forget_participants(*state, {testing::remote_prefix});
  EXPECT_TRUE((*state->participant.secure->lock())->stateless_writer().reader_proxies().empty());
}

TEST(SecureBuiltinInTheReceivePath, AbsentWithoutTheSetting) {
  auto state = testing::make_state(std::make_shared<testing::RecordingTransport>(), MonoInstant{});
  EXPECT_EQ(state->participant.secure, nullptr);
  EXPECT_EQ(state->participant.local_participant.builtin_endpoint_set,
            discovery::builtin_endpoints_plain);
}

}  // namespace
}  // namespace nimbrel::dcps
