#include "discovery/type_lookup/type_exchange.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "rtps/publication_data.hpp"
#include "type_lookup_captures.hpp"
#include "types/detail/type_text.hpp"
#include "types/type_object_xcdr2.hpp"

namespace nimbrel::discovery {
namespace {

using namespace std::chrono_literals;

constexpr rtps::GuidPrefix own{0x5E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// Cyclone's tldemo::Sample writer, and the reply that carried its three complete objects.
rtps::PublicationBuiltinTopicData captured_publication() {
  const Captured sedp = load("cyclone-sedp-pub.bin");
  // The DATA(w) is the one in PL_CDR_LE.
  const auto found = std::ranges::find_if(sedp.payloads, [](const auto& payload) {
    return payload.size() > 2 && payload[1] == std::byte{3};
  });
  if (found == sedp.payloads.end()) return {};
  auto publication = rtps::decode_bytes<rtps::PublicationBuiltinTopicData>(
      std::span<const std::byte>(*found), true, rtps::VendorId{0x01, 0x10});
  if (!publication) ADD_FAILURE() << to_string(publication.error());
  EXPECT_TRUE(publication);
  return publication ? *publication : rtps::PublicationBuiltinTopicData{};
}

rpc::Reply captured_reply(std::int64_t sn) {
  auto reply = rpc::decode_reply(load("cyclone-tl-reply-complete.bin").payloads.at(0));
  EXPECT_TRUE(reply);
  reply->related_request.sequence_number = sn;
  return *reply;
}

class TypeExchangeTest : public ::testing::Test {
 protected:
  TypeExchangeTest() : publication_(captured_publication()) {}

  // The request sent for the publication, decoded.
  rpc::Request announce(Elapsed at = Elapsed{}) {
    auto out = exchange_.on_publication(publication_, at);
    EXPECT_EQ(out.size(), 1u);
    if (out.empty()) return {};
    EXPECT_EQ(out[0].replier, peer());
    auto request = rpc::decode_request(out[0].payload);
    EXPECT_TRUE(request);
    return *request;
  }
  rtps::GuidPrefix peer() const { return publication_.endpoint_guid.prefix; }

  rtps::PublicationBuiltinTopicData publication_;
  TypeExchange exchange_{own, {.timeout = 1s, .max_attempts = 2}};
};

TEST_F(TypeExchangeTest, FetchesTheCompleteClosureAndChecksEveryHash) {
  const rpc::Request request = announce();
  EXPECT_EQ(request.request_id.writer_guid,
            (rtps::Guid{own, rtps::entity_ids::type_lookup_request_writer}));
  // Sample, Point and Color, complete, in one request.
  EXPECT_EQ(std::get<rpc::GetTypesIn>(request.call).type_ids.size(), 3u);
  EXPECT_FALSE(exchange_.writer_type(publication_.endpoint_guid));

  EXPECT_EQ(exchange_.type_state(publication_.endpoint_guid), TypeState::Pending);
  exchange_.on_reply(peer(), captured_reply(request.request_id.sequence_number), Elapsed{});
  EXPECT_EQ(exchange_.type_state(publication_.endpoint_guid), TypeState::Known);
  const auto type = exchange_.writer_type(publication_.endpoint_guid);
  ASSERT_TRUE(type);
  EXPECT_EQ(type->type_name, "tldemo::Sample");
  EXPECT_EQ(type->type_id.discriminator(), 0xf2);  // complete
  ASSERT_EQ(type->objects.size(), 3u);
  EXPECT_EQ(type->objects[0].type_object.size(), 199u);
  EXPECT_EQ(exchange_.types_known(), 3u);
  EXPECT_EQ(exchange_.counters().bad_hash, 0u);

  const TypeArrivals arrivals = exchange_.arrivals_since(0);
  EXPECT_EQ(arrivals.items, std::vector{publication_.endpoint_guid});
  EXPECT_TRUE(exchange_.arrivals_since(arrivals.generation).items.empty());
  // Announced again: nothing more to fetch or report.
  EXPECT_TRUE(exchange_.on_publication(publication_, Elapsed{}).empty());
  EXPECT_TRUE(exchange_.arrivals_since(arrivals.generation).items.empty());
}

TEST_F(TypeExchangeTest, KeepsNoObjectThatDoesNotHashToItsIdentifier) {
  const rpc::Request request = announce();
  rpc::Reply reply = captured_reply(request.request_id.sequence_number);
  auto& object = std::get<rpc::GetTypesOut>(reply.result).types[1].type_object;
  object.back() ^= std::byte{1};
  exchange_.on_reply(peer(), reply, Elapsed{});
  EXPECT_EQ(exchange_.counters().bad_hash, 1u);
  EXPECT_EQ(exchange_.types_known(), 2u);
  EXPECT_FALSE(exchange_.writer_type(publication_.endpoint_guid));
  EXPECT_EQ(exchange_.type_state(publication_.endpoint_guid), TypeState::Failed);
}

TEST_F(TypeExchangeTest, MatchesRepliesByNumberAndReplier) {
  const rpc::Request request = announce();
  const std::int64_t sn = request.request_id.sequence_number;
  exchange_.on_reply(own, captured_reply(sn), Elapsed{});         // not the participant asked
  exchange_.on_reply(peer(), captured_reply(sn + 1), Elapsed{});  // not a number asked
  EXPECT_EQ(exchange_.counters().unmatched_replies, 2u);
  EXPECT_EQ(exchange_.types_known(), 0u);
}

TEST_F(TypeExchangeTest, RetriesOnTimeOutThenGivesUp) {
  const rpc::Request first = announce();
  EXPECT_TRUE(exchange_.expire(Elapsed{500ms}).empty());
  auto retry = exchange_.expire(Elapsed{1s});
  ASSERT_EQ(retry.size(), 1u);
  auto again = rpc::decode_request(retry[0].payload);
  ASSERT_TRUE(again);
  EXPECT_NE(again->request_id.sequence_number, first.request_id.sequence_number);
  EXPECT_EQ(again->call, first.call);
  EXPECT_TRUE(exchange_.expire(Elapsed{2s}).empty());
  EXPECT_EQ(exchange_.counters().timed_out, 2u);
  EXPECT_EQ(exchange_.counters().failed, 3u);
  EXPECT_EQ(exchange_.pending(), 0u);
  EXPECT_EQ(exchange_.type_state(publication_.endpoint_guid), TypeState::Failed);
  // The late reply to the first attempt no longer counts.
  exchange_.on_reply(peer(), captured_reply(first.request_id.sequence_number), Elapsed{});
  EXPECT_EQ(exchange_.types_known(), 0u);
}

TEST_F(TypeExchangeTest, AsksForWhatReceivedObjectsReferTo) {
  // Only the top-level identifier announced: Point and Color are found inside Sample.
  rpc::Reply all = captured_reply(0);
  const auto& objects = std::get<rpc::GetTypesOut>(all.result).types;
  const rtps::Guid writer = publication_.endpoint_guid;
  auto first = exchange_.want_writer_type(writer, "tldemo::Sample", objects[0].type_id, {}, {});
  ASSERT_EQ(first.size(), 1u);
  rpc::Reply sample_only = all;
  std::get<rpc::GetTypesOut>(sample_only.result).types.resize(1);
  sample_only.related_request.sequence_number = first[0].sequence_number;
  auto second = exchange_.on_reply(peer(), sample_only, Elapsed{});
  ASSERT_EQ(second.size(), 1u);
  auto request = rpc::decode_request(second[0].payload);
  ASSERT_TRUE(request);
  EXPECT_EQ(std::get<rpc::GetTypesIn>(request->call).type_ids.size(), 2u);
  EXPECT_EQ(exchange_.type_state(writer), TypeState::Pending);
  all.related_request.sequence_number = second[0].sequence_number;
  EXPECT_TRUE(exchange_.on_reply(peer(), all, Elapsed{}).empty());
  const auto type = exchange_.writer_type(writer);
  ASSERT_TRUE(type);
  EXPECT_EQ(type->objects.size(), 3u);
}

TEST_F(TypeExchangeTest, AbandonedRequestsFailAtOnce) {
  const rpc::Request request = announce();
  exchange_.abandon(request.request_id.sequence_number);
  EXPECT_EQ(exchange_.pending(), 0u);
  EXPECT_EQ(exchange_.counters().failed, 3u);
  EXPECT_EQ(exchange_.type_state(publication_.endpoint_guid), TypeState::Failed);
  EXPECT_TRUE(exchange_.expire(Elapsed{5s}).empty());
}

TEST_F(TypeExchangeTest, ServesWhatItHoldsAsCycloneDoes) {
  const Captured cyclone_reply = load("cyclone-tl-reply-complete.bin");
  auto objects = rpc::decode_reply(cyclone_reply.payloads.at(0));
  ASSERT_TRUE(objects);
  std::vector<TypeEntry> closure;
  for (const auto& pair : std::get<rpc::GetTypesOut>(objects->result).types)
    closure.push_back({.type_id = pair.type_id, .type_object = pair.type_object});
  // Served under Cyclone's own prefix, the answer to Cyclone's request is Cyclone's reply.
  TypeExchange server(cyclone_reply.sender);
  ASSERT_TRUE(server.add_types(closure));
  auto request = rpc::decode_request(load("cyclone-tl-request-complete.bin").payloads.at(0));
  ASSERT_TRUE(request);
  auto reply = rpc::encode_payload(server.answer(*request));
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, cyclone_reply.payloads[0]);

  // An unknown identifier gets an empty list; dependencies are those recorded with the type.
  request->call = rpc::GetTypesIn{{types::TypeIdentifier::EquivalenceHashComplete{}}};
  EXPECT_TRUE(std::get<rpc::GetTypesOut>(server.answer(*request).result).types.empty());
  request->call = rpc::GetTypeDependenciesIn{{closure[0].type_id}, {}};
  const auto dependencies = server.answer(*request);
  const auto& listed = std::get<rpc::GetTypeDependenciesOut>(dependencies.result).dependent_typeids;
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].type_id, closure[1].type_id);
  EXPECT_EQ(listed[0].typeobject_serialized_size, 84u);

  closure[2].type_object[4] ^= std::byte{1};
  EXPECT_FALSE(TypeExchange(own).add_types(closure));
}

// Fast DDS sends its type object whole and answers no request: the object is the writer's type at
// once, held under the identifier of its standard form; one that does not decode is counted.
TEST(TypeExchangeFastDds, TakesTheTypeObjectOfTheDiscoveryRecord) {
  const Captured sedp = load("fastdds-sedp-pub.bin");
  ASSERT_FALSE(sedp.payloads.empty());
  auto publication = rtps::decode_bytes<rtps::PublicationBuiltinTopicData>(
      std::span<const std::byte>(sedp.payloads[0]), true, rtps::VendorId{0x01, 0x0F});
  ASSERT_TRUE(publication);
  ASSERT_TRUE(publication->type_object);
  // Its tldemo::Sample holds a Point, whose object Fast DDS does not send: that one is asked for.
  TypeExchange exchange{own};
  const auto asked = exchange.on_publication(*publication, Elapsed{});
  ASSERT_EQ(asked.size(), 1u);
  const auto request = rpc::decode_request(asked[0].payload);
  ASSERT_TRUE(request);
  const auto* get_types = std::get_if<rpc::GetTypesIn>(&request->call);
  ASSERT_TRUE(get_types);
  ASSERT_EQ(get_types->type_ids.size(), 1u);
  const auto* point =
      std::get_if<types::TypeIdentifier::EquivalenceHashComplete>(&get_types->type_ids[0].value);
  ASSERT_TRUE(point);
  EXPECT_EQ(types::detail::hash_hex(point->hash), "f6dceb68b001ab2f8c61ab921b75");
  EXPECT_EQ(exchange.types_known(), 1u);
  EXPECT_EQ(exchange.type_state(publication->endpoint_guid), TypeState::Pending);

  publication->type_object->resize(8);
  publication->endpoint_guid.entity_id.entity_key[2] = 9;
  TypeExchange other{own};
  (void)other.on_publication(*publication, Elapsed{});
  EXPECT_EQ(other.counters().undecodable, 1u);
}

TEST(TypeExchangeArrivals, ReportsWhatTheLogNoLongerHolds) {
  TypeExchange exchange(own, {.max_arrivals = 1});
  // Color, an enum: it refers to no other type.
  const rpc::Reply reply = captured_reply(0);
  const auto& pair = std::get<rpc::GetTypesOut>(reply.result).types.at(2);
  for (std::uint8_t k = 0; k < 2; ++k) {
    const rtps::Guid writer{{k}, rtps::entity_ids::unknown};
    exchange.want_writer_type(writer, "t", pair.type_id, {}, Elapsed{});
  }
  ASSERT_TRUE(exchange.add_types(std::vector<TypeEntry>{{pair.type_id, pair.type_object}}));
  const TypeArrivals all = exchange.arrivals_since(0);
  EXPECT_TRUE(all.missed);
  EXPECT_EQ(all.generation, 2u);
  EXPECT_EQ(all.items.size(), 1u);
  EXPECT_FALSE(exchange.arrivals_since(1).missed);
}

}  // namespace
}  // namespace nimbrel::discovery
