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
// Alive unless a DATA without data (its key, or inline QoS alone) says otherwise.
std::uint8_t change_kind_of(const DataSubmessage& data);

// Inline QoS naming `key` with the status of `kind`.
ParameterList lifecycle_qos(const KeyHash& key, std::uint8_t kind);

// The goodbye of a builtin-topic instance (a participant or an endpoint, keyed by its GUID): a
// DATA that disposes and unregisters it, naming it by key hash and, for readers that keep none,
// by a PL_CDR_LE payload holding only the key under `key_pid`. Ids and number are the writer's.
DataSubmessage builtin_goodbye(std::uint16_t key_pid, const Guid& instance);

// The GUID a builtin-topic lifecycle change names: its key hash, else the `key_pid` parameter of
// its payload.
std::optional<Guid> builtin_instance(const std::optional<KeyHash>& key_hash,
                                     const SharedBytes& payload, std::uint16_t key_pid);

}  // namespace nimbrel::rtps
