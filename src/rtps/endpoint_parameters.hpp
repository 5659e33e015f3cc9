// The SEDP parameters that publications and subscriptions share, in the order this system
// announces them. The two record encoders put their own fields between the QoS part and the
// extensions, then frame the list as a PL_CDR_LE `PlCdrPayload`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "rtps/parameter_list.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

// GUIDs, names, durability, reliability, ownership, liveliness, deadline, partition, user, topic
// and group data, type information.
CodecResult<void> push_endpoint_qos(ParameterList& list, const EndpointBuiltinTopicData& e);

// Security info, service instance name, related entity, topic aliases, type identifier, data
// representations.
CodecResult<void> push_endpoint_extensions(ParameterList& list, const EndpointBuiltinTopicData& e);

// Appends a parameter whose value `encode(WireWriter&)` writes little-endian, passing its error on.
template <typename Encode>
CodecResult<void> push_encoded(ParameterList& list, std::uint16_t id, Encode encode) {
  Parameter parameter{id, {}};
  WireWriter writer(parameter.value, /*little_endian=*/true);
  if (auto ok = encode(writer); !ok) return ok;
  list.push(std::move(parameter));
  return {};
}

}  // namespace nimbrel::rtps
