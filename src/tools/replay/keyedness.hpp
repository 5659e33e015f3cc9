// Whether a replay writer is keyed: peers match a writer only with readers of the same keyedness
// (the entity kinds 0x02/0x03 and 0x07/0x04), and a .nbrlrec recording (or a foreign MCAP file)
// does not say which its topic had. So the remote readers found for the topic decide: keyless when
// more of them are keyless than keyed, keyed otherwise (also when none is found yet).
#pragma once

#include <map>
#include <string>

#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::replay {

bool choose_keyed(const std::map<rtps::Guid, rtps::SubscriptionBuiltinTopicData>& readers,
                  const std::string& topic, const std::string& type);

// How many of the readers are for the topic and type.
std::size_t readers_of(const std::map<rtps::Guid, rtps::SubscriptionBuiltinTopicData>& readers,
                       const std::string& topic, const std::string& type);

}  // namespace nimbrel::replay
