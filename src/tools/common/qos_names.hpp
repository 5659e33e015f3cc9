// How the tools name a writer's or reader's QoS and vendor in what they print and store, one name
// for each, so that a listing of the domain and a recording's channels say the same.
#pragma once

#include <string>

#include "rtps/publication_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::tools {

const char* reliability_name(rtps::ReliabilityKind kind);  // "reliable", "best-effort"
const char* durability_name(rtps::DurabilityKind kind);    // "volatile", "transient-local", ...
const char* ownership_name(rtps::OwnershipKind kind);      // "shared", "exclusive"
std::string vendor_text(const rtps::VendorId& vendor);     // "01.10"
// From the endpoint's entity kind, as Fast DDS and Cyclone DDS judge it.
bool is_keyed(const rtps::Guid& endpoint);

}  // namespace nimbrel::tools
