// The instance lifecycle a DATA carries in its inline QoS (DDSI-RTPS 2.5 section 9.6.4.9): the key
// hash names the instance, PID_STATUS_INFO says whether it was disposed or unregistered. Readers
// decode it; writers of disposes and goodbyes encode it.
#pragma once

#include <cstdint>
#include <optional>

#include "rtps/history_cache.hpp"
#include "rtps/parameter_list.hpp"
#include "rtps/submessages.hpp"

namespace nimbrel::rtps {

std::optional<KeyHash> key_hash_of(const DataSubmessage& data);
// Alive unless a DATA carrying its key says otherwise.
std::uint8_t change_kind_of(const DataSubmessage& data);

// Inline QoS naming `key` with the status of `kind`.
ParameterList lifecycle_qos(const KeyHash& key, std::uint8_t kind);

}  // namespace nimbrel::rtps
