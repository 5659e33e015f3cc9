// The secure builtin endpoints of one participant: the stateless message writer and reader and the
// volatile message secure writer and reader. The runtime guards one stack with a mutex, tells it
// about each new participant, feeds it the datagrams routed to these endpoints and polls it for
// the reliable endpoints' heartbeats and acknowledgements; what the decoded messages mean is not
// acted upon yet.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "discovery/security/stateless.hpp"
#include "discovery/security/volatile_secure.hpp"
#include "discovery/spdp.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"
#include "rtps/reliable_writer.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

// Bits of the builtin endpoint set naming these endpoints (DDS-Security 1.2 section 7.4.7.1).
namespace secure_endpoint_bit {
inline constexpr std::uint32_t stateless_writer = 1u << 22;
inline constexpr std::uint32_t stateless_reader = 1u << 23;
inline constexpr std::uint32_t volatile_writer = 1u << 24;
inline constexpr std::uint32_t volatile_reader = 1u << 25;
inline constexpr std::uint32_t all =
    stateless_writer | stateless_reader | volatile_writer | volatile_reader;
}  // namespace secure_endpoint_bit

// What one datagram brought, in arrival order.
struct SecureMessages {
  GenericMessages stateless;
  GenericMessages volatile_secure;
};

class SecurityBuiltinStack {
 public:
  SecurityBuiltinStack(const rtps::GuidPrefix& prefix, rtps::VendorId vendor_id);

  // Matches each endpoint pair the participant announces completely, reached at its metatraffic
  // unicast locator, else its default unicast locator, else nowhere. Our own changes nothing.
  void handle_remote_endpoints(const DiscoveredParticipant& participant);
  void on_participants_removed(const std::set<rtps::GuidPrefix>& gone);

  // The submessages routed to the secure endpoints.
  SecureMessages handle_datagram(const rtps::ReceivedDatagram& datagram, Elapsed now);

  // The volatile secure writer's output first, then the reader's.
  CodecResult<std::vector<rtps::OutboundDatagram>> poll(Elapsed now);

  const StatelessMessageWriter& stateless_writer() const { return stateless_writer_; }
  const StatelessMessageReader& stateless_reader() const { return stateless_reader_; }
  const rtps::ReliableWriter& volatile_writer() const { return volatile_writer_; }
  const VolatileSecureMessageReader& volatile_reader() const { return volatile_reader_; }

 private:
  void handle(const rtps::ReceivedSubmessage& received, Elapsed now, SecureMessages& out);

  StatelessMessageWriter stateless_writer_;
  StatelessMessageReader stateless_reader_;
  rtps::ReliableWriter volatile_writer_;
  VolatileSecureMessageReader volatile_reader_;
  rtps::GuidPrefix prefix_;
};

}  // namespace nimbrel::discovery
