// Joining a domain for a while: starts a participant, installs the builtin sinks, waits, and
// turns what they collected into a `DomainView`.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "tools/common/topic_filter.hpp"
#include "tools/discover/domain_view.hpp"

namespace nimbrel::discover {

// The start-up error text of the runtime on failure. With `types`, each writer's type as far as it
// was fetched in that time; only of the topics `filter` selects.
std::expected<DomainView, std::string> listen(std::uint32_t domain, std::uint64_t duration_ms,
                                              bool types, const tools::TopicFilter& filter);

}  // namespace nimbrel::discover
