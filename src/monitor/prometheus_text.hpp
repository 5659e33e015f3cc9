// Renders a registry in the Prometheus text exposition format (version 0.0.4), the body a
// /metrics endpoint serves. Series are grouped by name, sorted by name and labels, so that two
// scrapes of the same state read the same.
#pragma once

#include <string>

#include "monitor/registry.hpp"

namespace nimbrel::monitor {

inline constexpr const char* prometheus_content_type = "text/plain; version=0.0.4; charset=utf-8";

// Series whose name or label keys Prometheus would reject are left out, as are series of a name
// already given another kind: one bad series must not make the whole scrape fail.
std::string to_prometheus_text(Registry& registry);

}  // namespace nimbrel::monitor
