#include "transport/udp_transport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

#include "foundation/fatal.hpp"
#include "monitor/metric_groups.hpp"

namespace nimbrel::rtps {
void PrintTo(const Locator& locator, std::ostream* out) {
  *out << to_string(locator);
}
}  // namespace nimbrel::rtps

namespace nimbrel::transport {
void PrintTo(const TransportError& error, std::ostream* out) {
  *out << to_string(error);
}

namespace {

using namespace std::chrono_literals;
using rtps::Locator;
using Bytes = std::vector<std::byte>;

constexpr Ipv4Address loopback{127, 0, 0, 1};
constexpr Ipv4Address any_address{0, 0, 0, 0};
constexpr Ipv4Address group{239, 255, 0, 1};

// Binding on loopback inside the test namespace does not fail; if it does, nothing after it means
// anything, so the run ends with the reason.
UdpTransport must(std::expected<UdpTransport, std::error_code> result, const char* what) {
  if (!result) fatal(std::string(what) + ": " + result.error().message());
  return std::move(*result);
}

// On loopback; with a time-out a lost datagram fails the test instead of hanging it.
UdpTransport on_loopback(std::optional<Duration> timeout = 5s) {
  auto transport = must(UdpTransport::bind_v4(loopback, 0), "bind");
  return timeout ? must(std::move(transport).with_timeout(*timeout), "time-out")
                 : std::move(transport);
}

Bytes pattern(std::size_t length, unsigned seed = 0) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i)
    out[i] = static_cast<std::byte>((i * 7 + seed) % 251);
  return out;
}

Bytes bytes_of(const SharedBytes& bytes) {
  return {bytes.span().begin(), bytes.span().end()};
}

// The process-wide counters: packets sent and received, bytes sent and received, send errors.
// Tests compare readings taken before and after.
using Counters = std::array<std::uint64_t, 5>;
Counters counters_since(const Counters& before = {}) {
  const auto& m = monitor::transport_metrics();
  return {m.packets_sent->value() - before[0], m.packets_received->value() - before[1],
          m.bytes_sent->value() - before[2], m.bytes_received->value() - before[3],
          m.send_errors->value() - before[4]};
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each datagram owns its bytes: a shorter one carries no leftovers of a longer one, and an earlier
// one survives later receives into the same scratch space.
TEST(UdpUnicast, DatagramsArriveWholeWithTheirSourceAndAreCounted) {
  const UdpTransport receiver = on_loopback();
  const UdpTransport sender = on_loopback();
  EXPECT_EQ(receiver.local_locator().kind, rtps::locator_kind::udp_v4);
  EXPECT_EQ(receiver.local_locator().ipv4(), loopback);
  ASSERT_NE(receiver.local_locator().port, 0u);

  const Bytes payloads[] = {pattern(300), {}, pattern(max_udp_payload, 5), pattern(3, 4)};
  const Counters before = counters_since();
  for (const auto& payload : payloads)
    ASSERT_TRUE(sender.send(receiver.local_locator(), payload));
  std::vector<RawDatagram> received;
  for (std::size_t i = 0; i < std::size(payloads); ++i) {
    auto got = receiver.recv();
    ASSERT_TRUE(got) << to_string(got.error());
    received.push_back(std::move(*got));
  }
  for (std::size_t i = 0; i < std::size(payloads); ++i) {
    EXPECT_EQ(bytes_of(received[i].data), payloads[i]) << i;
    EXPECT_EQ(received[i].source, Locator::udp_v4(loopback, sender.local_locator().port));
  }
  constexpr std::uint64_t total = 300 + max_udp_payload + 3;
  EXPECT_EQ(counters_since(before), (Counters{4, 4, total, total, 0}));

  // A reply to the source locator reaches the sender.
  const auto pong = pattern(16, 2);
  ASSERT_TRUE(receiver.send(received[0].source, pong));
  const auto reply = sender.recv();
  ASSERT_TRUE(reply) << to_string(reply.error());
  EXPECT_EQ(bytes_of(reply->data), pong);
  EXPECT_EQ(reply->source, receiver.local_locator());
}

TEST(UdpUnicast, ConcurrentReceiversOnOneTransportEachGetWholeDatagrams) {
  const UdpTransport receiver = on_loopback(1s);
  const UdpTransport sender = on_loopback(std::nullopt);
  // Few and small enough to sit in the default receive buffer even if nobody reads yet.
  constexpr int datagrams = 100;
  std::mutex seen_mutex;
  std::multiset<int> seen;  // guarded by seen_mutex; both receive threads add to it
  std::atomic<bool> corrupt{false};
  auto receive = [&] {
    while (const auto got = receiver.recv()) {  // until the time-out: the sender is done
      const auto bytes = got->data.span();
      if (bytes.size() != 64 || std::ranges::count(bytes, bytes[0]) != 64) {
        corrupt = true;
        continue;
      }
      const std::lock_guard lock(seen_mutex);
      seen.insert(std::to_integer<int>(bytes[0]));
    }
  };
  std::thread one(receive);
  std::thread two(receive);
  std::multiset<int> expected;
  for (int tag = 0; tag < datagrams; ++tag) {
    EXPECT_TRUE(sender.send(receiver.local_locator(), Bytes(64, static_cast<std::byte>(tag))));
    expected.insert(tag);
  }
  one.join();
  two.join();
  EXPECT_FALSE(corrupt);
  EXPECT_EQ(seen, expected);
}

// What has arrived comes in one call, each datagram whole and in its own buffer; the call waits
// only for the first.
TEST(UdpUnicast, BatchReceiveTakesWhatHasArrived) {
  const UdpTransport receiver = on_loopback();
  const UdpTransport sender = on_loopback();
  const std::size_t sent = max_receive_batch + 3;
  for (std::size_t i = 0; i < sent; ++i)
    ASSERT_TRUE(sender.send(receiver.local_locator(), pattern(100 + i, static_cast<unsigned>(i))));
  std::vector<RawDatagram> batch;
  while (batch.size() < sent) {
    const auto got = receiver.recv_batch(batch);
    ASSERT_TRUE(got) << to_string(got.error());
    EXPECT_LE(*got, max_receive_batch);
  }
  ASSERT_EQ(batch.size(), sent);
  for (std::size_t i = 0; i < sent; ++i) {
    EXPECT_EQ(bytes_of(batch[i].data), pattern(100 + i, static_cast<unsigned>(i)));
    EXPECT_EQ(batch[i].source, Locator::udp_v4(loopback, sender.local_locator().port));
  }
}

TEST(UdpBind, UnicastBindUsesNoAddressReuseAndMulticastNeedsAGroup) {
  const UdpTransport first = must(UdpTransport::bind_v4(any_address, 0), "bind");
  const auto port = static_cast<std::uint16_t>(first.local_locator().port);
  ASSERT_NE(port, 0u);
  EXPECT_EQ(first.local_locator(), Locator::udp_v4(any_address, port));
  EXPECT_EQ(UdpTransport::bind_v4(any_address, port).error(), std::errc::address_in_use);
  EXPECT_EQ(UdpTransport::bind_multicast_v4(loopback, 0, any_address).error(),
            std::errc::invalid_argument);
}

// What was granted is reported as the usable size; a larger buffer never shrinks to a request.
TEST(UdpBind, ReceiveBufferGrowsAsFarAsTheHostAllows) {
  const UdpTransport socket = must(UdpTransport::bind_v4(any_address, 0), "bind");
  const std::size_t before = socket.request_receive_buffer(1);
  EXPECT_GT(before, 1u);
  const std::size_t granted = socket.request_receive_buffer(before * 4);
  EXPECT_GE(granted, before);
  EXPECT_EQ(socket.request_receive_buffer(before), granted);
}

TEST(UdpMulticast, TwoTransportsShareGroupAndPortAndBothReceive) {
  const UdpTransport a =
      must(must(UdpTransport::bind_multicast_v4(group, 0, any_address), "first").with_timeout(5s),
           "first time-out");
  const auto port = static_cast<std::uint16_t>(a.local_locator().port);
  ASSERT_NE(port, 0);
  const UdpTransport b = must(
      must(UdpTransport::bind_multicast_v4(group, port, any_address), "second").with_timeout(5s),
      "second time-out");
  EXPECT_EQ(a.local_locator(), Locator::udp_v4(group, port));
  EXPECT_EQ(b.local_locator(), Locator::udp_v4(group, port));

  const UdpTransport sender = on_loopback(std::nullopt);
  const auto payload = pattern(200, 6);
  ASSERT_TRUE(sender.send(Locator::udp_v4(group, port), payload));
  for (const UdpTransport* member : {&a, &b}) {
    const auto got = member->recv();
    ASSERT_TRUE(got) << to_string(got.error());
    EXPECT_EQ(bytes_of(got->data), payload);
    EXPECT_EQ(got->source, sender.local_locator());
  }
}

TEST(UdpMulticast, PortHeldWithoutReuseFailsAfterTheBackOff) {
  const UdpTransport holder = must(UdpTransport::bind_v4(any_address, 0), "holder");
  const auto port = static_cast<std::uint16_t>(holder.local_locator().port);
  const auto start = std::chrono::steady_clock::now();
  const auto result = UdpTransport::bind_multicast_v4(group, port, any_address);
  const double elapsed = seconds_since(start);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), std::errc::address_in_use);
  EXPECT_GE(elapsed, 1.0);  // 100 + 300 + 700 ms of back-off between four attempts
}

TEST(UdpMulticast, PortFreedDuringTheBackOffIsBound) {
  UdpTransport holder = must(UdpTransport::bind_v4(any_address, 0), "holder");
  const auto port = static_cast<std::uint16_t>(holder.local_locator().port);
  // Released well inside the 1.1 s of back-off, most likely after the first attempt failed.
  std::thread release([held = std::move(holder)]() mutable {
    std::this_thread::sleep_for(200ms);
    UdpTransport gone = std::move(held);
  });
  const auto result = UdpTransport::bind_multicast_v4(group, port, any_address);
  release.join();
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->local_locator(), Locator::udp_v4(group, port));
}

// A sub-microsecond time-out rounded down to a zero timeval would block for ever.
TEST(UdpTimeout, ReceiveWithNothingToReadTimesOut) {
  for (const Duration timeout : {Duration(1s), Duration(1ns)}) {
    const UdpTransport receiver = on_loopback(timeout);
    const auto start = std::chrono::steady_clock::now();
    const auto got = receiver.recv();
    EXPECT_GE(seconds_since(start), 0.9 * std::chrono::duration<double>(timeout).count());
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), TransportError::timeout());
  }
}

TEST(UdpTimeout, NoDurationClearsAnEarlierTimeOut) {
  const UdpTransport receiver = must(on_loopback(1us).with_timeout(std::nullopt), "clear time-out");
  const UdpTransport sender = on_loopback(std::nullopt);
  const auto payload = pattern(8, 7);
  std::thread late([&] {
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(sender.send(receiver.local_locator(), payload));
  });
  const auto got = receiver.recv();
  late.join();
  ASSERT_TRUE(got) << to_string(got.error());
  EXPECT_EQ(bytes_of(got->data), payload);
}

// A receiver without a time-out would wait for ever; stopping wakes it, later receives return at
// once without counting anything, and the socket still sends.
TEST(UdpTimeout, StopReceivingEndsAWaitingReceive) {
  const UdpTransport receiver = on_loopback(std::nullopt);
  const UdpTransport other = on_loopback();
  const Counters before = counters_since();
  std::thread waiting([&] {
    EXPECT_EQ(receiver.recv().error(), TransportError::timeout());
    std::vector<RawDatagram> batch;
    EXPECT_EQ(receiver.recv_batch(batch).error(), TransportError::timeout());
    EXPECT_TRUE(batch.empty());
  });
  std::this_thread::sleep_for(50ms);
  receiver.stop_receiving();
  waiting.join();
  EXPECT_TRUE(receiver.send(other.local_locator(), pattern(8)));
  ASSERT_TRUE(other.recv());
  EXPECT_EQ(counters_since(before), (Counters{1, 1, 8, 8, 0}));
}

TEST(UdpTimeout, ZeroDurationFailsAndClosesTheSocket) {
  UdpTransport transport = on_loopback(std::nullopt);
  const auto port = static_cast<std::uint16_t>(transport.local_locator().port);
  const auto result = std::move(transport).with_timeout(0s);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "cannot set a 0 duration timeout");
  EXPECT_EQ(result.error(), std::errc::invalid_argument);
  // A plain bind of the same port only succeeds once the failed transport's socket is closed.
  EXPECT_TRUE(UdpTransport::bind_v4(loopback, port));
}

TEST(UdpSetupError, TextsAndKinds) {
  EXPECT_EQ(std::error_code(SetupError::V6AddressOnV4Bind).message(), "got V6 address on V4 bind");
  EXPECT_EQ(std::error_code(SetupError::V6AddressOnV4MulticastBind).message(),
            "got V6 address on V4 multicast bind");
  EXPECT_NE(std::error_code(SetupError::V6AddressOnV4Bind), std::errc::invalid_argument);
  EXPECT_EQ(std::error_code(SetupError::NegativeDurationTimeout), std::errc::invalid_argument);
}

// The locator is judged before the length.
TEST(UdpSend, RejectsWithoutSendingAndWithoutCounting) {
  const UdpTransport sender = on_loopback(std::nullopt);
  const UdpTransport receiver = on_loopback();
  const Locator good = receiver.local_locator();
  Locator v6 = good;
  v6.kind = rtps::locator_kind::udp_v6;
  const Locator port_too_large = Locator::udp_v4(loopback, 70000);
  const auto oversized = pattern(max_udp_payload + 1);
  const auto small = pattern(4);
  const auto unsupported = TransportError::unsupported_locator();
  const std::tuple<Locator, std::span<const std::byte>, TransportError> cases[] = {
      {v6, small, unsupported},
      {port_too_large, small, unsupported},
      {v6, oversized, unsupported},
      {port_too_large, oversized, unsupported},
      {good, oversized, TransportError::message_too_large(65508, 65507)}};
  const Counters before = counters_since();
  for (const auto& [destination, bytes, expected] : cases)
    EXPECT_EQ(sender.send(destination, bytes), std::unexpected(expected)) << to_string(destination);
  EXPECT_EQ(counters_since(before), Counters{});
}

TEST(UdpCounters, FailedSendIsCountedAsASendErrorOnly) {
  const UdpTransport sender = on_loopback(std::nullopt);
  const Counters before = counters_since();
  // The kernel refuses UDP to port 0.
  const auto result = sender.send(Locator::udp_v4(loopback, 0), pattern(10));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), TransportError::io("udp send_to failed"));
  EXPECT_EQ(to_string(result.error()), "udp send_to failed");
  EXPECT_EQ(counters_since(before), (Counters{0, 0, 0, 0, 1}));
}

}  // namespace
}  // namespace nimbrel::transport
