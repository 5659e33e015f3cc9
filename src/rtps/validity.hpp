// The validity rules of the entity submessages (DDSI-RTPS 2.5 section 8.3.8): a submessage that
// decodes can still be invalid, and a receiver must then ignore it and the rest of its message.
// Kept apart from the code that acts on submessages, so that no handler sees an invalid one.
#pragma once

#include <optional>

#include "rtps/datagram.hpp"

namespace nimbrel::rtps {

// Why the submessage is invalid, or nothing when it may be acted upon.
std::optional<const char*> invalid_reason(const ParsedSubmessage& submessage);

}  // namespace nimbrel::rtps
