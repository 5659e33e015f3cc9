#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "discovery/type_family.hpp"
#include "discovery/type_lookup/client.hpp"
#include "discovery/type_lookup/server.hpp"
#include "rtps/datagram.hpp"

namespace nimbrel::discovery {
namespace {

using namespace types;
using namespace types::testing;
using namespace std::chrono_literals;

constexpr rtps::GuidPrefix server_prefix{0x5E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr rtps::GuidPrefix client_prefix{0xC1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr rtps::GuidPrefix stranger_prefix{0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3};

// About 12 bytes a member: `members` Int32 members.
TypeObject big_struct(std::size_t members) {
  MinimalStructType s;
  for (std::size_t k = 0; k < members; ++k)
    s.members.push_back(
        {.member_id = static_cast<std::uint32_t>(k), .member_type = prim(PrimitiveKind::Int32)});
  return {MinimalTypeObject{std::move(s)}};
}

SharedBytes payload_of(const Bytes& encapsulation, const Bytes& body) {
  return SharedBytes::copy_of(concat({encapsulation, body}));
}

rtps::DataSubmessage request_data(SharedBytes payload, rtps::SequenceNumber sn = 7) {
  return {.reader_id = rtps::entity_ids::type_lookup_request_reader,
          .writer_id = rtps::entity_ids::type_lookup_request_writer,
          .writer_sn = sn,
          .serialized_payload = std::move(payload)};
}

template <typename Request>
rtps::DataSubmessage request_data(const Request& request, rtps::SequenceNumber sn = 7) {
  return request_data(payload_of(bytes({0, 1, 0, 0}), encode(request)), sn);
}

// The last DATA of a datagram.
rtps::DataSubmessage only_data(const std::vector<std::byte>& datagram) {
  auto parsed = rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(datagram), true);
  EXPECT_TRUE(parsed);
  return std::get<rtps::DataSubmessage>(parsed->submessages.back());
}

class TypeLookupServerTest : public ::testing::Test {
 protected:
  explicit TypeLookupServerTest(std::size_t page = TypeLookupServer::default_page_size)
      : server_(server_prefix, page) {
    for (auto& [hash, object] : type_family())
      EXPECT_TRUE(server_.add_type(hash, std::move(object)));
  }

  TypeLookupServer server_;
};

// Each distinct known identifier once, in request order; unknown hashes, other kinds and a
// complete reference to a type known only in minimal form contribute nothing. (The bytes of
// replies are checked where a running runtime sends them.)
TEST_F(TypeLookupServerTest, GetTypesServesEachKnownIdentifierOnce) {
  const auto family = type_family();
  const GetTypesRequest request{{minimal_ref(level), minimal_ref(color), minimal_ref(unknown),
                                 minimal_ref(level), prim(PrimitiveKind::Int32),
                                 TypeIdentifier::EquivalenceHashComplete{hash_of(level)}}};
  EXPECT_EQ(server_.handle_get_types(request).types,
            (std::vector{family[2].second, family[4].second}));
  const GetTypesRequest thousand{std::vector<TypeIdentifier>(1000, minimal_ref(outer))};
  EXPECT_EQ(server_.handle_get_types(thousand).types.size(), 1u);
}

TEST_F(TypeLookupServerTest, SharedDependenciesAreListedOnce) {
  const auto deps = server_.handle_get_type_dependencies(
      {{minimal_ref(outer), minimal_ref(inner), minimal_ref(outer)}, {}});
  EXPECT_EQ(deps.dependent_typeids.size(), 5u);
}

// What does not fit one datagram is left out and counted; what follows and fits is still served.
TEST_F(TypeLookupServerTest, OversizedReplyKeepsWhatFits) {
  ASSERT_TRUE(server_.add_type(hash_of(0x80), big_struct(2800)));
  ASSERT_TRUE(server_.add_type(hash_of(0x90), big_struct(2800)));
  const auto reply = server_.handle_request(
      request_data(GetTypesRequest{{minimal_ref(0x80), minimal_ref(0x90), minimal_ref(color)}}));
  ASSERT_TRUE(reply);
  EXPECT_LE(reply->size(), transport::max_udp_payload);
  const auto data = only_data(*reply);
  cdr::BufferReader r(data.serialized_payload.span().subspan(4), true);
  const auto decoded = GetTypesReply::decode(r).value();
  ASSERT_EQ(decoded.types.size(), 2u);
  EXPECT_EQ(decoded.types[0], big_struct(2800));
  EXPECT_EQ(server_.counters().types_left_out, 1u);
}

class SmallPageServerTest : public TypeLookupServerTest {
 protected:
  SmallPageServerTest() : TypeLookupServerTest(4) {
    EXPECT_TRUE(server_.add_type(hash_of(0x80), wide_struct(10)));
  }
  GetTypeDependenciesReply page(std::vector<std::uint8_t> continuation) {
    return server_.handle_get_type_dependencies({{minimal_ref(0x80)}, {continuation}});
  }
  static std::vector<std::uint8_t> index(std::uint8_t i) { return {i, 0, 0, 0, 0, 0, 0, 0}; }
  static std::vector<EquivalenceHash> hashes(const GetTypeDependenciesReply& reply) {
    std::vector<EquivalenceHash> out;
    for (const auto& entry : reply.dependent_typeids)
      out.push_back(std::get<TypeIdentifier::EquivalenceHashMinimal>(entry.type_id.value).hash);
    return out;
  }
};

TEST_F(SmallPageServerTest, ContinuationPointsWalkThePages) {
  const auto first = page({});
  EXPECT_EQ(hashes(first), (std::vector{numbered(0), numbered(1), numbered(2), numbered(3)}));
  EXPECT_EQ(first.continuation_point.bytes, index(4));
  const auto second = page(first.continuation_point.bytes);
  EXPECT_EQ(hashes(second), (std::vector{numbered(4), numbered(5), numbered(6), numbered(7)}));
  EXPECT_EQ(second.continuation_point.bytes, index(8));
  const auto last = page(second.continuation_point.bytes);
  EXPECT_EQ(hashes(last), (std::vector{numbered(8), numbered(9)}));
  EXPECT_TRUE(last.continuation_point.bytes.empty());

  EXPECT_EQ(page(index(10)), GetTypeDependenciesReply{});
  EXPECT_EQ(page({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), GetTypeDependenciesReply{});
  EXPECT_EQ(page({8, 0, 0, 0, 0, 0, 0}), first) << "a 7-byte point starts afresh";
}

// Roots after the request's dependency work is spent are left out and counted.
TEST(TypeLookupServerLimits, DependencyWorkIsBoundedPerRequest) {
  TypeLookupServer server(server_prefix, /*page_size=*/100'000);
  for (int root = 0; root < 3; ++root)
    ASSERT_TRUE(server.add_type(hash_of(0x80 + root), wide_struct(3000, 3000 * root)));
  GetTypeDependenciesRequest request{{minimal_ref(0x80), minimal_ref(0x81), minimal_ref(0x82)}, {}};
  std::size_t total = 0;
  std::uint64_t pages = 0;
  for (int guard = 0; guard < 10; ++guard) {
    const auto reply = server.handle_get_type_dependencies(request);
    ++pages;
    total += reply.dependent_typeids.size();
    if (reply.continuation_point.bytes.empty()) break;
    request.continuation_point = reply.continuation_point;
  }
  EXPECT_EQ(total, TypeLookupServer::max_dependency_work);
  EXPECT_EQ(pages, 2u);
  EXPECT_EQ(server.counters().ids_left_out, pages) << "the third root, on each page";
}

TEST_F(TypeLookupServerTest, EncapsulationsAndMalformedBodies) {
  const GetTypesRequest request{{minimal_ref(color)}};
  const auto one_type = [&](const rtps::DataSubmessage& data) {
    const auto reply = server_.handle_request(data);
    if (!reply) return std::size_t{99};
    const auto answer = only_data(*reply);
    cdr::BufferReader r(answer.serialized_payload.span().subspan(4), true);
    return GetTypesReply::decode(r).value().types.size();
  };
  EXPECT_EQ(one_type(request_data(payload_of(bytes({0, 0, 0, 0}), encode(request, false)))), 1u)
      << "big-endian";
  EXPECT_EQ(
      one_type(request_data(payload_of(bytes({0, 1, 0, 3}), concat({encode(request), zeros(3)})))),
      1u)
      << "declared padding";
  EXPECT_EQ(server_.counters().requests, 2u);

  for (const auto& payload :
       {payload_of(bytes({0, 2, 0, 0}), encode(request)),  // PL_CDR_BE
        payload_of(bytes({0, 1, 0, 0}), le32(3)),          // three ids promised, none given
        payload_of(bytes({0, 1, 0, 3}), bytes({1, 2})),    // more padding than body
        payload_of(bytes({0, 1}), {})}) {
    EXPECT_FALSE(server_.handle_request(request_data(payload)));
  }
  EXPECT_EQ(server_.counters().malformed_requests, 4u);
}

// A client and a server talking through encoded datagrams.
class TypeLookupClientTest : public TypeLookupServerTest {
 protected:
  TypeLookupClientTest() : client_(client_prefix, {.max_pending = 2, .request_timeout = 5s}) {}

  // Sends one request; its outcome lands in `outcomes_[name]`.
  TypeLookupClient::Sent ask(const std::string& name, const TypeLookupRequest& request,
                             Elapsed now = {}) {
    auto sent = client_.request(
        server_prefix, request,
        [this, name](TypeLookupOutcome outcome) {
          outcomes_.emplace_back(name, std::move(outcome));
        },
        now);
    EXPECT_TRUE(sent);
    return std::move(*sent);
  }
  // The server's reply to a sent request, as DATA.
  rtps::DataSubmessage answer(const TypeLookupClient::Sent& sent) {
    return only_data(server_.handle_request(only_data(sent.datagram)).value());
  }
  void complete(std::optional<Completion> done) {
    ASSERT_TRUE(done);
    std::move(*done).run();
  }

  TypeLookupClient client_;
  std::vector<std::pair<std::string, TypeLookupOutcome>> outcomes_;
};

TEST_F(TypeLookupClientTest, RequestDatagramIsByteExact) {
  const auto sent = ask("a", GetTypesRequest{{minimal_ref(color)}});
  EXPECT_EQ(sent.id, 1u);
  // clang-format off
  EXPECT_EQ(sent.datagram, concat({
      bytes({'R', 'T', 'P', 'S', 2, 5, 0x01, 0xF0}), prefix_bytes(client_prefix),
      bytes({0x0E, 0x01}), le16(12), prefix_bytes(server_prefix),  // INFO_DST: the replier
      bytes({0x15, 0x05}), le16(24 + 4 + 15),                      // DATA, E|D
      le16(0), le16(16),                                           // extra flags, to inline QoS
      bytes({0, 3, 0, 0xC4}), bytes({0, 3, 0, 0xC3}),              // request reader, writer
      le32(0), le32(1),                                            // request id 1
      bytes({0, 1, 0, 0}),                                         // CDR_LE
      le32(1), ek_minimal_ref(color)}));                           // GetTypes body
  // clang-format on
}

TEST_F(TypeLookupClientTest, OnlyTheAskedParticipantsReplyCompletesOnce) {
  const auto types = ask("types", GetTypesRequest{{minimal_ref(color)}});
  const auto deps = ask("deps", GetTypeDependenciesRequest{{minimal_ref(inner)}, {}});
  const auto reply = answer(types);

  EXPECT_FALSE(client_.handle_reply(stranger_prefix, reply)) << "another participant's reply";
  auto wrong_writer = reply;
  wrong_writer.writer_id = rtps::entity_ids::sedp_publications_writer;
  EXPECT_FALSE(client_.handle_reply(server_prefix, wrong_writer));
  auto garbled = reply;
  garbled.serialized_payload = payload_of(bytes({0, 1, 0, 0}), le32(1));
  EXPECT_FALSE(client_.handle_reply(server_prefix, garbled)) << "a body that does not decode";
  EXPECT_EQ(client_.pending(), 2u);

  complete(client_.handle_reply(server_prefix, reply));
  EXPECT_FALSE(client_.handle_reply(server_prefix, reply)) << "the same reply again";
  complete(client_.handle_reply(server_prefix, answer(deps)));

  ASSERT_EQ(outcomes_.size(), 2u);
  EXPECT_EQ(outcomes_[0].first, "types");
  EXPECT_EQ(std::get<GetTypesReply>(outcomes_[0].second.value()).types.size(), 1u);
  EXPECT_EQ(outcomes_[1].first, "deps");
  EXPECT_EQ(
      std::get<GetTypeDependenciesReply>(outcomes_[1].second.value()).dependent_typeids.size(),
      3u);  // Level, Shade, Color
  EXPECT_EQ(client_.counters().unmatched_replies, 3u);
  EXPECT_EQ(client_.counters().malformed_replies, 1u);
  EXPECT_EQ(client_.pending(), 0u);
}

TEST_F(TypeLookupClientTest, UnansweredRequestsTimeOutAndTheOldestMakesRoom) {
  ask("first", GetTypesRequest{}, Elapsed::from_secs(1));
  ask("second", GetTypesRequest{}, Elapsed::from_secs(2));
  EXPECT_EQ(client_.next_deadline(), Elapsed::from_secs(6));

  auto third = ask("third", GetTypesRequest{}, Elapsed::from_secs(3));
  complete(std::move(third.evicted));
  EXPECT_EQ(client_.pending(), 2u);

  EXPECT_TRUE(client_.expire(Elapsed::from_secs(7) + Duration{-1}).empty());
  for (auto& done : client_.expire(Elapsed::from_secs(8)))
    std::move(done).run();
  EXPECT_EQ(client_.next_deadline(), std::nullopt);

  ASSERT_EQ(outcomes_.size(), 3u);
  EXPECT_EQ(outcomes_[0], (std::pair<std::string, TypeLookupOutcome>{
                              "first", std::unexpected(TypeLookupFailure::Evicted)}));
  EXPECT_EQ(outcomes_[1].first, "second");
  EXPECT_EQ(outcomes_[2].first, "third");
  EXPECT_EQ(outcomes_[2].second, std::unexpected(TypeLookupFailure::TimedOut));
  EXPECT_EQ(client_.counters().timed_out, 2u);
}

}  // namespace
}  // namespace nimbrel::discovery
