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

CodecResult<void> push_endpoint_qos(ParameterList& list, const EndpointBuiltinTopicData& e) {
  list.push_guid(pid::participant_guid, e.participant_guid);
  list.push_guid(pid::endpoint_guid, e.endpoint_guid);
  const auto padded_string = [](const std::string& text) {
    return [&text](WireWriter& w) { return write_padded_string(w, text); };
  };
  if (auto ok = push_encoded(list, pid::topic_name, padded_string(e.topic_name)); !ok) return ok;
  if (auto ok = push_encoded(list, pid::type_name, padded_string(e.type_name)); !ok) return ok;
  list.push_u32(pid::durability, static_cast<std::uint32_t>(e.durability), le);
  push_kind_and_duration(list, pid::reliability, static_cast<std::uint32_t>(e.reliability.kind),
                         e.reliability.max_blocking_time);
  list.push_u32(pid::ownership, static_cast<std::uint32_t>(e.ownership), le);
  push_kind_and_duration(list, pid::liveliness, static_cast<std::uint32_t>(e.liveliness.kind),
                         e.liveliness.lease_duration);
  list.push_duration(pid::deadline, e.deadline, le);
  if (!e.partition.empty()) {
    auto ok = push_encoded(list, pid::partition,
                           [&](WireWriter& w) { return write_string_seq(w, e.partition); });
    if (!ok) return ok;
  }
  const std::pair<std::uint16_t, const std::vector<std::byte>*> octets[] = {
      {pid::user_data, &e.user_data},
      {pid::topic_data, &e.topic_data},
      {pid::group_data, &e.group_data},
  };
  for (const auto& [id, bytes] : octets) {
    if (bytes->empty()) continue;
    auto ok = push_encoded(list, id, [&](WireWriter& w) { return write_octet_seq(w, *bytes); });
    if (!ok) return ok;
  }
  if (e.type_information) list.push(pid::type_information, *e.type_information);
  if (e.type_object) list.push(pid::type_object, *e.type_object);
  return {};
}

CodecResult<void> push_endpoint_extensions(ParameterList& list, const EndpointBuiltinTopicData& e) {
  if (e.endpoint_security_info) {
    Parameter p{pid::endpoint_security_info, {}};
    WireWriter w(p.value, le);
    w.write_u32(e.endpoint_security_info->endpoint_security_attributes);
    w.write_u32(e.endpoint_security_info->plugin_endpoint_security_attributes);
    list.push(std::move(p));
  }
  if (e.service_instance_name) {
    auto ok = push_encoded(list, pid::service_instance_name, [&](WireWriter& w) {
      return write_padded_string(w, *e.service_instance_name);
    });
    if (!ok) return ok;
  }
  if (e.related_entity_guid) list.push_guid(pid::related_entity_guid, *e.related_entity_guid);
  if (e.topic_aliases) {
    auto ok = push_encoded(list, pid::topic_aliases,
                           [&](WireWriter& w) { return write_string_seq(w, *e.topic_aliases); });
    if (!ok) return ok;
  }
  if (e.type_identifier) {
    auto id = cdr::encode_bytes(*e.type_identifier, /*little_endian=*/true);
    if (!id) return std::unexpected(CodecError::malformed("type_identifier encoding failed"));
    list.push(Parameter{pid::type_identifier, std::move(*id)});
  }
  if (!e.data_representation.empty()) {
    auto ok = push_encoded(list, pid::data_representation, [&](WireWriter& w) {
      return data_representation::write_list(w, e.data_representation);
    });
    if (!ok) return ok;
  }
  return {};
}

}  // namespace nimbrel::rtps
