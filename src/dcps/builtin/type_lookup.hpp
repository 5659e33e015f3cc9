// The runtime's side of the type lookup service: type lookup DATA from any receive socket goes to
// the server (requests) or the client (replies), each under its own lock; replies are sent to the
// request's source address, and completed callbacks run only after the client's lock is released.
// API callers add the types the participant serves and ask remote participants for theirs.
#pragma once

#include <expected>
#include <span>

#include "dcps/participant/participant.hpp"
#include "discovery/type_lookup/client.hpp"
#include "foundation/time.hpp"
#include "rtps/receiver.hpp"
#include "types/type_object.hpp"

namespace nimbrel::dcps {

// The type lookup submessages of a datagram; the datagram's other submessages are left to the
// other consumers.
void handle_type_lookup(Participant& participant, const rtps::ReceivedDatagram& datagram);

// Through the user unicast socket, to UDPv4 destinations only; a failed send is not repeated.
void send_type_lookup_reply(const Participant& participant, const rtps::Locator& destination,
                            std::span<const std::byte> datagram);

enum class AddTypeError { Unencodable, ServerPoisoned };
std::expected<void, AddTypeError> add_type(Participant& participant,
                                           const types::EquivalenceHash& hash,
                                           types::TypeObject object);

enum class TypeLookupRequestError { UnknownParticipant, ClientPoisoned, Unencodable };
// Sent to the replier's metatraffic unicast locator (else its default one). The callback runs
// once: with the reply, or when the request times out or is pushed out by newer ones.
std::expected<discovery::TypeLookupClient::RequestId, TypeLookupRequestError> request_type_lookup(
    Participant& participant, const rtps::GuidPrefix& replier,
    const discovery::TypeLookupRequest& request, discovery::TypeLookupCallback callback);

// Gives up the requests whose time is up; run by the tick thread.
void expire_type_lookups(Participant& participant, Elapsed now);

}  // namespace nimbrel::dcps
