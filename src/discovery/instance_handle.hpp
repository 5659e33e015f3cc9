// Instance handles: the 64-bit keys under which the DCPS side (ignore filter, builtin topics)
// refers to a participant or endpoint. A handle is FNV-1a 64 over the 16 wire bytes of a GUID
// (or builtin-topic key); 0 is reserved for "no handle", so a hash of 0 becomes 1.
#pragma once

#include <cstdint>
#include <span>

#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

using InstanceHandle = std::uint64_t;

InstanceHandle instance_handle(std::span<const std::uint8_t, 16> key);
InstanceHandle instance_handle(const rtps::Guid& guid);

}  // namespace nimbrel::discovery
