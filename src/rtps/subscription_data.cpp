#include "rtps/subscription_data.hpp"

#include <utility>

#include "rtps/endpoint_parameters.hpp"
#include "rtps/participant_data.hpp"

namespace nimbrel::rtps {

WireResult<std::vector<std::byte>> SubscriptionBuiltinTopicData::to_pl_cdr_le() const {
  ParameterList list;
  if (auto ok = push_endpoint_qos(list, *this); !ok) return std::unexpected(ok.error());
  if (content_filter) {
    auto filter = encode_content_filter_property_le(*content_filter);
    if (auto ok = push_encoded(list, pid::content_filter_property, std::move(filter)); !ok) {
      return std::unexpected(ok.error());
    }
  }
  if (auto ok = push_endpoint_extensions(list, *this); !ok) return std::unexpected(ok.error());
  return to_pl_cdr_le_payload(list);
}

WireResult<SubscriptionBuiltinTopicData> SubscriptionBuiltinTopicData::from_pl_cdr_le(
    std::span<const std::byte> payload, VendorId sender_vendor) {
  auto parsed = parse_pl_cdr_payload(payload);
  if (!parsed) return std::unexpected(parsed.error());
  auto common = decode_endpoint_fields(parsed->parameters, parsed->little_endian, sender_vendor);
  if (!common) return std::unexpected(common.error());
  SubscriptionBuiltinTopicData sub;
  static_cast<EndpointBuiltinTopicData&>(sub) = std::move(*common);
  if (const auto* p = parsed->parameters.find(pid::content_filter_property)) {
    if (auto filter = decode_content_filter_property(p->value, parsed->little_endian)) {
      sub.content_filter = std::move(*filter);
    }
  }
  return sub;
}

}  // namespace nimbrel::rtps
