#include "rtps/subscription_data.hpp"

#include <utility>

#include "cdr/buffer.hpp"
#include "rtps/data_representation.hpp"
#include "rtps/participant_data.hpp"

namespace nimbrel::rtps {

namespace {

constexpr bool le = true;

// Appends an encoded value, passing an encoder's error on.
WireResult<void> push_encoded(ParameterList& list, std::uint16_t id,
                              WireResult<std::vector<std::byte>> value) {
  if (!value) return std::unexpected(value.error());
  list.push(Parameter{id, std::move(*value)});
  return {};
}

void push_kind_and_duration(ParameterList& list, std::uint16_t id, std::uint32_t kind,
                            RtpsDuration duration) {
  Parameter p{id, {}};
  WireWriter w(p.value, le);
  w.write_u32(kind);
  w.write_i32(duration.seconds);
  w.write_u32(duration.fraction);
  list.push(std::move(p));
}

WireResult<ParameterList> parameters_of(const SubscriptionBuiltinTopicData& s) {
  ParameterList list;
  list.push_guid(pid::participant_guid, s.participant_guid);
  list.push_guid(pid::endpoint_guid, s.endpoint_guid);
  if (auto ok = push_encoded(list, pid::topic_name, encode_cdr_string_le(s.topic_name)); !ok) {
    return std::unexpected(ok.error());
  }
  if (auto ok = push_encoded(list, pid::type_name, encode_cdr_string_le(s.type_name)); !ok) {
    return std::unexpected(ok.error());
  }
  list.push_u32(pid::durability, static_cast<std::uint32_t>(s.durability), le);
  push_kind_and_duration(list, pid::reliability, static_cast<std::uint32_t>(s.reliability.kind),
                         s.reliability.max_blocking_time);
  list.push_u32(pid::ownership, static_cast<std::uint32_t>(s.ownership), le);
  push_kind_and_duration(list, pid::liveliness, static_cast<std::uint32_t>(s.liveliness.kind),
                         s.liveliness.lease_duration);
  list.push_duration(pid::deadline, s.deadline, le);
  if (!s.partition.empty()) {
    if (auto ok = push_encoded(list, pid::partition, encode_partition_le(s.partition)); !ok) {
      return std::unexpected(ok.error());
    }
  }
  const std::pair<std::uint16_t, const std::vector<std::byte>*> octets[] = {
      {pid::user_data, &s.user_data},
      {pid::topic_data, &s.topic_data},
      {pid::group_data, &s.group_data},
  };
  for (const auto& [id, bytes] : octets) {
    if (bytes->empty()) continue;
    if (auto ok = push_encoded(list, id, encode_octet_seq_le(*bytes)); !ok) {
      return std::unexpected(ok.error());
    }
  }
  if (s.type_information) list.push(pid::type_information, *s.type_information);
  if (s.content_filter) {
    auto filter = encode_content_filter_property_le(*s.content_filter);
    if (auto ok = push_encoded(list, pid::content_filter_property, std::move(filter)); !ok) {
      return std::unexpected(ok.error());
    }
  }
  if (s.endpoint_security_info) {
    Parameter p{pid::endpoint_security_info, {}};
    WireWriter w(p.value, le);
    w.write_u32(s.endpoint_security_info->endpoint_security_attributes);
    w.write_u32(s.endpoint_security_info->plugin_endpoint_security_attributes);
    list.push(std::move(p));
  }
  if (s.service_instance_name) {
    auto name = encode_cdr_string_le(*s.service_instance_name);
    if (auto ok = push_encoded(list, pid::service_instance_name, std::move(name)); !ok) {
      return std::unexpected(ok.error());
    }
  }
  if (s.related_entity_guid) list.push_guid(pid::related_entity_guid, *s.related_entity_guid);
  if (s.topic_aliases) {
    if (auto ok = push_encoded(list, pid::topic_aliases, encode_partition_le(*s.topic_aliases));
        !ok) {
      return std::unexpected(ok.error());
    }
  }
  if (s.type_identifier) {
    cdr::BufferWriter writer(/*little_endian=*/true);
    if (!s.type_identifier->encode_into(writer)) {
      return std::unexpected(WireError::malformed("type_identifier encoding failed"));
    }
    list.push(Parameter{pid::type_identifier, std::move(writer).take()});
  }
  if (!s.data_representation.empty()) {
    auto ids = data_representation::encode_list_le(s.data_representation);
    if (auto ok = push_encoded(list, pid::data_representation, std::move(ids)); !ok) {
      return std::unexpected(ok.error());
    }
  }
  return list;
}

}  // namespace

WireResult<std::vector<std::byte>> SubscriptionBuiltinTopicData::to_pl_cdr_le() const {
  auto list = parameters_of(*this);
  if (!list) return std::unexpected(list.error());
  std::vector<std::byte> out{std::byte{0x00}, std::byte{0x03}, std::byte{0x00}, std::byte{0x00}};
  WireWriter w(out, le);
  if (auto ok = list->write_to(w); !ok) return std::unexpected(ok.error());
  return out;
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
