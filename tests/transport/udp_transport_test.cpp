#include "transport/udp_transport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
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

constexpr Ipv4Address loopback{127, 0, 0, 1};
constexpr Ipv4Address any_address{0, 0, 0, 0};
constexpr Ipv4Address group{239, 255, 0, 1};

// Binding on loopback inside the test namespace does not fail; if it does, nothing after it means
// anything, so the run ends with the reason.
UdpTransport must(std::expected<UdpTransport, std::error_code> result, const char* what) {
  if (!result) fatal(std::string(what) + ": " + result.error().message());
  return std::move(*result);
}

// A receiver that gives up after 5 s, so a lost datagram fails the test instead of hanging it.
UdpTransport loopback_receiver() {
  return must(must(UdpTransport::bind_v4(loopback, 0), "bind receiver").with_timeout(5s),
              "receiver time-out");
}

UdpTransport loopback_sender() {
  return must(UdpTransport::bind_v4(loopback, 0), "bind sender");
}

std::vector<std::byte> pattern(std::size_t length, unsigned seed = 0) {
  std::vector<std::byte> out(length);
  for (std::size_t i = 0; i < length; ++i)
    out[i] = static_cast<std::byte>((i * 7 + seed) % 251);
  return out;
}

std::vector<std::byte> bytes_of(const SharedBytes& bytes) {
  return {bytes.span().begin(), bytes.span().end()};
}

struct Counters {
  std::uint64_t packets_sent = 0;
  std::uint64_t packets_received = 0;
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
  std::uint64_t send_errors = 0;

  // The counters are process-wide, so tests compare readings taken before and after.
  static Counters read() {
    const auto& m = monitor::transport_metrics();
    return {m.packets_sent->value(), m.packets_received->value(), m.bytes_sent->value(),
            m.bytes_received->value(), m.send_errors->value()};
  }
  Counters operator-(const Counters& o) const {
    return {packets_sent - o.packets_sent, packets_received - o.packets_received,
            bytes_sent - o.bytes_sent, bytes_received - o.bytes_received,
            send_errors - o.send_errors};
  }
  friend bool operator==(const Counters&, const Counters&) = default;
  friend void PrintTo(const Counters& c, std::ostream* out) {
    *out << "{sent " << c.packets_sent << "/" << c.bytes_sent << " B, received "
         << c.packets_received << "/" << c.bytes_received << " B, send errors " << c.send_errors
         << "}";
  }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(UdpUnicast, RoundTripCarriesTheBytesAndTheSendersLocator) {
  const UdpTransport receiver = loopback_receiver();
  const UdpTransport sender = loopback_sender();
  EXPECT_EQ(receiver.local_locator().kind, rtps::locator_kind::udp_v4);
  EXPECT_EQ(receiver.local_locator().ipv4(), loopback);
  ASSERT_NE(receiver.local_locator().port, 0u);

  const auto payload = pattern(300);
  ASSERT_TRUE(sender.send(receiver.local_locator(), payload));
  const auto got = receiver.recv();
  ASSERT_TRUE(got) << to_string(got.error());
  EXPECT_EQ(bytes_of(got->data), payload);
  EXPECT_EQ(got->source, Locator::udp_v4(loopback, sender.local_locator().port));
}

TEST(UdpUnicast, ReplyToTheSourceLocatorReachesTheSender) {
  const UdpTransport a = loopback_receiver();
  const UdpTransport b = loopback_receiver();
  const auto ping = pattern(16, 1);
  ASSERT_TRUE(a.send(b.local_locator(), ping));
  const auto at_b = b.recv();
  ASSERT_TRUE(at_b) << to_string(at_b.error());

  const auto pong = pattern(16, 2);
  ASSERT_TRUE(b.send(at_b->source, pong));
  const auto at_a = a.recv();
  ASSERT_TRUE(at_a) << to_string(at_a.error());
  EXPECT_EQ(bytes_of(at_a->data), pong);
  EXPECT_EQ(at_a->source, b.local_locator());
}

TEST(UdpUnicast, EmptyDatagramArrivesAsAnEmptyBufferWithItsSource) {
  const UdpTransport receiver = loopback_receiver();
  const UdpTransport sender = loopback_sender();
  ASSERT_TRUE(sender.send(receiver.local_locator(), {}));
  const auto got = receiver.recv();
  ASSERT_TRUE(got) << to_string(got.error());
  EXPECT_TRUE(got->data.empty());
  EXPECT_EQ(got->source, sender.local_locator());
}

TEST(UdpUnicast, EachDatagramOwnsItsBytesAcrossLaterReceives) {
  const UdpTransport receiver = loopback_receiver();
  const UdpTransport sender = loopback_sender();
  const auto long_one = pattern(1000, 3);
  const auto short_one = pattern(3, 4);
  ASSERT_TRUE(sender.send(receiver.local_locator(), long_one));
  ASSERT_TRUE(sender.send(receiver.local_locator(), short_one));

  const auto first = receiver.recv();
  const auto second = receiver.recv();
  ASSERT_TRUE(first && second);
  // The shorter datagram must not carry leftovers of the longer, and the first must survive the
  // second receive into the same scratch space.
  EXPECT_EQ(bytes_of(second->data), short_one);
  EXPECT_EQ(bytes_of(first->data), long_one);
}

TEST(UdpUnicast, LargestPayloadTravelsWhole) {
  const UdpTransport receiver = loopback_receiver();
  const UdpTransport sender = loopback_sender();
  const auto payload = pattern(max_udp_payload, 5);
  ASSERT_TRUE(sender.send(receiver.local_locator(), payload));
  const auto got = receiver.recv();
  ASSERT_TRUE(got) << to_string(got.error());
  EXPECT_EQ(got->data.size(), 65507u);
  EXPECT_EQ(bytes_of(got->data), payload);
}

TEST(UdpUnicast, ConcurrentReceiversOnOneTransportEachGetWholeDatagrams) {
  const UdpTransport receiver =
      must(must(UdpTransport::bind_v4(loopback, 0), "bind").with_timeout(1s), "time-out");
  const UdpTransport sender = loopback_sender();
  // Few and small enough to sit in the default receive buffer even if nobody reads yet.
  constexpr int datagrams = 100;
  std::mutex seen_mutex;
  std::multiset<int> seen;  // guarded by seen_mutex; both receive threads add to it
  std::atomic<bool> corrupt{false};

  auto receive = [&] {
    while (true) {
      const auto got = receiver.recv();
      if (!got) return;  // time-out: the sender is done
      const auto bytes = got->data.span();
      if (bytes.size() != 64) {
        corrupt = true;
        continue;
      }
      for (const auto b : bytes) {
        if (b != bytes[0]) corrupt = true;
      }
      const std::lock_guard lock(seen_mutex);
      seen.insert(std::to_integer<int>(bytes[0]));
    }
  };
  std::thread one(receive);
  std::thread two(receive);
  for (int tag = 0; tag < datagrams; ++tag) {
    const std::vector<std::byte> payload(64, static_cast<std::byte>(tag));
    EXPECT_TRUE(sender.send(receiver.local_locator(), payload));
  }
  one.join();
  two.join();

  EXPECT_FALSE(corrupt);
  std::multiset<int> expected;
  for (int tag = 0; tag < datagrams; ++tag)
    expected.insert(tag);
  EXPECT_EQ(seen, expected);
}

TEST(UdpBind, UnicastBindUsesNoAddressReuse) {
  const UdpTransport first = must(UdpTransport::bind_v4(any_address, 0), "bind");
  EXPECT_EQ(first.local_locator(), Locator::udp_v4(any_address, first.local_locator().port));
  ASSERT_NE(first.local_locator().port, 0u);

  const auto second =
      UdpTransport::bind_v4(any_address, static_cast<std::uint16_t>(first.local_locator().port));
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), std::errc::address_in_use);
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

  const UdpTransport sender = loopback_sender();
  const auto payload = pattern(200, 6);
  ASSERT_TRUE(sender.send(Locator::udp_v4(group, port), payload));
  for (const UdpTransport* member : {&a, &b}) {
    const auto got = member->recv();
    ASSERT_TRUE(got) << to_string(got.error());
    EXPECT_EQ(bytes_of(got->data), payload);
    EXPECT_EQ(got->source, sender.local_locator());
  }
}

TEST(UdpMulticast, JoiningAUnicastAddressFails) {
  const auto result = UdpTransport::bind_multicast_v4(loopback, 0, any_address);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), std::errc::invalid_argument);
}

TEST(UdpMulticast, PortHeldWithoutReuseFailsAfterTheBackOff) {
  const UdpTransport holder = must(UdpTransport::bind_v4(any_address, 0), "holder");
  const auto port = static_cast<std::uint16_t>(holder.local_locator().port);

  const auto start = std::chrono::steady_clock::now();
  const auto result = UdpTransport::bind_multicast_v4(group, port, any_address);
  const double elapsed = seconds_since(start);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), std::errc::address_in_use);
  // 100 + 300 + 700 ms of back-off between four attempts.
  EXPECT_GE(elapsed, 1.0);
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

TEST(UdpTimeout, ReceiveWithNothingToReadTimesOut) {
  const UdpTransport receiver =
      must(must(UdpTransport::bind_v4(loopback, 0), "bind").with_timeout(1s), "time-out");
  const auto start = std::chrono::steady_clock::now();
  const auto got = receiver.recv();
  const double elapsed = seconds_since(start);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), TransportError::timeout());
  EXPECT_GE(elapsed, 0.9);
}

TEST(UdpTimeout, SubMicrosecondTimeOutStillTimesOut) {
  // Rounded down to a zero timeval this would block for ever (and the test would time out).
  const UdpTransport receiver =
      must(must(UdpTransport::bind_v4(loopback, 0), "bind").with_timeout(1ns), "time-out");
  const auto got = receiver.recv();
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), TransportError::timeout());
}

TEST(UdpTimeout, NoDurationClearsAnEarlierTimeOut) {
  const UdpTransport receiver = must(
      must(must(UdpTransport::bind_v4(loopback, 0), "bind").with_timeout(1us), "short time-out")
          .with_timeout(std::nullopt),
      "clear time-out");
  const UdpTransport sender = loopback_sender();
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

TEST(UdpTimeout, ZeroDurationFailsAndClosesTheSocket) {
  UdpTransport transport = must(UdpTransport::bind_v4(loopback, 0), "bind");
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

TEST(UdpSend, RejectsWithoutSendingAndWithoutCounting) {
  const UdpTransport sender = loopback_sender();
  const UdpTransport receiver = loopback_receiver();
  const std::uint32_t port = receiver.local_locator().port;
  Locator v6 = Locator::udp_v4(loopback, port);
  v6.kind = rtps::locator_kind::udp_v6;
  const Locator port_too_large = Locator::udp_v4(loopback, 70000);
  const auto largest_plus_one = pattern(max_udp_payload + 1);
  const auto small = pattern(4);

  struct Case {
    const char* name;
    Locator destination;
    std::span<const std::byte> bytes;
    TransportError expected;
  };
  const Case cases[] = {
      {"kind 2", v6, small, TransportError::unsupported_locator()},
      {"port 70000", port_too_large, small, TransportError::unsupported_locator()},
      // The locator is judged before the length.
      {"kind 2, oversized", v6, largest_plus_one, TransportError::unsupported_locator()},
      {"port 70000, oversized", port_too_large, largest_plus_one,
       TransportError::unsupported_locator()},
      {"65508 bytes", Locator::udp_v4(loopback, port), largest_plus_one,
       TransportError::message_too_large(65508, 65507)},
  };
  const Counters before = Counters::read();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = sender.send(c.destination, c.bytes);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), c.expected);
  }
  EXPECT_EQ(Counters::read(), before);
}

TEST(UdpCounters, SuccessfulSendAndReceiveAreCounted) {
  const UdpTransport receiver = loopback_receiver();
  const UdpTransport sender = loopback_sender();
  const Counters before = Counters::read();
  ASSERT_TRUE(sender.send(receiver.local_locator(), pattern(10)));
  ASSERT_TRUE(sender.send(receiver.local_locator(), {}));
  ASSERT_TRUE(receiver.recv());
  ASSERT_TRUE(receiver.recv());
  EXPECT_EQ(Counters::read() - before, (Counters{.packets_sent = 2,
                                                 .packets_received = 2,
                                                 .bytes_sent = 10,
                                                 .bytes_received = 10,
                                                 .send_errors = 0}));
}

TEST(UdpCounters, FailedSendIsCountedAsASendErrorOnly) {
  const UdpTransport sender = loopback_sender();
  const Counters before = Counters::read();
  // The kernel refuses UDP to port 0.
  const auto result = sender.send(Locator::udp_v4(loopback, 0), pattern(10));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), TransportError::io("udp send_to failed"));
  EXPECT_EQ(to_string(result.error()), "udp send_to failed");
  EXPECT_EQ(Counters::read() - before, (Counters{.send_errors = 1}));
}

}  // namespace
}  // namespace nimbrel::transport
