#include "rtps/publication_data.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "cdr/buffer.hpp"
#include "rtps/data_representation.hpp"
#include "rtps/participant_data.hpp"
#include "rtps/property_list.hpp"

namespace nimbrel::rtps {

namespace {

constexpr std::size_t u32_max = std::numeric_limits<std::uint32_t>::max();
// A length field and a NUL: the least room a string in a list takes.
constexpr std::size_t min_string_size = 5;

std::size_t align4(std::size_t n) {
  return (n + 3) / 4 * 4;
}

// Padding cut off after a string makes the next read name the offset where it was due.
CodecResult<std::string> read_aligned_string(WireReader& r) {
  auto text = r.read_cdr_string();
  if (text) r.align_due(4);
  return text;
}

std::optional<std::string> optional_string(const Parameter* p, bool le) {
  if (p == nullptr) return std::nullopt;
  auto r = p->reader(le);
  auto text = r.read_cdr_string();
  if (!text) return std::nullopt;
  return std::move(*text);
}

std::vector<std::byte> octets_or_empty(const Parameter* p, bool le) {
  if (p == nullptr) return {};
  auto r = p->reader(le);
  return read_octet_seq(r).value_or(std::vector<std::byte>{});
}

// Whatever the payload's byte order: the identifier is an XCDR value of its own.
std::optional<types::TypeIdentifier> type_identifier_of(const Parameter* p) {
  if (p == nullptr) return std::nullopt;
  auto id = cdr::decode_bytes<types::TypeIdentifier>(p->value, /*little_endian=*/true);
  if (!id) return std::nullopt;
  return std::move(*id);
}

CodecResult<std::string> required_string(const ParameterList& list, std::uint16_t id, bool le,
                                         const char* missing) {
  const Parameter* p = list.find(id);
  if (p == nullptr) return std::unexpected(CodecError::malformed(missing));
  auto r = p->reader(le);
  return r.read_cdr_string();
}

}  // namespace

CodecResult<void> write_padded_string(WireWriter& w, std::string_view text) {
  if (auto ok = w.write_cdr_string(text); !ok) return ok;
  w.pad_to(4);
  return {};
}

CodecResult<void> write_string_seq(WireWriter& w, std::span<const std::string> names) {
  if (names.size() > u32_max) {
    return std::unexpected(CodecError::resource_limit("partition count exceeds u32::MAX"));
  }
  w.write_u32(static_cast<std::uint32_t>(names.size()));
  for (const auto& name : names) {
    if (auto ok = write_padded_string(w, name); !ok) return ok;
  }
  return {};
}

CodecResult<std::vector<std::string>> read_string_seq(WireReader& r) {
  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, r.read_u32());
  std::vector<std::string> names;
  names.reserve(std::min<std::size_t>(count, r.remaining() / min_string_size));
  for (std::uint32_t i = 0; i < count; ++i) {
    NIMBREL_READ_OR_RETURN(names.emplace_back(), read_aligned_string(r));
  }
  return names;
}

CodecResult<void> write_octet_seq(WireWriter& w, std::span<const std::byte> bytes) {
  if (bytes.size() > u32_max) {
    return std::unexpected(CodecError::resource_limit("octet sequence length exceeds u32::MAX"));
  }
  w.reserve(4 + align4(bytes.size()));
  w.write_u32(static_cast<std::uint32_t>(bytes.size()));
  w.write_bytes(bytes);
  w.pad_to(4);
  return {};
}

CodecResult<std::vector<std::byte>> read_octet_seq(WireReader& r) {
  std::uint32_t length = 0;
  NIMBREL_READ_OR_RETURN(length, r.read_u32());
  std::span<const std::byte> bytes;
  NIMBREL_READ_OR_RETURN(bytes, r.read_bytes(length));
  return std::vector<std::byte>(bytes.begin(), bytes.end());
}

CodecResult<void> ContentFilterProperty::encode(WireWriter& w) const {
  for (const auto* text : {&content_filtered_topic_name, &related_topic_name, &filter_class_name,
                           &filter_expression}) {
    if (auto ok = write_padded_string(w, *text); !ok) return ok;
  }
  return write_string_seq(w, expression_parameters);
}

CodecResult<ContentFilterProperty> ContentFilterProperty::decode(WireReader& r) {
  ContentFilterProperty filter;
  for (auto* text : {&filter.content_filtered_topic_name, &filter.related_topic_name,
                     &filter.filter_class_name, &filter.filter_expression}) {
    NIMBREL_READ_OR_RETURN(*text, read_aligned_string(r));
  }
  NIMBREL_READ_OR_RETURN(filter.expression_parameters, read_string_seq(r));
  return filter;
}

CodecResult<EndpointBuiltinTopicData> decode_endpoint_fields(const ParameterList& list, bool le,
                                                             VendorId sender_vendor) {
  const Parameter* endpoint = list.find(pid::endpoint_guid);
  const auto endpoint_guid = endpoint != nullptr ? endpoint->read_guid() : std::nullopt;
  if (!endpoint_guid) {
    return std::unexpected(CodecError::malformed("ENDPOINT_GUID missing or wrong length"));
  }
  EndpointBuiltinTopicData d;
  d.endpoint_guid = *endpoint_guid;
  auto topic = required_string(list, pid::topic_name, le, "TOPIC_NAME missing");
  if (!topic) return std::unexpected(topic.error());
  d.topic_name = std::move(*topic);
  auto type = required_string(list, pid::type_name, le, "TYPE_NAME missing");
  if (!type) return std::unexpected(type.error());
  d.type_name = std::move(*type);

  const Parameter* participant = list.find(pid::participant_guid);
  d.participant_guid = (participant != nullptr ? participant->read_guid() : std::nullopt)
                           .value_or(Guid{d.endpoint_guid.prefix, entity_ids::participant});
  if (const auto* p = list.find(pid::durability)) {
    if (const auto kind = p->read_u32(le)) {
      d.durability = *kind <= 3 ? static_cast<DurabilityKind>(*kind) : DurabilityKind::Volatile;
    }
  }
  if (const auto* p = list.find(pid::reliability)) {
    const auto kind = p->read_u32(le);
    const auto max_blocking_time = p->read_duration(le, /*offset=*/4);
    if (kind && max_blocking_time) {
      const bool reliable = *kind == static_cast<std::uint32_t>(ReliabilityKind::Reliable);
      d.reliability = {reliable ? ReliabilityKind::Reliable : ReliabilityKind::BestEffort,
                       *max_blocking_time};
    }
  }
  if (const auto* p = list.find(pid::ownership)) {
    if (const auto kind = p->read_u32(le)) {
      d.ownership = *kind == 1 ? OwnershipKind::Exclusive : OwnershipKind::Shared;
    }
  }
  if (const auto* p = list.find(pid::liveliness)) {
    const auto kind = p->read_u32(le);
    const auto lease_duration = p->read_duration(le, /*offset=*/4);
    if (kind && lease_duration) {
      d.liveliness = {*kind <= 2 ? static_cast<LivelinessKind>(*kind) : LivelinessKind::Automatic,
                      *lease_duration};
    }
  }
  if (const auto* p = list.find(pid::deadline)) {
    if (const auto period = p->read_duration(le)) d.deadline = *period;
  }
  if (const auto* p = list.find(pid::partition)) {
    auto r = p->reader(le);
    d.partition = read_string_seq(r).value_or(std::vector<std::string>{});
  }
  d.user_data = octets_or_empty(list.find(pid::user_data), le);
  d.topic_data = octets_or_empty(list.find(pid::topic_data), le);
  d.group_data = octets_or_empty(list.find(pid::group_data), le);
  if (const auto* p = list.find(pid::type_information)) d.type_information = p->value;
  if (const auto* p = list.find(pid::type_object)) d.type_object = p->value;
  if (const auto* p = list.find(pid::endpoint_security_info)) {
    auto r = p->reader(le);
    auto attributes = r.read_u32();
    auto plugin_attributes = r.read_u32();
    if (attributes && plugin_attributes) {
      d.endpoint_security_info = EndpointSecurityInfo{*attributes, *plugin_attributes};
    }
  }
  d.service_instance_name = optional_string(list.find(pid::service_instance_name), le);
  if (const auto* p = list.find(pid::related_entity_guid)) d.related_entity_guid = p->read_guid();
  if (const auto* p = list.find(pid::topic_aliases)) {
    auto r = p->reader(le);
    if (auto aliases = read_string_seq(r)) d.topic_aliases = std::move(*aliases);
  }
  if (sender_vendor == nimbrel_vendor_id) {
    d.type_identifier = type_identifier_of(list.find(pid::type_identifier));
  } else if (const auto* p = list.find(pid::type_identifier)) {
    d.foreign_pid_8002 = p->value;
  }
  if (const auto* p = list.find(pid::data_representation)) {
    auto r = p->reader(le);
    d.data_representation = data_representation::read_list(r);
  }
  return d;
}

CodecResult<PublicationBuiltinTopicData> PublicationBuiltinTopicData::decode(
    WireReader& reader, VendorId sender_vendor) {
  auto parsed = PlCdrPayload::decode(reader);
  if (!parsed) return std::unexpected(parsed.error());
  const bool le = parsed->little_endian;
  auto common = decode_endpoint_fields(parsed->parameters, le, sender_vendor);
  if (!common) return std::unexpected(common.error());
  PublicationBuiltinTopicData pub;
  static_cast<EndpointBuiltinTopicData&>(pub) = std::move(*common);
  if (const auto* p = parsed->parameters.find(pid::ownership_strength)) {
    if (const auto strength = p->read_i32(le)) pub.ownership_strength = *strength;
  }
  if (const auto* p = parsed->parameters.find(pid::lifespan)) {
    if (const auto duration = p->read_duration(le)) pub.lifespan = *duration;
  }
  return pub;
}

}  // namespace nimbrel::rtps
