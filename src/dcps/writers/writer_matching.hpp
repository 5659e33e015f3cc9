// Endpoint matching of local user writers against the remote subscriptions SEDP has cached: the
// mirror of reader matching. A compatible reader becomes a reader proxy of the writer, reached at
// its participant's default unicast locator, with a negotiated data representation; an
// incompatible one is counted in the writer's offered incompatible-QoS status.
#pragma once

#include <functional>

#include "dcps/participant/participant.hpp"
#include "dcps/writers/user_writer.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

// A reader matched before keeps its proxy and what it has acknowledged; only its locators follow
// a new announcement. A new reader of a volatile writer is owed only what is written after it.
void match_local_writer_against_cache(Participant& participant, UserWriters& writers,
                                      const rtps::EntityId& writer);

// Every local user writer, in entity-id order.
void match_local_writers_against_cache(Participant& participant, UserWriters& writers);

// Drops the proxies of remote readers that are gone from every local user writer.
void forget_readers_in_user_writers(UserWriters& writers,
                                    const std::function<bool(const rtps::Guid&)>& gone);

}  // namespace nimbrel::dcps
