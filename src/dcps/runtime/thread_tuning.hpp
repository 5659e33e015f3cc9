// Real-time priority and CPU affinity of the runtime's threads, applied by each thread to itself
// when it starts. A setting the system refuses is reported on stderr and otherwise ignored: the
// thread runs on with what it has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel::dcps {

// CPU indices from this one on do not fit the affinity set and are left out.
inline constexpr std::size_t max_affinity_cpus = 1024;

// Returns the diagnostics it printed, in order, so that callers and tests can see them.
std::vector<std::string> apply_thread_tuning(std::string_view label,
                                             std::optional<std::int32_t> priority,
                                             const std::optional<std::vector<std::size_t>>& cpus);

}  // namespace nimbrel::dcps
