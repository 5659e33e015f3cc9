#include "dcps/runtime/announce_locator.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace nimbrel::dcps {
namespace {

constexpr transport::Ipv4Address unspecified{0, 0, 0, 0};
constexpr transport::Ipv4Address loopback{127, 0, 0, 1};
// TEST-NET-1 (RFC 5737): never answers, but lets the kernel pick the outgoing interface.
constexpr transport::Ipv4Address probe_address{192, 0, 2, 1};
constexpr std::uint16_t probe_port = 7;

class ProbeSocket {
 public:
  ProbeSocket() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
  ProbeSocket(const ProbeSocket&) = delete;
  ProbeSocket& operator=(const ProbeSocket&) = delete;
  ~ProbeSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in to_sockaddr(transport::Ipv4Address address, std::uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  std::memcpy(&out.sin_addr, address.data(), address.size());
  return out;
}

// Connecting a UDP socket sends nothing; it only makes the kernel choose a source address.
std::optional<transport::Ipv4Address> routed_address() {
  ProbeSocket probe;
  if (probe.fd() < 0) return std::nullopt;
  const sockaddr_in any = to_sockaddr(unspecified, 0);
  if (::bind(probe.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    return std::nullopt;
  }
  const sockaddr_in target = to_sockaddr(probe_address, probe_port);
  int rc = 0;
  do {
    rc = ::connect(probe.fd(), reinterpret_cast<const sockaddr*>(&target), sizeof target);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return std::nullopt;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(probe.fd(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_family != AF_INET) {
    return std::nullopt;
  }
  transport::Ipv4Address address{};
  std::memcpy(address.data(), &local.sin_addr, address.size());
  if (address == unspecified) return std::nullopt;
  return address;
}

}  // namespace

rtps::Locator announce_locator(const rtps::Locator& local, transport::Ipv4Address interface) {
  if (local.ipv4() != unspecified) return local;
  if (const auto routed = routed_address()) return rtps::Locator::udp_v4(*routed, local.port);
  return rtps::Locator::udp_v4(interface == unspecified ? loopback : interface, local.port);
}

}  // namespace nimbrel::dcps
