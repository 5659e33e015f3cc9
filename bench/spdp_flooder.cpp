// Hand-run load generator for bench/discovery_flood: sends valid SPDP announcements of fake
// participants, each with a random GUID prefix, to the SPDP multicast group on loopback, paced
// evenly over a fixed time. Bounded in count and in time: it stops at --count announcements or
// when --seconds (plus one second of slack) have passed, whichever comes first.
//
//   spdp_flooder [--count 100000] [--seconds 20] [--lease 10] [--port-base 47000]
//                [--port-span 1000] [--port 7400]
//
// Each fake announces metatraffic and default unicast locators on 127.0.0.1, at ports from
// --port-base to --port-base + --port-span - 1 on which nobody listens, so that whatever the
// receiver sends to the fakes shows in the namespace's count of datagrams to closed ports. It
// refuses to run unless loopback is the only network interface (scripts/netns-run).
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "discovery/spdp.hpp"

namespace {

using namespace nimbrel;

struct Options {
  std::uint64_t count = 100'000;
  std::uint64_t seconds = 20;
  std::uint64_t lease_seconds = 10;
  std::uint32_t port_base = 47'000;
  std::uint32_t port_span = 1'000;
  std::uint32_t port = 7400;
};

bool parse_number(const char* text, std::uint64_t& out) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') {
    return false;
  }
  out = value;
  return true;
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) {
      return false;
    }
    std::uint64_t value = 0;
    if (!parse_number(argv[++i], value)) {
      return false;
    }
    if (name == "--count") {
      options.count = value;
    } else if (name == "--seconds") {
      options.seconds = value;
    } else if (name == "--lease") {
      options.lease_seconds = value;
    } else if (name == "--port-base") {
      options.port_base = static_cast<std::uint32_t>(value);
    } else if (name == "--port-span") {
      options.port_span = static_cast<std::uint32_t>(value);
    } else if (name == "--port") {
      options.port = static_cast<std::uint32_t>(value);
    } else {
      return false;
    }
  }
  return options.count > 0 && options.seconds > 0 && options.seconds <= 600 &&
         options.count <= 10'000'000 && options.port_span > 0 &&
         options.port_base + options.port_span <= 65'536 && options.port > 0 &&
         options.port < 65'536;
}

// True when the only network interface is loopback.
bool loopback_only() {
  struct if_nameindex* interfaces = if_nameindex();
  if (interfaces == nullptr) {
    return false;
  }
  bool only_lo = true;
  for (const struct if_nameindex* it = interfaces; it->if_index != 0; ++it) {
    if (std::strcmp(it->if_name, "lo") != 0) {
      only_lo = false;
    }
  }
  if_freenameindex(interfaces);
  return only_lo;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: spdp_flooder [--count N<=10000000] [--seconds S<=600] [--lease S] "
                 "[--port-base P] [--port-span K] [--port SPDP_PORT]\n");
    return 2;
  }
  if (!loopback_only()) {
    std::fprintf(stderr, "spdp_flooder: loopback is not the only interface; refusing to run\n");
    return 1;
  }

  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    std::perror("spdp_flooder: socket");
    return 1;
  }
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  const unsigned char ttl = 1;
  const unsigned char loop = 1;
  if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
      ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
    std::perror("spdp_flooder: setsockopt");
    ::close(fd);
    return 1;
  }
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(static_cast<std::uint16_t>(options.port));
  group.sin_addr.s_addr = htonl((239U << 24) | (255U << 16) | (0U << 8) | 1U);

  std::random_device seed;
  std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) ^
                         static_cast<std::uint64_t>(seed()));

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto span = std::chrono::seconds(options.seconds);
  const auto deadline = start + span + std::chrono::seconds(1);
  std::uint64_t sent = 0;
  std::uint64_t failed = 0;
  std::uint64_t sent_at_last_report = 0;
  auto next_report = start + std::chrono::seconds(1);

  for (std::uint64_t i = 0; i < options.count; ++i) {
    // Announcement i is due at start + i * span / count.
    const auto due =
        start + std::chrono::duration_cast<Clock::duration>(span * static_cast<double>(i) /
                                                            static_cast<double>(options.count));
    auto now = Clock::now();
    if (now >= deadline) {
      break;
    }
    if (due > now) {
      std::this_thread::sleep_until(due);
      now = Clock::now();
    }
    if (now >= next_report) {
      std::fprintf(stderr, "spdp_flooder: %llu sent in the last second\n",
                   static_cast<unsigned long long>(sent - sent_at_last_report));
      sent_at_last_report = sent;
      next_report += std::chrono::seconds(1);
    }

    discovery::LocalParticipant local;
    for (std::size_t b = 0; b < local.prefix.size(); b += 4) {
      const auto word = static_cast<std::uint32_t>(random());
      for (std::size_t k = 0; k < 4; ++k) {
        local.prefix[b + k] = static_cast<std::uint8_t>(word >> (8 * k));
      }
    }
    const std::uint32_t port =
        options.port_base + static_cast<std::uint32_t>(i % options.port_span);
    local.domain_id = 0;
    local.metatraffic_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, port);
    local.default_unicast = rtps::Locator::udp_v4({127, 0, 0, 1}, port);
    local.spdp_port = options.port;
    local.lease_duration = std::chrono::seconds(options.lease_seconds);

    discovery::SpdpBeacon beacon{.data = discovery::local_participant_data(local)};
    auto datagram = beacon.serialize();
    if (!datagram) {
      std::fprintf(stderr, "spdp_flooder: cannot encode an announcement\n");
      ::close(fd);
      return 1;
    }
    const ssize_t n = ::sendto(fd, datagram->data(), datagram->size(), 0,
                               reinterpret_cast<const sockaddr*>(&group), sizeof group);
    if (n == static_cast<ssize_t>(datagram->size())) {
      ++sent;
    } else {
      ++failed;
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("spdp_flooder: sent=%llu failed=%llu seconds=%.2f ports=%u-%u lease=%llus\n",
              static_cast<unsigned long long>(sent), static_cast<unsigned long long>(failed),
              elapsed, options.port_base, options.port_base + options.port_span - 1,
              static_cast<unsigned long long>(options.lease_seconds));
  ::close(fd);
  return failed == 0 ? 0 : 1;
}
