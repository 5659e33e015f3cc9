#include "dcps/builtin/builtin_topics.hpp"

#include <limits>
#include <utility>

#include "rtps/wire_cursor.hpp"

namespace nimbrel::dcps {
namespace {

constexpr std::uint64_t fnv_offset_basis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t fnv_prime = 0x100000001b3ULL;
constexpr std::size_t max_u32 = std::numeric_limits<std::uint32_t>::max();

std::uint64_t fnv1a(std::uint64_t hash, std::string_view text) {
  for (char c : text) {
    hash ^= static_cast<std::uint8_t>(c);
    hash *= fnv_prime;
  }
  return hash;
}

CodecResult<void> write_bytes(rtps::WireWriter& out, std::span<const std::byte> bytes,
                              const char* too_long) {
  if (bytes.size() > max_u32) return std::unexpected(CodecError::out_of_range(too_long));
  out.write_u32(static_cast<std::uint32_t>(bytes.size()));
  out.write_bytes(bytes);
  return {};
}

CodecResult<void> write_text(rtps::WireWriter& out, std::string_view text) {
  return write_bytes(out, rtps::text_bytes(text), "builtin-topic string > 4 GiB");
}

CodecResult<void> write_texts(rtps::WireWriter& out, std::span<const std::string> strings) {
  if (strings.size() > max_u32) {
    return std::unexpected(CodecError::out_of_range("builtin-topic seq len > 4 GiB"));
  }
  out.write_u32(static_cast<std::uint32_t>(strings.size()));
  for (const auto& text : strings) {
    if (auto written = write_text(out, text); !written) return written;
  }
  return {};
}

// The kinds travel as single bytes of their RTPS numbers.
void write_kinds(rtps::WireWriter& out, const EndpointSampleFields& fields) {
  out.write_u8(static_cast<std::uint8_t>(fields.durability));
  out.write_u8(static_cast<std::uint8_t>(fields.reliability));
  out.write_u8(static_cast<std::uint8_t>(fields.ownership));
}

CodecResult<void> write_head(rtps::WireWriter& out, const EndpointSampleFields& fields) {
  out.write_guid(fields.key);
  out.write_guid(fields.participant_key);
  if (auto written = write_text(out, fields.topic_name); !written) return written;
  if (auto written = write_text(out, fields.type_name); !written) return written;
  write_kinds(out, fields);
  return {};
}

CodecResult<std::span<const std::byte>> read_sized(rtps::WireReader& in) {
  std::uint32_t length = 0;
  NIMBREL_READ_OR_RETURN(length, in.read_u32());
  return in.read_bytes(length);
}

CodecResult<std::string> read_text(rtps::WireReader& in) {
  std::span<const std::byte> raw;
  NIMBREL_READ_OR_RETURN(raw, read_sized(in));
  return std::string(reinterpret_cast<const char*>(raw.data()), raw.size());
}

CodecResult<std::vector<std::string>> read_texts(rtps::WireReader& in) {
  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, in.read_u32());
  // Each string takes at least its 4-byte length.
  if (count > in.remaining() / 4) return std::unexpected(CodecError::eof(4 * count, in.position()));
  std::vector<std::string> out;
  out.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i)
    NIMBREL_READ_OR_RETURN(out.emplace_back(), read_text(in));
  return out;
}

template <typename Kind>
CodecResult<Kind> read_kind(rtps::WireReader& in) {
  std::uint8_t kind = 0;
  NIMBREL_READ_OR_RETURN(kind, in.read_u8());
  return static_cast<Kind>(kind);
}

CodecResult<void> read_head(rtps::WireReader& in, EndpointSampleFields& fields) {
  NIMBREL_READ_OR_RETURN(fields.key, in.read_guid());
  NIMBREL_READ_OR_RETURN(fields.participant_key, in.read_guid());
  NIMBREL_READ_OR_RETURN(fields.topic_name, read_text(in));
  NIMBREL_READ_OR_RETURN(fields.type_name, read_text(in));
  NIMBREL_READ_OR_RETURN(fields.durability, read_kind<rtps::DurabilityKind>(in));
  NIMBREL_READ_OR_RETURN(fields.reliability, read_kind<rtps::ReliabilityKind>(in));
  NIMBREL_READ_OR_RETURN(fields.ownership, read_kind<rtps::OwnershipKind>(in));
  return {};
}

// The sinks hold only what `encode` wrote, so any shortfall, and any byte left over, is one error.
template <typename Record, typename Read>
CodecResult<Record> read_sample(rtps::WireReader& reader, Read read) {
  rtps::WireReader in = reader.with_byte_order(/*little_endian=*/true);
  CodecResult<Record> record = read(in);
  if (!record || in.remaining() != 0) {
    return std::unexpected(CodecError::rejected("builtin-topic sample malformed", in.position()));
  }
  reader.seek(in.position());
  return record;
}

EndpointSampleFields fields_from(const rtps::EndpointBuiltinTopicData& record) {
  return {
      .topic_name = record.topic_name,
      .type_name = record.type_name,
      .partitions = record.partition,
      .key = record.endpoint_guid,
      .participant_key = record.participant_guid,
      .reliability = record.reliability.kind,
      .ownership = record.ownership,
      .durability = record.durability,
      .liveliness_lease_seconds = record.liveliness.lease_duration.seconds,
      .deadline_seconds = record.deadline.seconds,
  };
}

}  // namespace

ParticipantBuiltinTopicData ParticipantBuiltinTopicData::from_wire(
    const rtps::ParticipantBuiltinTopicData& data) {
  return {.key = data.participant_guid, .user_data = data.user_data};
}

CodecResult<void> ParticipantBuiltinTopicData::encode(rtps::WireWriter& out) const {
  rtps::WireWriter writer = out.with_byte_order(/*little_endian=*/true);
  writer.write_guid(key);
  return write_bytes(writer, user_data, "builtin-topic bytes > 4 GiB");
}

CodecResult<ParticipantBuiltinTopicData> ParticipantBuiltinTopicData::decode(
    rtps::WireReader& reader) {
  using Record = ParticipantBuiltinTopicData;
  return read_sample<Record>(reader, [](rtps::WireReader& in) -> CodecResult<Record> {
    Record out;
    NIMBREL_READ_OR_RETURN(out.key, in.read_guid());
    std::span<const std::byte> data;
    NIMBREL_READ_OR_RETURN(data, read_sized(in));
    out.user_data.assign(data.begin(), data.end());
    return out;
  });
}

rtps::Guid TopicBuiltinTopicData::key_of(std::string_view name, std::string_view type_name) {
  const std::uint64_t h1 = fnv1a(fnv_offset_basis, name);
  const std::uint64_t h2 = fnv1a(h1, type_name);
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[i] = static_cast<std::uint8_t>(h1 >> (8 * i));
    bytes[8 + i] = static_cast<std::uint8_t>(h2 >> (8 * i));
  }
  return rtps::Guid::from_bytes(bytes);
}

TopicBuiltinTopicData TopicBuiltinTopicData::from_publication(
    const rtps::PublicationBuiltinTopicData& record) {
  return {.name = record.topic_name,
          .type_name = record.type_name,
          .key = key_of(record.topic_name, record.type_name),
          .reliability = record.reliability.kind,
          .durability = record.durability};
}

TopicBuiltinTopicData TopicBuiltinTopicData::from_subscription(
    const rtps::SubscriptionBuiltinTopicData& record) {
  return {.name = record.topic_name,
          .type_name = record.type_name,
          .key = key_of(record.topic_name, record.type_name),
          .reliability = record.reliability.kind,
          .durability = record.durability};
}

CodecResult<void> TopicBuiltinTopicData::encode(rtps::WireWriter& out) const {
  rtps::WireWriter writer = out.with_byte_order(/*little_endian=*/true);
  writer.write_guid(key);
  if (auto written = write_text(writer, name); !written) return written;
  if (auto written = write_text(writer, type_name); !written) return written;
  writer.write_u8(static_cast<std::uint8_t>(durability));
  writer.write_u8(static_cast<std::uint8_t>(reliability));
  return {};
}

CodecResult<TopicBuiltinTopicData> TopicBuiltinTopicData::decode(rtps::WireReader& reader) {
  using Record = TopicBuiltinTopicData;
  return read_sample<Record>(reader, [](rtps::WireReader& in) -> CodecResult<Record> {
    Record out;
    NIMBREL_READ_OR_RETURN(out.key, in.read_guid());
    NIMBREL_READ_OR_RETURN(out.name, read_text(in));
    NIMBREL_READ_OR_RETURN(out.type_name, read_text(in));
    NIMBREL_READ_OR_RETURN(out.durability, read_kind<rtps::DurabilityKind>(in));
    NIMBREL_READ_OR_RETURN(out.reliability, read_kind<rtps::ReliabilityKind>(in));
    return out;
  });
}

PublicationBuiltinTopicData PublicationBuiltinTopicData::from_wire(
    const rtps::PublicationBuiltinTopicData& record) {
  PublicationBuiltinTopicData out;
  static_cast<EndpointSampleFields&>(out) = fields_from(record);
  out.ownership_strength = record.ownership_strength;
  out.lifespan_seconds = record.lifespan.seconds;
  return out;
}

CodecResult<void> PublicationBuiltinTopicData::encode(rtps::WireWriter& out) const {
  rtps::WireWriter writer = out.with_byte_order(/*little_endian=*/true);
  if (auto written = write_head(writer, *this); !written) return written;
  writer.write_i32(ownership_strength);
  writer.write_i32(liveliness_lease_seconds);
  writer.write_i32(deadline_seconds);
  writer.write_i32(lifespan_seconds);
  return write_texts(writer, partitions);
}

CodecResult<PublicationBuiltinTopicData> PublicationBuiltinTopicData::decode(
    rtps::WireReader& reader) {
  using Record = PublicationBuiltinTopicData;
  return read_sample<Record>(reader, [](rtps::WireReader& in) -> CodecResult<Record> {
    Record out;
    if (auto head = read_head(in, out); !head) return std::unexpected(head.error());
    NIMBREL_READ_OR_RETURN(out.ownership_strength, in.read_i32());
    NIMBREL_READ_OR_RETURN(out.liveliness_lease_seconds, in.read_i32());
    NIMBREL_READ_OR_RETURN(out.deadline_seconds, in.read_i32());
    NIMBREL_READ_OR_RETURN(out.lifespan_seconds, in.read_i32());
    NIMBREL_READ_OR_RETURN(out.partitions, read_texts(in));
    return out;
  });
}

SubscriptionBuiltinTopicData SubscriptionBuiltinTopicData::from_wire(
    const rtps::SubscriptionBuiltinTopicData& record) {
  SubscriptionBuiltinTopicData out;
  static_cast<EndpointSampleFields&>(out) = fields_from(record);
  return out;
}

CodecResult<void> SubscriptionBuiltinTopicData::encode(rtps::WireWriter& out) const {
  rtps::WireWriter writer = out.with_byte_order(/*little_endian=*/true);
  if (auto written = write_head(writer, *this); !written) return written;
  writer.write_i32(liveliness_lease_seconds);
  writer.write_i32(deadline_seconds);
  return write_texts(writer, partitions);
}

CodecResult<SubscriptionBuiltinTopicData> SubscriptionBuiltinTopicData::decode(
    rtps::WireReader& reader) {
  using Record = SubscriptionBuiltinTopicData;
  return read_sample<Record>(reader, [](rtps::WireReader& in) -> CodecResult<Record> {
    Record out;
    if (auto head = read_head(in, out); !head) return std::unexpected(head.error());
    NIMBREL_READ_OR_RETURN(out.liveliness_lease_seconds, in.read_i32());
    NIMBREL_READ_OR_RETURN(out.deadline_seconds, in.read_i32());
    NIMBREL_READ_OR_RETURN(out.partitions, read_texts(in));
    return out;
  });
}

}  // namespace nimbrel::dcps
