// The message receiver (DDSI-RTPS 2.5 section 8.3.4): decodes each datagram once, keeps the
// receiver state that INFO_SRC, INFO_DST and INFO_TS change, drops what is invalid or meant for
// another participant, and names for every entity submessage the consumer owning its entity id.
// One receiver per receive thread; it holds no lock and counts what it drops.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "foundation/shared_bytes.hpp"
#include "rtps/datagram.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

struct ReceiverState {
  ProtocolVersion source_version{};
  VendorId source_vendor_id{};
  GuidPrefix source_prefix{};
  GuidPrefix dest_prefix{};  // zero: every participant
  std::optional<Time> timestamp{};

  friend bool operator==(const ReceiverState&, const ReceiverState&) = default;
};

// Who acts on a submessage, by the entity ids it names.
enum class Consumer : std::uint8_t {
  None,  // no endpoint of ours owns it
  Spdp,
  Sedp,
  Wlp,
  TypeLookup,
  SecureStateless,
  SecureVolatile,
  User,
};

// Reader-side submessages go by their reader id, or by their writer id when addressed to no
// reader; ACKNACK and NACK_FRAG go by the writer id they acknowledge.
Consumer consumer_of(const ParsedSubmessage& submessage);

struct ReceivedSubmessage {
  ReceiverState state;  // in force where the submessage stood
  ParsedSubmessage body;
  Consumer consumer = Consumer::None;
};

// The valid entity submessages of one datagram that are for this participant, in arrival order.
struct ReceivedDatagram {
  std::vector<ReceivedSubmessage> submessages;
  std::uint32_t consumers = 0;     // a bit per consumer named, so dispatch need not scan
  Locator source{};                // where the datagram came from, as the receive thread saw it
  std::uint64_t reception_ns = 0;  // when it arrived: wall clock, ns since the Unix epoch

  bool has(Consumer consumer) const {
    return (consumers & (1u << static_cast<unsigned>(consumer))) != 0;
  }
};

struct ReceiverCounters {
  std::uint64_t datagrams = 0;             // decoded, once each
  std::uint64_t malformed_datagrams = 0;   // no RTPS header, or a version this system cannot read
  std::uint64_t invalid_submessages = 0;   // each also ends its datagram
  std::uint64_t unknown_submessages = 0;   // kinds this system does not interpret
  std::uint64_t other_destination = 0;     // behind an INFO_DST naming another participant
  std::uint64_t unrouted_submessages = 0;  // no consumer here
};

class Receiver {
 public:
  explicit Receiver(const GuidPrefix& own_prefix) : own_prefix_(own_prefix) {}

  ReceivedDatagram receive(const SharedBytes& datagram);

  const ReceiverCounters& counters() const { return counters_; }

 private:
  GuidPrefix own_prefix_;
  ReceiverCounters counters_{};
};

}  // namespace nimbrel::rtps
