#include "dcps/runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <string>
#include <thread>

#include "dcps/runtime_test_util.hpp"
#include "transport/udp_transport.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr rtps::GuidPrefix prefix_a{0xA, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr rtps::GuidPrefix prefix_b{0xB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr auto generous = 20s;

std::shared_ptr<DcpsRuntime> must_start(std::uint32_t domain, const rtps::GuidPrefix& prefix) {
  auto started = DcpsRuntime::start(domain, prefix, RuntimeConfig{});
  if (!started) ADD_FAILURE() << to_string(started.error());
  return started ? *started : nullptr;
}

template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = Clock::now() + generous;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// The names the system shows for this process's threads.
std::multiset<std::string> runtime_thread_names() {
  std::multiset<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name.starts_with("nbrl-")) names.insert(name);
  }
  return names;
}

bool knows(const DcpsRuntime& runtime, const rtps::GuidPrefix& prefix) {
  for (const auto& participant : runtime.discovered_participants()) {
    if (participant.data.participant_guid.prefix == prefix) return true;
  }
  return false;
}

TEST(RuntimeStartTest, DomainsPastThePortMappingAreRefused) {
  for (const std::uint32_t domain : {233u, 1000u, std::numeric_limits<std::uint32_t>::max()}) {
    const auto started = DcpsRuntime::start(domain, prefix_a, RuntimeConfig{});
    ASSERT_FALSE(started.has_value()) << domain;
    EXPECT_STREQ(to_string(started.error()), "domain_id too large for SPDP port mapping");
  }
}

class RuntimePortMappingTest
    : public ::testing::TestWithParam<std::pair<std::uint32_t, std::uint16_t>> {};

// A remote announcement sent to the mapped port is heard.
TEST_P(RuntimePortMappingTest, ListensOnTheMappedSpdpPort) {
  const auto [domain, port] = GetParam();
  const auto runtime = must_start(domain, prefix_a);
  ASSERT_TRUE(runtime);
  EXPECT_EQ(runtime->local_participant().metatraffic_multicast_locator,
            rtps::Locator::udp_v4({239, 255, 0, 1}, port));
  const auto sender = transport::UdpTransport::bind_v4({127, 0, 0, 1}, 0).value();
  const auto announcement = testing::remote_announcement();
  EXPECT_TRUE(eventually([&] {
    static_cast<void>(sender.send(rtps::Locator::udp_v4({239, 255, 0, 1}, port), announcement));
    return knows(*runtime, testing::remote_prefix);
  }));
}

INSTANTIATE_TEST_SUITE_P(Domains, RuntimePortMappingTest,
                         ::testing::Values(std::pair{0u, std::uint16_t{7400}},
                                           std::pair{1u, std::uint16_t{7650}},
                                           std::pair{232u, std::uint16_t{65400}}));

// Both bind the shared discovery port, and each hears the other but never itself. Without a route
// the unicast locators carry loopback and ports of their own.
TEST(RuntimeTest, TwoRuntimesOnOneDomainBothStartAndFindEachOther) {
  const auto a = must_start(0, prefix_a);
  const auto b = must_start(0, prefix_b);
  ASSERT_TRUE(a && b);
  const auto& local = a->local_participant();
  ASSERT_TRUE(local.metatraffic_unicast_locator && local.default_unicast_locator);
  EXPECT_EQ(local.metatraffic_unicast_locator->ipv4(), (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(local.default_unicast_locator->ipv4(), (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_NE(local.metatraffic_unicast_locator->port, 0u);
  EXPECT_NE(local.metatraffic_unicast_locator->port, local.default_unicast_locator->port);
  EXPECT_NE(local.metatraffic_unicast_locator, b->local_participant().metatraffic_unicast_locator);
  EXPECT_TRUE(eventually([&] { return knows(*a, prefix_b) && knows(*b, prefix_a); }));
  EXPECT_FALSE(knows(*a, prefix_a));
  EXPECT_FALSE(knows(*b, prefix_b));
}

TEST(RuntimeTest, ShutdownJoinsTheFourNamedThreadsWithinAboutASecond) {
  const auto runtime = must_start(0, prefix_a);
  ASSERT_TRUE(runtime);
  // The system keeps 15 bytes of a thread name.
  const std::multiset<std::string> expected{"nbrl-recv-spdp-", "nbrl-recv-meta", "nbrl-recv-user",
                                            "nbrl-tick"};
  EXPECT_TRUE(eventually([&] { return runtime_thread_names() == expected; }));

  const auto stop = Clock::now();
  runtime->shutdown();
  const auto took = std::chrono::duration<double>(Clock::now() - stop).count();
  std::printf("shutdown joined all four threads in %.3f s\n", took);
  EXPECT_LT(took, 5.0);
  // A joined thread's task may linger in /proc for a moment after the join.
  EXPECT_TRUE(eventually([] { return runtime_thread_names().empty(); }));
  runtime->shutdown();  // nothing left to join
}

TEST(RuntimeTest, ReleasingTheLastHandleStopsTheThreads) {
  auto runtime = must_start(0, prefix_a);
  ASSERT_TRUE(runtime);
  EXPECT_TRUE(eventually([&] { return runtime_thread_names().size() == 4; }));
  auto second_handle = runtime;
  runtime.reset();
  EXPECT_EQ(runtime_thread_names().size(), 4u);
  second_handle.reset();
  EXPECT_TRUE(eventually([] { return runtime_thread_names().empty(); }));
}

}  // namespace
}  // namespace nimbrel::dcps
