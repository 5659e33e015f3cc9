// Two runtimes with the secure builtin endpoints, in one network namespace: each announces the
// stateless and volatile secure endpoints it runs, and no others, and matches the other's.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "dcps/runtime/runtime.hpp"
#include "dcps/runtime_internals.hpp"
#include "discovery/security/stack.hpp"
#include "transport/udp_transport.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace ids = rtps::entity_ids;

constexpr rtps::GuidPrefix prefix_a{0x4e, 0x42, 0x52, 0x4c, 0, 0, 0, 0, 0, 0, 0, 0xA};
constexpr rtps::GuidPrefix prefix_b{0x4e, 0x42, 0x52, 0x4c, 0, 0, 0, 0, 0, 0, 0, 0xB};
constexpr auto generous = 30s;

std::shared_ptr<DcpsRuntime> start(const rtps::GuidPrefix& prefix) {
  RuntimeConfig config;
  config.secure_builtin_endpoints = true;
  auto runtime = DcpsRuntime::start(0, prefix, std::move(config));
  if (!runtime) ADD_FAILURE() << to_string(runtime.error());
  return runtime ? *runtime : nullptr;
}

// Whether the runtime's stack has matched all four secure endpoints of `remote`.
bool matched(const DcpsRuntime& runtime, const rtps::GuidPrefix& remote) {
  auto stack = RuntimeInternals::state(runtime).participant.secure;
  if (!stack) return false;
  auto locked = stack->lock();
  if (!locked) return false;
  const discovery::SecurityBuiltinStack& s = **locked;
  const auto& stateless_readers = s.stateless_writer().reader_proxies();
  const auto& stateless_writers = s.stateless_reader().writer_proxies();
  const auto& volatile_readers = s.volatile_writer().reader_proxies();
  return stateless_readers.size() == 1 &&
         stateless_readers[0].remote_reader_guid ==
             rtps::Guid{remote, ids::participant_stateless_reader} &&
         stateless_writers.size() == 1 &&
         stateless_writers[0].remote_writer_guid ==
             rtps::Guid{remote, ids::participant_stateless_writer} &&
         volatile_readers.size() == 1 &&
         volatile_readers[0].remote_reader_guid ==
             rtps::Guid{remote, ids::volatile_secure_reader} &&
         s.volatile_reader().reader().writer_proxy_state({remote, ids::volatile_secure_writer}) !=
             nullptr;
}

TEST(SecureBuiltinEndpoints, TwoRuntimesMatchEachOther) {
  auto bound = transport::UdpTransport::bind_multicast_v4(discovery::default_spdp_multicast_group,
                                                          7400, {0, 0, 0, 0});
  ASSERT_TRUE(bound);
  auto watch = std::move(*bound).with_timeout(1s);
  ASSERT_TRUE(watch);

  const auto a = start(prefix_a);
  const auto b = start(prefix_b);
  ASSERT_TRUE(a && b);

  // On the wire: what each announces, read from the SPDP multicast group.
  std::map<rtps::GuidPrefix, std::uint32_t> announced;
  const auto deadline = Clock::now() + generous;
  while (announced.size() < 2 && Clock::now() < deadline) {
    auto received = watch->recv();
    if (!received) continue;
    const auto events = discovery::SpdpReader::read(rtps::Receiver({}).receive(received->data));
    for (const auto& participant : events.announced) {
      announced[participant.sender_prefix] = participant.data.builtin_endpoint_set;
    }
  }
  const std::uint32_t expected =
      discovery::builtin_endpoints_plain | discovery::secure_endpoint_bit::all;
  EXPECT_EQ(announced, (std::map<rtps::GuidPrefix, std::uint32_t>{{prefix_a, expected},
                                                                  {prefix_b, expected}}));

  // In their state: each stack holds the other's four endpoints.
  while (!(matched(*a, prefix_b) && matched(*b, prefix_a)) && Clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(matched(*a, prefix_b));
  EXPECT_TRUE(matched(*b, prefix_a));
}

}  // namespace
}  // namespace nimbrel::dcps
