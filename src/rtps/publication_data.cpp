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
    return std::unexpected(WireError::malformed("partition count exceeds u32::MAX"));
  }
  WireWriter(out, /*little_endian=*/true).write_u32(static_cast<std::uint32_t>(names.size()));
  for (const auto& name : names) {
    if (auto ok = append_string(out, name); !ok) return ok;
  }
  return {};
}

// Each string starts at a multiple of 4 from the start of `bytes`.
WireResult<Decoded<std::vector<std::string>>> decode_string_list(std::span<const std::byte> bytes,
                                                                 bool little_endian,
                                                                 std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) {
    return std::unexpected(WireError::eof(4, offset));
  }
  WireReader r(bytes, little_endian);
  r.seek(offset);
  const std::uint32_t count = *r.read_u32();
  std::vector<std::string> names;
  names.reserve(std::min<std::size_t>(count, r.remaining() / min_string_size));
  std::size_t pos = r.position();
  for (std::uint32_t i = 0; i < count; ++i) {
    auto name = decode_cdr_string(bytes, little_endian, pos);
    if (!name) return std::unexpected(name.error());
    names.push_back(std::move(name->value));
    pos = align4(name->end);
  }
  return Decoded<std::vector<std::string>>{std::move(names), pos};
}

const Parameter* with_min(const ParameterList& list, std::uint16_t id, std::size_t length) {
  const Parameter* p = list.find(id);
  return p != nullptr && p->value.size() >= length ? p : nullptr;
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
  if (offset > bytes.size() || bytes.size() - offset < 4) {
    return std::unexpected(WireError::eof(4, offset));
  }
  WireReader r(bytes, little_endian);
  r.seek(offset);
  const std::uint32_t length = *r.read_u32();
  if (length == 0) {
    return std::unexpected(WireError::malformed("CDR string length 0 (missing null terminator)"));
  }
  auto raw = r.read_bytes(length);
  if (!raw) return std::unexpected(raw.error());
  if (raw->back() != std::byte{0}) {
    return std::unexpected(WireError::malformed("CDR string missing null terminator"));
  }
  const auto text = raw->first(length - 1);
  if (!cdr::is_valid_utf8(text)) {
    return std::unexpected(WireError::malformed("CDR string is not valid UTF-8"));
  }
  return Decoded<std::string>{std::string(reinterpret_cast<const char*>(text.data()), text.size()),
                              r.position()};
}

WireResult<std::vector<std::byte>> encode_partition_le(std::span<const std::string> names) {
  std::vector<std::byte> out;
  if (auto ok = append_string_list(out, names); !ok) return std::unexpected(ok.error());
  return out;
}

WireResult<std::vector<std::string>> decode_partition(std::span<const std::byte> value,
                                                      bool little_endian) {
  auto names = decode_string_list(value, little_endian, /*offset=*/0);
  if (!names) return std::unexpected(names.error());
  return std::move(names->value);
}

WireResult<std::vector<std::byte>> encode_octet_seq_le(std::span<const std::byte> bytes) {
  if (bytes.size() > u32_max) {
    return std::unexpected(WireError::malformed("octet sequence length exceeds u32::MAX"));
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
  std::size_t pos = 0;
  for (auto* text : {&filter.content_filtered_topic_name, &filter.related_topic_name,
                     &filter.filter_class_name, &filter.filter_expression}) {
    auto decoded = decode_cdr_string(value, little_endian, pos);
    if (!decoded) return std::unexpected(decoded.error());
    *text = std::move(decoded->value);
    pos = align4(decoded->end);
  }
  auto parameters = decode_string_list(value, little_endian, pos);
  if (!parameters) return std::unexpected(parameters.error());
  filter.expression_parameters = std::move(parameters->value);
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
  d.participant_guid = participant != nullptr && participant->read_guid()
                           ? *participant->read_guid()
                           : Guid{d.endpoint_guid.prefix, entity_ids::participant};
  if (const auto* p = with_min(list, pid::durability, 4)) {
    const auto kind = *p->read_u32(le);
    d.durability = kind <= 3 ? static_cast<DurabilityKind>(kind) : DurabilityKind::Volatile;
  }
  if (const auto* p = with_min(list, pid::reliability, 12)) {
    const bool reliable = *p->read_u32(le) == static_cast<std::uint32_t>(ReliabilityKind::Reliable);
    d.reliability = {reliable ? ReliabilityKind::Reliable : ReliabilityKind::BestEffort,
                     *p->read_duration(le, /*offset=*/4)};
  }
  if (const auto* p = with_min(list, pid::ownership, 4)) {
    d.ownership = *p->read_u32(le) == 1 ? OwnershipKind::Exclusive : OwnershipKind::Shared;
  }
  if (const auto* p = with_min(list, pid::liveliness, 12)) {
    const auto kind = *p->read_u32(le);
    d.liveliness = {kind <= 2 ? static_cast<LivelinessKind>(kind) : LivelinessKind::Automatic,
                    *p->read_duration(le, /*offset=*/4)};
  }
  if (const auto* p = with_min(list, pid::deadline, 8)) d.deadline = *p->read_duration(le);
  if (const auto* p = list.find(pid::partition)) {
    d.partition = decode_partition(p->value, le).value_or(std::vector<std::string>{});
  }
  d.user_data = octets_or_empty(list.find(pid::user_data), le);
  d.topic_data = octets_or_empty(list.find(pid::topic_data), le);
  d.group_data = octets_or_empty(list.find(pid::group_data), le);
  if (const auto* p = list.find(pid::type_information)) d.type_information = p->value;
  if (const auto* p = with_min(list, pid::endpoint_security_info, 8)) {
    auto r = p->reader(le);
    d.endpoint_security_info = EndpointSecurityInfo{*r.read_u32(), *r.read_u32()};
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
  if (const auto* p = with_min(parsed->parameters, pid::ownership_strength, 4)) {
    pub.ownership_strength = *p->read_i32(le);
  }
  if (const auto* p = with_min(parsed->parameters, pid::lifespan, 8)) {
    pub.lifespan = *p->read_duration(le);
  }
  return pub;
}

}  // namespace nimbrel::rtps
