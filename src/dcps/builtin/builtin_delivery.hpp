// Where discovery results become builtin-topic samples: the SPDP hook hands over each accepted
// participant, the SEDP path each batch of endpoint events. Nothing happens until a caller
// installs sinks; an installed ignore filter keeps what it names out of them.
#pragma once

#include <memory>

#include "dcps/builtin/builtin_subscriber.hpp"
#include "dcps/builtin/ignore_filter.hpp"
#include "dcps/participant/participant.hpp"
#include "discovery/sedp/stack.hpp"
#include "rtps/participant_data.hpp"

namespace nimbrel::dcps {

// What the application installed to see the builtin topics; both optional.
struct BuiltinTopics {
  // Installed by API callers; snapshotted by both metatraffic threads.
  Guarded<std::shared_ptr<BuiltinSinks>> sinks;
  Guarded<std::shared_ptr<IgnoreFilter>> ignore_filter;
};

// Clones of the installed handles, taken under their locks; null when absent or poisoned.
std::shared_ptr<BuiltinSinks> builtin_sinks_snapshot(BuiltinTopics& builtin);
std::shared_ptr<IgnoreFilter> ignore_filter_snapshot(BuiltinTopics& builtin);

// Installs (or, with null, removes) the sinks and fills them with what is already known, so that
// a late caller misses nothing discovered before it came.
void install_builtin_sinks(Participant& participant, BuiltinTopics& builtin,
                           std::shared_ptr<BuiltinSinks> sinks);
void install_ignore_filter(BuiltinTopics& builtin, std::shared_ptr<IgnoreFilter> filter);

void push_participant_sample(BuiltinTopics& builtin, const rtps::ParticipantBuiltinTopicData& data);
void push_endpoint_samples(BuiltinTopics& builtin, const discovery::SedpEvents& events);

}  // namespace nimbrel::dcps
