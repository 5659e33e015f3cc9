// The one way a participant-level announcement leaves (SPDP announcements and goodbyes, WLP
// pulses): a single DATA of a best-effort builtin writer, numbered in turn, alone in a datagram
// under the participant's prefix.
#pragma once

#include <cstddef>
#include <vector>

#include "rtps/submessages.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery::detail {

// `data` comes addressed and with its payload or inline QoS; it takes the number `next_sequence`,
// which then moves on. When the numbers have run out none is used and the error says `overflow`.
CodecResult<std::vector<std::byte>> participant_datagram(const rtps::GuidPrefix& prefix,
                                                         rtps::VendorId vendor_id,
                                                         rtps::SequenceNumber& next_sequence,
                                                         rtps::DataSubmessage data,
                                                         const char* overflow);

}  // namespace nimbrel::discovery::detail
