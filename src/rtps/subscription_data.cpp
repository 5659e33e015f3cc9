#include "rtps/subscription_data.hpp"

#include <utility>

#include "rtps/endpoint_parameters.hpp"
#include "rtps/participant_data.hpp"

namespace nimbrel::rtps {

CodecResult<void> SubscriptionBuiltinTopicData::encode(WireWriter& writer) const {
  ParameterList list;
  if (auto ok = push_endpoint_qos(list, *this); !ok) return ok;
  if (content_filter) {
    auto ok = push_encoded(list, pid::content_filter_property,
                           [&](WireWriter& w) { return content_filter->encode(w); });
    if (!ok) return ok;
  }
  if (auto ok = push_endpoint_extensions(list, *this); !ok) return ok;
  return PlCdrPayload{std::move(list)}.encode(writer);
}

CodecResult<SubscriptionBuiltinTopicData> SubscriptionBuiltinTopicData::decode(
    WireReader& reader, VendorId sender_vendor) {
  auto parsed = PlCdrPayload::decode(reader);
  if (!parsed) return std::unexpected(parsed.error());
  auto common = decode_endpoint_fields(parsed->parameters, parsed->little_endian, sender_vendor);
  if (!common) return std::unexpected(common.error());
  SubscriptionBuiltinTopicData sub;
  static_cast<EndpointBuiltinTopicData&>(sub) = std::move(*common);
  if (const auto* p = parsed->parameters.find(pid::content_filter_property)) {
    auto r = p->reader(parsed->little_endian);
    if (auto filter = ContentFilterProperty::decode(r)) {
      sub.content_filter = std::move(*filter);
    }
  }
  return sub;
}

}  // namespace nimbrel::rtps
