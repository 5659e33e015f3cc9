#include "transport/udp_transport.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

#include "monitor/metric_groups.hpp"

namespace nimbrel::transport {
namespace {

class SetupErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "nimbrel.transport"; }

  std::string message(int value) const override {
    switch (static_cast<SetupError>(value)) {
      case SetupError::V6AddressOnV4Bind:
        return "got V6 address on V4 bind";
      case SetupError::V6AddressOnV4MulticastBind:
        return "got V6 address on V4 multicast bind";
      case SetupError::ZeroDurationTimeout:
        return "cannot set a 0 duration timeout";
      case SetupError::NegativeDurationTimeout:
        return "cannot set a negative duration timeout";
    }
    return "unknown transport set-up error";
  }

  std::error_condition default_error_condition(int value) const noexcept override {
    switch (static_cast<SetupError>(value)) {
      case SetupError::ZeroDurationTimeout:
      case SetupError::NegativeDurationTimeout:
        return std::errc::invalid_argument;
      default:
        return {value, *this};
    }
  }
};

std::error_code last_os_error() {
  return {errno, std::generic_category()};
}

sockaddr_in to_sockaddr(Ipv4Address address, std::uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  std::memcpy(&out.sin_addr, address.data(), address.size());
  return out;
}

rtps::Locator to_locator(const sockaddr_in& address) {
  Ipv4Address ip{};
  std::memcpy(ip.data(), &address.sin_addr, ip.size());
  return rtps::Locator::udp_v4(ip, ntohs(address.sin_port));
}

std::expected<std::uint16_t, std::error_code> bound_port(int fd, SetupError on_v6) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    return std::unexpected(last_os_error());
  }
  if (bound.ss_family == AF_INET6) return std::unexpected(make_error_code(on_v6));
  sockaddr_in v4{};
  std::memcpy(&v4, &bound, sizeof v4);
  return ntohs(v4.sin_port);
}

std::error_code enable_option(int fd, int option) {
  const int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, option, &one, sizeof one) != 0) return last_os_error();
  return {};
}

// Another participant starting or stopping on the same host can hold the port or the group for
// a moment; anything else will not go away by waiting.
bool worth_retrying(const std::error_code& error) {
  return error == std::errc::address_in_use || error == std::errc::address_not_available;
}

void sleep_through_signals(std::chrono::milliseconds pause) {
  timespec remaining{.tv_sec = pause.count() / 1000, .tv_nsec = (pause.count() % 1000) * 1'000'000};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// Allocated on a thread's first receive rather than per call on the stack; never cleared, because
// only the prefix that the kernel just wrote is ever read. Room for a whole batch; pages the
// kernel never writes to are never backed by memory.
std::byte* receive_buffer(std::size_t slot = 0) {
  thread_local const std::unique_ptr<std::byte[]> buffer =
      std::make_unique_for_overwrite<std::byte[]>(max_udp_payload * max_receive_batch);
  return buffer.get() + slot * max_udp_payload;
}

bool is_timeout(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT;
}

}  // namespace

const std::error_category& setup_error_category() {
  static const SetupErrorCategory category;
  return category;
}

std::error_code make_error_code(SetupError error) {
  return {static_cast<int>(error), setup_error_category()};
}

std::expected<UdpTransport, std::error_code> UdpTransport::bind_v4(Ipv4Address address,
                                                                   std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return std::unexpected(last_os_error());
  UdpTransport transport(fd);  // closes the socket on every early return below

  const sockaddr_in local = to_sockaddr(address, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return std::unexpected(last_os_error());
  }
  const auto bound = bound_port(fd, SetupError::V6AddressOnV4Bind);
  if (!bound) return std::unexpected(bound.error());
  transport.local_ = rtps::Locator::udp_v4(address, *bound);
  return transport;
}

std::expected<UdpTransport, std::error_code> UdpTransport::bind_multicast_v4(
    Ipv4Address group, std::uint16_t port, Ipv4Address interface) {
  using std::chrono_literals::operator""ms;
  constexpr std::chrono::milliseconds back_off[] = {100ms, 300ms, 700ms};

  auto result = attempt_multicast_bind(group, port, interface);
  for (const auto pause : back_off) {
    if (result || !worth_retrying(result.error())) break;
    sleep_through_signals(pause);
    result = attempt_multicast_bind(group, port, interface);
  }
  return result;
}

std::expected<UdpTransport, std::error_code> UdpTransport::attempt_multicast_bind(
    Ipv4Address group, std::uint16_t port, Ipv4Address interface) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return std::unexpected(last_os_error());
  UdpTransport transport(fd);  // closes the socket on every early return below

  if (const auto error = enable_option(fd, SO_REUSEADDR)) return std::unexpected(error);
  if (const auto error = enable_option(fd, SO_REUSEPORT)) return std::unexpected(error);

  const sockaddr_in any = to_sockaddr({0, 0, 0, 0}, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    return std::unexpected(last_os_error());
  }
  ip_mreq membership{};
  std::memcpy(&membership.imr_multiaddr, group.data(), group.size());
  std::memcpy(&membership.imr_interface, interface.data(), interface.size());
  if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    return std::unexpected(last_os_error());
  }
  const auto bound = bound_port(fd, SetupError::V6AddressOnV4MulticastBind);
  if (!bound) return std::unexpected(bound.error());
  transport.local_ = rtps::Locator::udp_v4(group, *bound);
  return transport;
}

std::size_t UdpTransport::request_receive_buffer(std::size_t bytes) const {
  const int wanted = static_cast<int>(std::min<std::size_t>(bytes, INT32_MAX / 2));
  auto granted = [&] {
    int size = 0;
    socklen_t length = sizeof size;
    if (::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return std::size_t{0};
    // Linux reports twice what it grants, the other half being its own bookkeeping.
    return static_cast<std::size_t>(size) / 2;
  };
  if (granted() >= static_cast<std::size_t>(wanted)) return granted();
  static_cast<void>(::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted));
  if (granted() < static_cast<std::size_t>(wanted)) {
    static_cast<void>(::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted));
  }
  return granted();
}

std::expected<UdpTransport, std::error_code> UdpTransport::with_timeout(
    std::optional<Duration> timeout) && {
  UdpTransport self(std::move(*this));  // owns the socket now, so every failure closes it
  timeval limit{};
  if (timeout) {
    if (*timeout == Duration::zero()) {
      return std::unexpected(make_error_code(SetupError::ZeroDurationTimeout));
    }
    if (*timeout < Duration::zero()) {
      return std::unexpected(make_error_code(SetupError::NegativeDurationTimeout));
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*timeout);
    limit.tv_sec = seconds.count();
    limit.tv_usec =
        std::chrono::duration_cast<std::chrono::microseconds>(*timeout - seconds).count();
    // A zero timeval means "block for ever", the opposite of a time-out under a microsecond.
    if (limit.tv_sec == 0 && limit.tv_usec == 0) limit.tv_usec = 1;
  }
  if (::setsockopt(self.fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
    return std::unexpected(last_os_error());
  }
  return self;
}

UdpTransport::UdpTransport(UdpTransport&& other) noexcept
    : Transport(other), fd_(std::exchange(other.fd_, -1)), local_(other.local_) {}

UdpTransport& UdpTransport::operator=(UdpTransport&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    local_ = other.local_;
  }
  return *this;
}

UdpTransport::~UdpTransport() {
  if (fd_ >= 0) ::close(fd_);
}

TransportResult<void> UdpTransport::send(const rtps::Locator& destination,
                                         std::span<const std::byte> bytes) const {
  if (destination.kind != rtps::locator_kind::udp_v4) {
    return std::unexpected(TransportError::unsupported_locator());
  }
  if (destination.port > 65535) return std::unexpected(TransportError::unsupported_locator());
  if (bytes.size() > max_udp_payload) {
    return std::unexpected(TransportError::message_too_large(bytes.size(), max_udp_payload));
  }

  const sockaddr_in to =
      to_sockaddr(destination.ipv4(), static_cast<std::uint16_t>(destination.port));
  const auto& metrics = monitor::transport_metrics();
  if (::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    metrics.send_errors->inc();
    return std::unexpected(TransportError::io("udp send_to failed"));
  }
  metrics.packets_sent->inc();
  metrics.bytes_sent->inc(bytes.size());
  return {};
}

void UdpTransport::stop_receiving() const {
  // Linux wakes the waiting receivers of an unconnected UDP socket too, though it reports
  // ENOTCONN.
  static_cast<void>(::shutdown(fd_, SHUT_RD));
}

TransportResult<RawDatagram> UdpTransport::recv() const {
  std::byte* buffer = receive_buffer();
  sockaddr_storage from{};
  socklen_t from_length = sizeof from;
  const ssize_t received =
      ::recvfrom(fd_, buffer, max_udp_payload, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
  if (received < 0) {
    if (is_timeout(errno)) return std::unexpected(TransportError::timeout());
    return std::unexpected(TransportError::io("udp recv_from failed"));
  }
  // A socket shut for reading returns at once with no sender: nothing was received.
  if (from_length == 0) return std::unexpected(TransportError::timeout());
  const auto length = static_cast<std::size_t>(received);
  const auto& metrics = monitor::transport_metrics();
  metrics.packets_received->inc();
  metrics.bytes_received->inc(length);

  if (from.ss_family != AF_INET) {
    return std::unexpected(TransportError::io("received V6 datagram on V4 socket"));
  }
  sockaddr_in sender{};
  std::memcpy(&sender, &from, sizeof sender);
  return RawDatagram{.data = SharedBytes::copy_of({buffer, length}), .source = to_locator(sender)};
}

TransportResult<std::size_t> UdpTransport::recv_batch(std::vector<RawDatagram>& out) const {
  std::array<mmsghdr, max_receive_batch> headers{};
  std::array<iovec, max_receive_batch> vectors{};
  std::array<sockaddr_storage, max_receive_batch> senders{};
  for (std::size_t i = 0; i < max_receive_batch; ++i) {
    vectors[i] = iovec{.iov_base = receive_buffer(i), .iov_len = max_udp_payload};
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
    headers[i].msg_hdr.msg_name = &senders[i];
    headers[i].msg_hdr.msg_namelen = sizeof senders[i];
  }
  // Waits for the first datagram only, as `recv` does; the rest is what has already arrived.
  const int received = ::recvmmsg(fd_, headers.data(), max_receive_batch, MSG_WAITFORONE, nullptr);
  if (received < 0) {
    if (is_timeout(errno)) return std::unexpected(TransportError::timeout());
    return std::unexpected(TransportError::io("udp recv_from failed"));
  }
  const auto& metrics = monitor::transport_metrics();
  std::size_t kept = 0;
  bool v6 = false;
  for (std::size_t i = 0; i < static_cast<std::size_t>(received); ++i) {
    const msghdr& header = headers[i].msg_hdr;
    // A socket shut for reading returns at once with no sender: nothing was received.
    if (header.msg_namelen == 0) continue;
    const std::size_t length = headers[i].msg_len;
    metrics.packets_received->inc();
    metrics.bytes_received->inc(length);
    if (senders[i].ss_family != AF_INET) {
      v6 = true;
      continue;
    }
    sockaddr_in sender{};
    std::memcpy(&sender, &senders[i], sizeof sender);
    out.push_back(RawDatagram{.data = SharedBytes::copy_of({receive_buffer(i), length}),
                              .source = to_locator(sender)});
    ++kept;
  }
  if (kept > 0) return kept;
  if (v6) return std::unexpected(TransportError::io("received V6 datagram on V4 socket"));
  return std::unexpected(TransportError::timeout());
}

}  // namespace nimbrel::transport
