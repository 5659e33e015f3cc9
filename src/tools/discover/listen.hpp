// Joining a domain for a while: starts a participant, installs the builtin sinks, waits, and
// turns what they collected into a `DomainView`.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "tools/discover/domain_view.hpp"

namespace nimbrel::discover {

// The start-up error text of the runtime on failure.
std::expected<DomainView, std::string> listen(std::uint32_t domain, std::uint64_t duration_ms);

}  // namespace nimbrel::discover
