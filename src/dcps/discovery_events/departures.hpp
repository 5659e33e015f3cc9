// Letting go of what left the domain: a participant that said goodbye or whose lease ran out takes
// its proxies, pending repairs, cached endpoints and liveliness entry with it, in every component
// that holds any; a disposed publication leaves the readers it was matched with, a disposed
// subscription the writers. Each component is locked on its own, one after the other.
#pragma once

#include <set>
#include <vector>

#include "dcps/discovery_events/targets.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

// The participants are already out of the participants cache.
void forget_participants(EventTargets targets, const std::set<rtps::GuidPrefix>& gone);

// Writers disposed or unregistered through SEDP.
void forget_writers(UserReaders& readers, const std::vector<rtps::Guid>& gone, Elapsed now);

// Readers disposed or unregistered through SEDP.
void forget_readers(UserWriters& writers, const std::vector<rtps::Guid>& gone);

// Removes the participants whose lease ran out before `now`, and all that hangs on them.
void expire_participants(EventTargets targets, Elapsed now);

}  // namespace nimbrel::dcps
