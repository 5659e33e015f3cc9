// Where discovery results become builtin-topic samples: the SPDP hook hands over each accepted
// participant, the SEDP path each batch of endpoint events. Nothing happens until a caller
// installs sinks; an installed ignore filter keeps what it names out of them.
#pragma once

#include <memory>

#include "dcps/builtin/builtin_subscriber.hpp"
#include "dcps/builtin/ignore_filter.hpp"
#include "dcps/runtime/runtime_state.hpp"
#include "discovery/sedp/stack.hpp"
#include "rtps/participant_data.hpp"

namespace nimbrel::dcps {

// Clones of the installed handles, taken under their locks; null when absent or poisoned.
std::shared_ptr<BuiltinSinks> builtin_sinks_snapshot(RuntimeState& state);
std::shared_ptr<IgnoreFilter> ignore_filter_snapshot(RuntimeState& state);

// Installs (or, with null, removes) the sinks and fills them with what is already known, so that
// a late caller misses nothing discovered before it came.
void install_builtin_sinks(RuntimeState& state, std::shared_ptr<BuiltinSinks> sinks);
void install_ignore_filter(RuntimeState& state, std::shared_ptr<IgnoreFilter> filter);

void push_participant_sample(RuntimeState& state, const rtps::ParticipantBuiltinTopicData& data);
void push_endpoint_samples(RuntimeState& state, const discovery::SedpEvents& events);

}  // namespace nimbrel::dcps
