// Running runtimes answer type lookups from a plain UDP peer, byte for byte, on the metatraffic and
// the user socket; stay responsive through unknown hashes, malformed requests and floods; and one
// runtime's request to another completes its callback once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "dcps/runtime/runtime.hpp"
#include "discovery/type_family.hpp"
#include "rtps/submessage_test_util.hpp"
#include "transport/udp_transport.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;
using namespace types::testing;
using Clock = std::chrono::steady_clock;

constexpr rtps::GuidPrefix server_prefix{0x5E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x14};
constexpr rtps::GuidPrefix asker_prefix{0xA5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x14};
constexpr rtps::GuidPrefix peer_prefix{0x9E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x14};
constexpr auto generous = 20s;
constexpr std::size_t wide_members = 150;

std::shared_ptr<DcpsRuntime> serving_runtime(const rtps::GuidPrefix& prefix) {
  auto runtime = DcpsRuntime::start(0, prefix, RuntimeConfig{}).value();
  for (auto& [hash, object] : type_family())
    EXPECT_TRUE(runtime->add_type(hash, std::move(object)));
  EXPECT_TRUE(runtime->add_type(hash_of(0x80), wide_struct(wide_members)));
  return runtime;
}

// A request DATA from the peer, with the body behind CDR_LE.
SharedBytes request(std::uint32_t sn, const Bytes& body) {
  return rtps::testing::datagram_from(
      peer_prefix,
      {rtps::testing::data_submessage(rtps::entity_ids::type_lookup_request_writer,
                                      concat({bytes({0, 1, 0, 0}), body}),
                                      rtps::entity_ids::type_lookup_request_reader, sn)});
}

std::size_t resident_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stoul(line.substr(6));
  }
  return 0;
}

// A plain UDP socket speaking to one runtime.
class TypeLookupPeerTest : public ::testing::Test {
 protected:
  // Sends until the reply numbered `sn` comes back; a lost datagram is only a repetition.
  std::optional<Bytes> exchange(const rtps::Locator& to, std::uint32_t sn, const Bytes& body) {
    const auto deadline = Clock::now() + generous;
    while (Clock::now() < deadline) {
      static_cast<void>(peer_.send(to, request(sn, body)));
      if (auto reply = reply_numbered(sn, Clock::now() + 2s)) return reply;
    }
    return std::nullopt;
  }
  std::optional<Bytes> reply_numbered(std::uint32_t sn, Clock::time_point until) {
    const Bytes number = concat({le32(0), le32(sn)});
    while (Clock::now() < until) {
      auto received = peer_.recv();
      if (!received) continue;
      const auto bytes = received->data.span();
      // The sequence number sits at offset 36: header, DATA header, ids.
      if (bytes.size() >= 44 && std::equal(number.begin(), number.end(), bytes.begin() + 36)) {
        return Bytes(bytes.begin(), bytes.end());
      }
    }
    return std::nullopt;
  }
  const rtps::Locator& metatraffic() {
    return *runtime_->local_participant().metatraffic_unicast_locator;
  }
  const rtps::Locator& user() { return *runtime_->local_participant().default_unicast_locator; }

  std::shared_ptr<DcpsRuntime> runtime_ = serving_runtime(server_prefix);
  transport::UdpTransport peer_ =
      transport::UdpTransport::bind_v4({127, 0, 0, 1}, 0).value().with_timeout(200ms).value();
};

const Bytes get_level_and_color =
    concat({le32(5),  // identifier count
            ek_minimal_ref(level), ek_minimal_ref(color), ek_minimal_ref(unknown),
            ek_minimal_ref(level), bytes({0x04})});  // Int32

TEST_F(TypeLookupPeerTest, GetTypesIsAnsweredOnBothSockets) {
  for (const auto* to : {&metatraffic(), &user()}) {
    EXPECT_EQ(exchange(*to, 7, get_level_and_color),
              reply_golden(server_prefix, 7, level_and_color_reply_body()))
        << rtps::to_string(*to);
  }
}

// Outer's five dependencies come first in hash order, then Wide's 150; pages of 100.
TEST_F(TypeLookupPeerTest, DependenciesArePagedByContinuationPoints) {
  const auto ids = concat({le32(2), ek_minimal_ref(outer), ek_minimal_ref(0x80)});  // ends at 34
  Bytes first_page = concat({le32(100), outer_dependency_entries()});
  for (std::size_t k = 0; k < 95; ++k)
    first_page = concat({first_page, dependency_entry(hash_bytes_of(numbered(k)), 0)});
  first_page = concat({first_page, le32(8), le32(100), le32(0)});  // continuation: 100
  EXPECT_EQ(exchange(metatraffic(), 1, concat({ids, zeros(2), le32(0)})),
            reply_golden(server_prefix, 1, first_page));

  Bytes second_page = le32(55);
  for (std::size_t k = 95; k < wide_members; ++k)
    second_page = concat({second_page, dependency_entry(hash_bytes_of(numbered(k)), 0)});
  second_page = concat({second_page, le32(0)});  // the last page
  EXPECT_EQ(exchange(user(), 2, concat({ids, zeros(2), le32(8), le32(100), le32(0)})),
            reply_golden(server_prefix, 2, second_page));
}

TEST_F(TypeLookupPeerTest, UnknownMalformedAndFloodedRequestsLeaveItResponsive) {
  EXPECT_EQ(exchange(user(), 1, concat({le32(1), ek_minimal_ref(unknown)})),
            reply_golden(server_prefix, 1, le32(0)));

  const Bytes junk[] = {
      le32(0xFFFFFFFF),                                      // four billion ids promised
      concat({le32(1), bytes({0xF1, 1, 2})}),                // a hash cut short
      concat({le32(1), bytes({0x91})}),                      // an identifier that cannot be
      concat({le32(0), le32(33), Bytes(33, std::byte{1})}),  // a 33-byte continuation point
  };
  for (const auto& body : junk) {
    static_cast<void>(peer_.send(metatraffic(), request(100, body)));
    static_cast<void>(peer_.send(user(), request(100, body)));
  }
  static_cast<void>(peer_.send(user(), SharedBytes::copy_of(bytes({'R', 'T', 'P', 'S', 2}))));

  // Every request asks for a thousand copies of the family and all their dependencies.
  Bytes greedy = le32(1000);
  for (int i = 0; i < 1000; ++i)
    greedy = concat({greedy, ek_minimal_ref(outer + 0x10 * (i % 6))});
  const auto dependencies = concat({greedy, le32(0)});
  const auto before = resident_kib();
  const auto stop = Clock::now() + 3s;
  for (std::uint32_t n = 0; n < 2000 && Clock::now() < stop; ++n) {
    static_cast<void>(peer_.send(n % 2 == 0 ? metatraffic() : user(), request(200 + n, greedy)));
    static_cast<void>(peer_.send(user(), request(200 + n, dependencies)));
  }
  EXPECT_EQ(exchange(metatraffic(), 9, get_level_and_color),
            reply_golden(server_prefix, 9, level_and_color_reply_body()));
#if !defined(__SANITIZE_ADDRESS__)  // its quarantine keeps freed memory resident
  EXPECT_LT(resident_kib(), before + 32 * 1024) << "no state kept per request";
#else
  static_cast<void>(before);
#endif
}

TEST(TypeLookupRuntimeTest, RequestAnsweredBySecondRuntimeCompletesOnce) {
  const auto server = serving_runtime(server_prefix);
  const auto asker = DcpsRuntime::start(0, asker_prefix, RuntimeConfig{}).value();
  const auto deadline = Clock::now() + generous;
  const auto knows_server = [&] {
    for (const auto& p : asker->discovered_participants())
      if (p.sender_prefix == server_prefix) return true;
    return false;
  };
  while (!knows_server() && Clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(knows_server());

  std::mutex mutex;
  std::vector<discovery::TypeLookupOutcome> outcomes;
  std::atomic<int> calls{0};
  const auto record = [&](discovery::TypeLookupOutcome outcome) {
    std::lock_guard lock(mutex);
    outcomes.push_back(std::move(outcome));
    ++calls;
  };
  ASSERT_TRUE(asker->request_type_lookup(
      server_prefix, types::GetTypeDependenciesRequest{{minimal_ref(inner)}, {}}, record));
  ASSERT_TRUE(asker->request_type_lookup(server_prefix,
                                         types::GetTypesRequest{{minimal_ref(color)}}, record));
  while (calls < 2 && Clock::now() < deadline)
    std::this_thread::sleep_for(10ms);

  std::lock_guard lock(mutex);
  ASSERT_EQ(outcomes.size(), 2u);
  // In either order, but each request's callback once: a repeated one would take the other's place.
  int dependency_replies = 0;
  for (const auto& outcome : outcomes) {
    ASSERT_TRUE(outcome.has_value());
    if (const auto* deps = std::get_if<types::GetTypeDependenciesReply>(&*outcome)) {
      ++dependency_replies;
      EXPECT_EQ(deps->dependent_typeids.size(), 3u);  // Level, Shade, Color
    } else {
      EXPECT_EQ(std::get<types::GetTypesReply>(*outcome).types,
                std::vector{type_family()[4].second});
    }
  }
  EXPECT_EQ(dependency_replies, 1);
}

}  // namespace
}  // namespace nimbrel::dcps
