// The runtime's side of the standard type lookup service: remote writers' types are fetched as
// SEDP announces them, requests from other participants are answered from what is held, and the
// reliable endpoints are matched, fed and ticked. Each component is locked on its own; datagrams
// are sent after every lock is released, through the metatraffic sending socket.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>

#include "dcps/participant/participant.hpp"
#include "discovery/sedp/stack.hpp"
#include "discovery/spdp.hpp"
#include "discovery/type_lookup/type_exchange.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"

namespace nimbrel::dcps {

void handle_standard_type_lookup(Participant& participant, const rtps::ReceivedDatagram& datagram,
                                 Elapsed now);

void type_lookup_on_participant_discovered(Participant& participant,
                                           const discovery::DiscoveredParticipant& discovered);
void type_lookup_on_participants_removed(Participant& participant,
                                         const std::set<rtps::GuidPrefix>& gone);
// New publications start fetches; disposed ones are forgotten.
void type_lookup_on_sedp_events(Participant& participant, const discovery::SedpEvents& events);

// Heartbeats, repairs and acknowledgements; requests retried or given up; metrics refreshed.
void tick_standard_type_lookup(Participant& participant, Elapsed now);

std::optional<discovery::WriterType> writer_type(Participant& participant,
                                                 const rtps::Guid& writer);
discovery::TypeState type_state(Participant& participant, const rtps::Guid& writer);
discovery::TypeArrivals type_arrivals_since(Participant& participant, std::uint64_t generation);
// The top-level type first, then its dependencies; false when one does not hash to its identifier
// or the exchange is full or poisoned.
bool add_type_objects(Participant& participant, std::span<const discovery::TypeEntry> closure);

}  // namespace nimbrel::dcps
