// GUID prefixes for new runtimes: the process id and the wall clock make prefixes of different
// processes differ, a process-wide counter makes two runtimes of one process differ even when they
// are created within the same clock tick.
#pragma once

#include <cstdint>

#include "rtps/wire_types.hpp"

namespace nimbrel::c_api {

// Bytes 0-3: `pid` little-endian; bytes 4-11: `wall_ns + counter` (wrapping) little-endian.
rtps::GuidPrefix make_guid_prefix(std::uint32_t pid, std::uint64_t wall_ns, std::uint32_t counter);

// The prefix for the next runtime of this process; advances the counter.
rtps::GuidPrefix random_guid_prefix();

}  // namespace nimbrel::c_api
