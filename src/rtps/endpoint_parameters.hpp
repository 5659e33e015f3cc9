// The SEDP parameters that publications and subscriptions share, in the order this system
// announces them, and the PL_CDR_LE framing of a finished list. The two record encoders put their
// own fields between the QoS part and the extensions.
#pragma once

#include <cstddef>
#include <vector>

#include "rtps/parameter_list.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

// GUIDs, names, durability, reliability, ownership, liveliness, deadline, partition, user, topic
// and group data, type information.
WireResult<void> push_endpoint_qos(ParameterList& list, const EndpointBuiltinTopicData& e);

// Security info, service instance name, related entity, topic aliases, type identifier, data
// representations.
WireResult<void> push_endpoint_extensions(ParameterList& list, const EndpointBuiltinTopicData& e);

// Appends an encoded value, passing an encoder's error on.
WireResult<void> push_encoded(ParameterList& list, std::uint16_t id,
                              WireResult<std::vector<std::byte>> value);

// The encapsulation PL_CDR_LE, the parameters and the sentinel.
WireResult<std::vector<std::byte>> to_pl_cdr_le_payload(const ParameterList& list);

}  // namespace nimbrel::rtps
