#include "rtps/endpoint_parameters.hpp"

#include <utility>

#include "cdr/buffer.hpp"
#include "rtps/data_representation.hpp"

namespace nimbrel::rtps {
namespace {

constexpr bool le = true;

void push_kind_and_duration(ParameterList& list, std::uint16_t id, std::uint32_t kind,
                            RtpsDuration duration) {
  Parameter p{id, {}};
  WireWriter w(p.value, le);
  w.write_u32(kind);
  w.write_i32(duration.seconds);
  w.write_u32(duration.fraction);
  list.push(std::move(p));
}

}  // namespace

WireResult<void> push_encoded(ParameterList& list, std::uint16_t id,
                              WireResult<std::vector<std::byte>> value) {
  if (!value) return std::unexpected(value.error());
  list.push(Parameter{id, std::move(*value)});
  return {};
}

WireResult<void> push_endpoint_qos(ParameterList& list, const EndpointBuiltinTopicData& e) {
  list.push_guid(pid::participant_guid, e.participant_guid);
  list.push_guid(pid::endpoint_guid, e.endpoint_guid);
  if (auto ok = push_encoded(list, pid::topic_name, encode_cdr_string_le(e.topic_name)); !ok) {
    return ok;
  }
  if (auto ok = push_encoded(list, pid::type_name, encode_cdr_string_le(e.type_name)); !ok) {
    return ok;
  }
  list.push_u32(pid::durability, static_cast<std::uint32_t>(e.durability), le);
  push_kind_and_duration(list, pid::reliability, static_cast<std::uint32_t>(e.reliability.kind),
                         e.reliability.max_blocking_time);
  list.push_u32(pid::ownership, static_cast<std::uint32_t>(e.ownership), le);
  push_kind_and_duration(list, pid::liveliness, static_cast<std::uint32_t>(e.liveliness.kind),
                         e.liveliness.lease_duration);
  list.push_duration(pid::deadline, e.deadline, le);
  if (!e.partition.empty()) {
    if (auto ok = push_encoded(list, pid::partition, encode_partition_le(e.partition)); !ok) {
      return ok;
    }
  }
  const std::pair<std::uint16_t, const std::vector<std::byte>*> octets[] = {
      {pid::user_data, &e.user_data},
      {pid::topic_data, &e.topic_data},
      {pid::group_data, &e.group_data},
  };
  for (const auto& [id, bytes] : octets) {
    if (bytes->empty()) continue;
    if (auto ok = push_encoded(list, id, encode_octet_seq_le(*bytes)); !ok) return ok;
  }
  if (e.type_information) list.push(pid::type_information, *e.type_information);
  return {};
}

WireResult<void> push_endpoint_extensions(ParameterList& list, const EndpointBuiltinTopicData& e) {
  if (e.endpoint_security_info) {
    Parameter p{pid::endpoint_security_info, {}};
    WireWriter w(p.value, le);
    w.write_u32(e.endpoint_security_info->endpoint_security_attributes);
    w.write_u32(e.endpoint_security_info->plugin_endpoint_security_attributes);
    list.push(std::move(p));
  }
  if (e.service_instance_name) {
    auto name = encode_cdr_string_le(*e.service_instance_name);
    if (auto ok = push_encoded(list, pid::service_instance_name, std::move(name)); !ok) return ok;
  }
  if (e.related_entity_guid) list.push_guid(pid::related_entity_guid, *e.related_entity_guid);
  if (e.topic_aliases) {
    if (auto ok = push_encoded(list, pid::topic_aliases, encode_partition_le(*e.topic_aliases));
        !ok) {
      return ok;
    }
  }
  if (e.type_identifier) {
    cdr::BufferWriter writer(/*little_endian=*/true);
    if (!e.type_identifier->encode_into(writer)) {
      return std::unexpected(WireError::malformed("type_identifier encoding failed"));
    }
    list.push(Parameter{pid::type_identifier, std::move(writer).take()});
  }
  if (!e.data_representation.empty()) {
    auto ids = data_representation::encode_list_le(e.data_representation);
    if (auto ok = push_encoded(list, pid::data_representation, std::move(ids)); !ok) return ok;
  }
  return {};
}

WireResult<std::vector<std::byte>> to_pl_cdr_le_payload(const ParameterList& list) {
  std::vector<std::byte> out{std::byte{0x00}, std::byte{0x03}, std::byte{0x00}, std::byte{0x00}};
  WireWriter w(out, le);
  if (auto ok = list.write_to(w); !ok) return std::unexpected(ok.error());
  return out;
}

}  // namespace nimbrel::rtps
