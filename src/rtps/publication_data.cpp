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
WireResult<std::string> read_aligned_string(WireReader& r) {
  auto text = r.read_cdr_string();
  if (text) r.align_due(4);
  return text;
}

// Alignment counts from the start of `out`, which is the start of the parameter value.
WireResult<void> append_string(std::vector<std::byte>& out, std::string_view text) {
  WireWriter w(out, /*little_endian=*/true);
  if (auto ok = write_cdr_string(w, text); !ok) return ok;
  w.pad_to(4);
  return {};
}

WireResult<void> append_string_list(std::vector<std::byte>& out,
                                    std::span<const std::string> names) {
  if (names.size() > u32_max) {
    return std::unexpected(WireError::resource_limit("partition count exceeds u32::MAX"));
  }
  WireWriter(out, /*little_endian=*/true).write_u32(static_cast<std::uint32_t>(names.size()));
  for (const auto& name : names) {
    if (auto ok = append_string(out, name); !ok) return ok;
  }
  return {};
}

// Each string starts at a multiple of 4 from the reader's start.
WireResult<std::vector<std::string>> read_string_list(WireReader& r) {
  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, r.read_u32());
  std::vector<std::string> names;
  names.reserve(std::min<std::size_t>(count, r.remaining() / min_string_size));
  for (std::uint32_t i = 0; i < count; ++i) {
    NIMBREL_READ_OR_RETURN(names.emplace_back(), read_aligned_string(r));
  }
  return names;
}

std::optional<std::string> optional_string(const Parameter* p, bool le) {
  if (p == nullptr) return std::nullopt;
  auto text = decode_cdr_string(p->value, le);
  if (!text) return std::nullopt;
  return std::move(text->value);
}

std::vector<std::byte> octets_or_empty(const Parameter* p, bool le) {
  if (p == nullptr) return {};
  return decode_octet_seq(p->value, le).value_or(std::vector<std::byte>{});
}

// Whatever the payload's byte order: the identifier is an XCDR value of its own.
std::optional<types::TypeIdentifier> type_identifier_of(const Parameter* p) {
  if (p == nullptr) return std::nullopt;
  cdr::BufferReader reader(p->value, /*little_endian=*/true);
  auto id = types::TypeIdentifier::decode_with_depth(reader, /*depth=*/0);
  if (!id) return std::nullopt;
  return std::move(*id);
}

WireResult<std::string> required_string(const ParameterList& list, std::uint16_t id, bool le,
                                        const char* missing) {
  const Parameter* p = list.find(id);
  if (p == nullptr) return std::unexpected(WireError::malformed(missing));
  auto text = decode_cdr_string(p->value, le);
  if (!text) return std::unexpected(text.error());
  return std::move(text->value);
}

}  // namespace

WireResult<std::vector<std::byte>> encode_cdr_string_le(std::string_view text) {
  std::vector<std::byte> out;
  if (auto ok = append_string(out, text); !ok) return std::unexpected(ok.error());
  return out;
}

WireResult<Decoded<std::string>> decode_cdr_string(std::span<const std::byte> bytes,
                                                   bool little_endian, std::size_t offset) {
  WireReader r(bytes, little_endian);
  r.seek(offset);
  auto text = r.read_cdr_string();
  if (!text) return std::unexpected(text.error());
  return Decoded<std::string>{std::move(*text), r.position()};
}

WireResult<std::vector<std::byte>> encode_partition_le(std::span<const std::string> names) {
  std::vector<std::byte> out;
  if (auto ok = append_string_list(out, names); !ok) return std::unexpected(ok.error());
  return out;
}

WireResult<std::vector<std::string>> decode_partition(std::span<const std::byte> value,
                                                      bool little_endian) {
  WireReader r(value, little_endian);
  return read_string_list(r);
}

WireResult<std::vector<std::byte>> encode_octet_seq_le(std::span<const std::byte> bytes) {
  if (bytes.size() > u32_max) {
    return std::unexpected(WireError::resource_limit("octet sequence length exceeds u32::MAX"));
  }
  std::vector<std::byte> out;
  out.reserve(4 + align4(bytes.size()));
  WireWriter w(out, /*little_endian=*/true);
  w.write_u32(static_cast<std::uint32_t>(bytes.size()));
  w.write_bytes(bytes);
  w.pad_to(4);
  return out;
}

WireResult<std::vector<std::byte>> decode_octet_seq(std::span<const std::byte> value,
                                                    bool little_endian) {
  WireReader r(value, little_endian);
  auto length = r.read_u32();
  if (!length) return std::unexpected(length.error());
  auto bytes = r.read_bytes(*length);
  if (!bytes) return std::unexpected(bytes.error());
  return std::vector<std::byte>(bytes->begin(), bytes->end());
}

WireResult<std::vector<std::byte>> encode_content_filter_property_le(
    const ContentFilterProperty& filter) {
  std::vector<std::byte> out;
  for (const auto* text : {&filter.content_filtered_topic_name, &filter.related_topic_name,
                           &filter.filter_class_name, &filter.filter_expression}) {
    if (auto ok = append_string(out, *text); !ok) return std::unexpected(ok.error());
  }
  if (auto ok = append_string_list(out, filter.expression_parameters); !ok) {
    return std::unexpected(ok.error());
  }
  return out;
}

WireResult<ContentFilterProperty> decode_content_filter_property(std::span<const std::byte> value,
                                                                 bool little_endian) {
  ContentFilterProperty filter;
  WireReader r(value, little_endian);
  for (auto* text : {&filter.content_filtered_topic_name, &filter.related_topic_name,
                     &filter.filter_class_name, &filter.filter_expression}) {
    NIMBREL_READ_OR_RETURN(*text, read_aligned_string(r));
  }
  NIMBREL_READ_OR_RETURN(filter.expression_parameters, read_string_list(r));
  return filter;
}

WireResult<EndpointBuiltinTopicData> decode_endpoint_fields(const ParameterList& list, bool le,
                                                            VendorId sender_vendor) {
  const Parameter* endpoint = list.find(pid::endpoint_guid);
  const auto endpoint_guid = endpoint != nullptr ? endpoint->read_guid() : std::nullopt;
  if (!endpoint_guid) {
    return std::unexpected(WireError::malformed("ENDPOINT_GUID missing or wrong length"));
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
    d.partition = decode_partition(p->value, le).value_or(std::vector<std::string>{});
  }
  d.user_data = octets_or_empty(list.find(pid::user_data), le);
  d.topic_data = octets_or_empty(list.find(pid::topic_data), le);
  d.group_data = octets_or_empty(list.find(pid::group_data), le);
  if (const auto* p = list.find(pid::type_information)) d.type_information = p->value;
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
    if (auto aliases = decode_partition(p->value, le)) d.topic_aliases = std::move(*aliases);
  }
  if (sender_vendor == nimbrel_vendor_id) {
    d.type_identifier = type_identifier_of(list.find(pid::type_identifier));
  } else if (const auto* p = list.find(pid::type_identifier)) {
    d.foreign_pid_8002 = p->value;
  }
  if (const auto* p = list.find(pid::data_representation)) {
    d.data_representation = data_representation::decode_list(p->value, le);
  }
  return d;
}

WireResult<PublicationBuiltinTopicData> PublicationBuiltinTopicData::from_pl_cdr_le(
    std::span<const std::byte> payload, VendorId sender_vendor) {
  auto parsed = parse_pl_cdr_payload(payload);
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
