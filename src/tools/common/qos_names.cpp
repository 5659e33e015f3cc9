#include "tools/common/qos_names.hpp"

namespace nimbrel::tools {

const char* reliability_name(rtps::ReliabilityKind kind) {
  return kind == rtps::ReliabilityKind::Reliable ? "reliable" : "best-effort";
}

const char* durability_name(rtps::DurabilityKind kind) {
  switch (kind) {
    case rtps::DurabilityKind::Volatile:
      return "volatile";
    case rtps::DurabilityKind::TransientLocal:
      return "transient-local";
    case rtps::DurabilityKind::Transient:
      return "transient";
    case rtps::DurabilityKind::Persistent:
      break;
  }
  return "persistent";
}

const char* ownership_name(rtps::OwnershipKind kind) {
  return kind == rtps::OwnershipKind::Exclusive ? "exclusive" : "shared";
}

std::string vendor_text(const rtps::VendorId& vendor) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < vendor.size(); ++i) {
    if (i > 0) out += '.';
    out += digits[vendor[i] >> 4];
    out += digits[vendor[i] & 0xF];
  }
  return out;
}

bool is_keyed(const rtps::Guid& endpoint) {
  return endpoint.entity_id.entity_kind == rtps::EntityKind::UserWriterWithKey ||
         endpoint.entity_id.entity_kind == rtps::EntityKind::UserReaderWithKey;
}

}  // namespace nimbrel::tools
