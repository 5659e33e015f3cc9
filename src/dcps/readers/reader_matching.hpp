// Endpoint matching of local user readers against the remote publications SEDP has cached. A
// compatible writer becomes a writer proxy of the reader, reached at its participant's default
// unicast locator; an incompatible one is counted in the reader's incompatible-QoS status. Runs at
// registration and again for every reader on every SEDP event that brings endpoints.
#pragma once

#include <string>
#include <vector>

#include "dcps/participant/participant.hpp"
#include "dcps/readers/user_reader.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

// Matching runs per reader handle: `reader` is the handle's id; the id of one of its other
// endpoints does nothing. Each compatible writer goes to the handle's endpoint of its keyedness and
// reliability, which is announced first if the handle has none yet.
// A writer matched before keeps its proxy and everything received from it; only its locators
// follow a new announcement. Remote writers are never unmatched.
void match_local_reader_against_cache(Participant& participant, UserReaders& readers,
                                      const rtps::EntityId& reader);

// Every local user reader, in entity-id order.
void match_local_readers_against_cache(Participant& participant, UserReaders& readers);

}  // namespace nimbrel::dcps
