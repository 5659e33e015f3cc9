// The system's one transport: an owned IPv4 UDP socket, bound for unicast or joined to a multicast
// group. Construct with `bind_v4` or `bind_multicast_v4`, optionally give it a receive time-out
// with `with_timeout`, then share it between threads; dropping it closes the socket. Send and
// receive counts go to the process-wide transport metrics.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <system_error>
#include <type_traits>

#include "foundation/time.hpp"
#include "transport/transport.hpp"

namespace nimbrel::transport {

// In network order: a.b.c.d is {a, b, c, d}.
using Ipv4Address = std::array<std::uint8_t, 4>;

// Set-up failures with no errno of their own. The V6 ones have no portable condition; the
// duration ones compare equal to std::errc::invalid_argument.
enum class SetupError {
  V6AddressOnV4Bind = 1,
  V6AddressOnV4MulticastBind,
  ZeroDurationTimeout,
  NegativeDurationTimeout,
};
const std::error_category& setup_error_category();
std::error_code make_error_code(SetupError error);

}  // namespace nimbrel::transport

template <>
struct std::is_error_code_enum<nimbrel::transport::SetupError> : std::true_type {};

namespace nimbrel::transport {

inline constexpr std::size_t max_receive_batch = 32;

class UdpTransport final : public Transport {
 public:
  // Plain bind without socket options; port 0 lets the system choose.
  static std::expected<UdpTransport, std::error_code> bind_v4(Ipv4Address address,
                                                              std::uint16_t port);
  // Binds 0.0.0.0:port with address and port reuse, so that several participants on one host
  // share a discovery port, and joins `group` on `interface`.
  static std::expected<UdpTransport, std::error_code> bind_multicast_v4(Ipv4Address group,
                                                                        std::uint16_t port,
                                                                        Ipv4Address interface);

  // No duration makes `recv` block. On failure the transport, and so its socket, is gone.
  std::expected<UdpTransport, std::error_code> with_timeout(std::optional<Duration> timeout) &&;

  UdpTransport(UdpTransport&& other) noexcept;
  UdpTransport& operator=(UdpTransport&& other) noexcept;
  ~UdpTransport() override;

  TransportResult<void> send(const rtps::Locator& destination,
                             std::span<const std::byte> bytes) const override;
  TransportResult<RawDatagram> recv() const override;
  // Up to `max_receive_batch` datagrams in one system call.
  TransportResult<std::size_t> recv_batch(std::vector<RawDatagram>& out) const override;
  void stop_receiving() const override;

  // Asks for a kernel receive buffer of `bytes`, past net.core.rmem_max where the process may
  // (CAP_NET_ADMIN); gives the usable size granted, which may be less.
  std::size_t request_receive_buffer(std::size_t bytes) const;

  // Kind UDPv4 and the port actually bound; the address is the one bound (unicast) or the group.
  const rtps::Locator& local_locator() const { return local_; }

 private:
  explicit UdpTransport(int fd) : fd_(fd) {}

  static std::expected<UdpTransport, std::error_code> attempt_multicast_bind(Ipv4Address group,
                                                                             std::uint16_t port,
                                                                             Ipv4Address interface);

  int fd_ = -1;
  rtps::Locator local_;
};

}  // namespace nimbrel::transport
