// The runtime's type lookup paths on recording transports: requests and replies arriving beside
// other traffic, callbacks that use the client again, and expiry by the tick.
#include "dcps/builtin/type_lookup.hpp"

#include <gtest/gtest.h>

#include "dcps/runtime_test_util.hpp"
#include "discovery/type_family.hpp"
#include "discovery/type_lookup/message.hpp"
#include "monitor/metric_groups.hpp"

namespace nimbrel::dcps {
namespace {

using namespace testing;
using discovery::TypeLookupOutcome;
using types::testing::color;
using types::testing::minimal_ref;

std::vector<std::byte> get_types_request(rtps::SequenceNumber sn) {
  cdr::BufferWriter body(true);
  EXPECT_TRUE(types::GetTypesRequest{{minimal_ref(color)}}.encode(body));
  std::vector<std::byte> payload{std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0}};
  payload.insert(payload.end(), body.bytes().begin(), body.bytes().end());
  return rtps::testing::data_submessage(rtps::entity_ids::type_lookup_request_writer,
                                        std::move(payload),
                                        rtps::entity_ids::type_lookup_request_reader, sn);
}

class TypeLookupDispatchTest : public UserTrafficTest {
 protected:
  TypeLookupDispatchTest() {
    for (auto& [hash, object] : types::testing::type_family())
      EXPECT_TRUE(add_type(state_->participant, hash, std::move(object)));
  }

  // Asks the remote participant for nothing in particular; the outcome lands in `outcomes_`.
  void ask(std::function<void()> inside = {}) {
    auto id = request_type_lookup(state_->participant, remote_prefix, types::GetTypesRequest{},
                                  [this, inside](TypeLookupOutcome outcome) {
                                    outcomes_.push_back(std::move(outcome));
                                    if (inside) inside();
                                  });
    ASSERT_TRUE(id);
  }
  void reply_from_remote(rtps::SequenceNumber sn) {
    receive(SharedBytes::adopt(
        discovery::build_type_lookup_reply(remote_prefix, types::GetTypesReply{}, sn).value()));
  }

  std::vector<TypeLookupOutcome> outcomes_;
};

// The request is answered to the datagram's source, and the user DATA beside it still reaches its
// reader.
TEST_F(TypeLookupDispatchTest, RequestBesideUserDataTakesOnlyItsOwnSubmessage) {
  know_writer(remote_prefix);
  auto [id, samples] = reader();
  static_cast<void>(user_->take());
  const auto lookups = monitor::discovery_metrics().type_lookups->value();

  receive(datagram_from(remote_prefix, {get_types_request(3), data(1, id)}));

  EXPECT_EQ(taken(samples), std::vector<std::uint32_t>{1});
  const auto sent = user_->take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].destination, remote_user);
  const auto reply =
      rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(sent[0].bytes), true).value();
  const auto& answer = std::get<rtps::DataSubmessage>(reply.submessages.at(0));
  EXPECT_EQ(answer.writer_sn, 3);
  EXPECT_EQ(answer.reader_id, rtps::entity_ids::type_lookup_reply_reader);
  EXPECT_EQ(monitor::discovery_metrics().type_lookups->value(), lookups + 1);
}

// A callback that asks again would deadlock if it ran under the client's lock.
TEST_F(TypeLookupDispatchTest, CallbackMayUseTheClientAgain) {
  know_participant(remote_prefix);
  ask([this] { ask(); });
  reply_from_remote(/*sn=*/1);
  ASSERT_EQ(outcomes_.size(), 1u);
  EXPECT_TRUE(outcomes_[0].has_value());
  const auto sent = user_->take();
  ASSERT_EQ(sent.size(), 2u) << "both requests went out";
  EXPECT_EQ(sent[1].destination, remote_metatraffic);
  EXPECT_EQ((*state_->participant.type_lookup_client.lock())->pending(), 1u);
}

TEST_F(TypeLookupDispatchTest, UnknownRepliersAndExpiry) {
  EXPECT_EQ(
      request_type_lookup(state_->participant, remote_prefix, types::GetTypesRequest{}, {}).error(),
      TypeLookupRequestError::UnknownParticipant);
  know_participant(remote_prefix);
  ask();
  reply_from_remote(/*sn=*/2);  // a number never asked
  expire_type_lookups(state_->participant, Elapsed::from_secs(5));
  EXPECT_TRUE(outcomes_.empty());
  expire_type_lookups(state_->participant, Elapsed::from_secs(60));
  ASSERT_EQ(outcomes_.size(), 1u);
  EXPECT_EQ(outcomes_[0], std::unexpected(discovery::TypeLookupFailure::TimedOut));
  reply_from_remote(/*sn=*/1);  // too late
  EXPECT_EQ(outcomes_.size(), 1u);
}

}  // namespace
}  // namespace nimbrel::dcps
