// The transport interface: moves whole datagrams to and from RTPS locators without knowing RTPS.
// `send` and `recv` are const because one transport is shared by several threads (a receive
// thread and the tick thread) without a lock; implementations must be safe for that.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::transport {

// 65,535 minus the 8-byte UDP and the 20-byte IPv4 header.
inline constexpr std::size_t max_udp_payload = 65507;

struct TransportError {
  enum class Kind {
    MessageTooLarge,     // length, limit
    UnsupportedLocator,  //
    Io,                  // context
    Timeout,             //
  };
  Kind kind = Kind::Io;
  std::size_t length = 0;
  std::size_t limit = 0;
  const char* context = "";

  static TransportError message_too_large(std::size_t length, std::size_t limit) {
    return {.kind = Kind::MessageTooLarge, .length = length, .limit = limit};
  }
  static TransportError unsupported_locator() { return {.kind = Kind::UnsupportedLocator}; }
  static TransportError io(const char* context) { return {.kind = Kind::Io, .context = context}; }
  static TransportError timeout() { return {.kind = Kind::Timeout}; }

  friend bool operator==(const TransportError& a, const TransportError& b);
};
std::string to_string(const TransportError& error);

template <typename T>
using TransportResult = std::expected<T, TransportError>;

struct RawDatagram {
  // Exactly the received bytes, in a buffer of their own that later stages slice without copying.
  SharedBytes data;
  rtps::Locator source;
};

class Transport {
 public:
  virtual ~Transport() = default;

  virtual TransportResult<void> send(const rtps::Locator& destination,
                                     std::span<const std::byte> bytes) const = 0;
  virtual TransportResult<RawDatagram> recv() const = 0;
  // Appends what has arrived, at least one datagram, waiting as `recv` does for the first; gives
  // how many. This one receives exactly one.
  virtual TransportResult<std::size_t> recv_batch(std::vector<RawDatagram>& out) const {
    auto received = recv();
    if (!received) return std::unexpected(received.error());
    out.push_back(std::move(*received));
    return 1;
  }
  // Ends every `recv` waiting now and makes later ones return at once, so that a receive thread
  // sees its stop flag without waiting out its time-out. Sending still works.
  virtual void stop_receiving() const {}

 protected:
  Transport() = default;
  Transport(const Transport&) = default;
  Transport& operator=(const Transport&) = default;
};

}  // namespace nimbrel::transport
