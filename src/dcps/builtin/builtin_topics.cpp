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

void write_guid(rtps::WireWriter& out, const rtps::Guid& guid) {
  const auto bytes = guid.to_bytes();
  out.write_bytes(std::span<const std::uint8_t>(bytes));
}

BuiltinResult write_bytes(rtps::WireWriter& out, std::span<const std::byte> bytes,
                          const char* too_long) {
  if (bytes.size() > max_u32) return std::unexpected(std::string(too_long));
  out.write_u32(static_cast<std::uint32_t>(bytes.size()));
  out.write_bytes(bytes);
  return {};
}

BuiltinResult write_string(rtps::WireWriter& out, std::string_view text) {
  return write_bytes(out, rtps::text_bytes(text), "builtin-topic string > 4 GiB");
}

BuiltinResult write_strings(rtps::WireWriter& out, std::span<const std::string> strings) {
  if (strings.size() > max_u32)
    return std::unexpected(std::string("builtin-topic seq len > 4 GiB"));
  out.write_u32(static_cast<std::uint32_t>(strings.size()));
  for (const auto& text : strings) {
    if (auto written = write_string(out, text); !written) return written;
  }
  return {};
}

// The kinds travel as single bytes of their RTPS numbers.
void write_kinds(rtps::WireWriter& out, const EndpointSampleFields& fields) {
  out.write_u8(static_cast<std::uint8_t>(fields.durability));
  out.write_u8(static_cast<std::uint8_t>(fields.reliability));
  out.write_u8(static_cast<std::uint8_t>(fields.ownership));
}

BuiltinResult write_head(rtps::WireWriter& out, const EndpointSampleFields& fields) {
  write_guid(out, fields.key);
  write_guid(out, fields.participant_key);
  if (auto written = write_string(out, fields.topic_name); !written) return written;
  if (auto written = write_string(out, fields.type_name); !written) return written;
  write_kinds(out, fields);
  return {};
}

// Reading back: the sinks hold only what `encode` wrote, so any shortfall is one error.
class SampleReader {
 public:
  explicit SampleReader(std::span<const std::byte> bytes) : in_(bytes, /*little_endian=*/true) {}

  bool ok() const { return ok_; }
  bool at_end() const { return ok_ && in_.remaining() == 0; }

  rtps::Guid guid() {
    auto raw = in_.read_array<16>();
    if (!raw) return fail(rtps::Guid{});
    return rtps::Guid::from_bytes(*raw);
  }
  std::uint8_t u8() {
    auto v = in_.read_u8();
    return v ? *v : fail(std::uint8_t{0});
  }
  std::int32_t i32() {
    auto v = in_.read_i32();
    return v ? *v : fail(std::int32_t{0});
  }
  std::span<const std::byte> bytes() {
    auto length = in_.read_u32();
    if (!length) return fail(std::span<const std::byte>{});
    auto raw = in_.read_bytes(*length);
    return raw ? *raw : fail(std::span<const std::byte>{});
  }
  std::string text() {
    const auto raw = bytes();
    return std::string(reinterpret_cast<const char*>(raw.data()), raw.size());
  }
  std::vector<std::string> texts() {
    auto count = in_.read_u32();
    if (!count) return fail(std::vector<std::string>{});
    std::vector<std::string> out;
    // Each string takes at least its 4-byte length.
    if (*count > in_.remaining() / 4) return fail(std::move(out));
    out.reserve(*count);
    for (std::uint32_t i = 0; i < *count && ok_; ++i)
      out.push_back(text());
    return out;
  }
  void head(EndpointSampleFields& fields) {
    fields.key = guid();
    fields.participant_key = guid();
    fields.topic_name = text();
    fields.type_name = text();
    fields.durability = static_cast<rtps::DurabilityKind>(u8());
    fields.reliability = static_cast<rtps::ReliabilityKind>(u8());
    fields.ownership = static_cast<rtps::OwnershipKind>(u8());
  }

  template <typename T>
  BuiltinDecoded<T> finish(T value) const {
    if (!at_end()) return std::unexpected(std::string("builtin-topic sample malformed"));
    return value;
  }

 private:
  template <typename T>
  T fail(T value) {
    ok_ = false;
    return value;
  }

  rtps::WireReader in_;
  bool ok_ = true;
};

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

BuiltinResult encode_string_seq_le(std::span<const std::string> strings,
                                   std::vector<std::byte>& out) {
  rtps::WireWriter writer(out, /*little_endian=*/true);
  return write_strings(writer, strings);
}

ParticipantBuiltinTopicData ParticipantBuiltinTopicData::from_wire(
    const rtps::ParticipantBuiltinTopicData& data) {
  return {.key = data.participant_guid, .user_data = data.user_data};
}

BuiltinResult ParticipantBuiltinTopicData::encode(std::vector<std::byte>& out) const {
  rtps::WireWriter writer(out, /*little_endian=*/true);
  write_guid(writer, key);
  return write_bytes(writer, user_data, "builtin-topic bytes > 4 GiB");
}

BuiltinDecoded<ParticipantBuiltinTopicData> ParticipantBuiltinTopicData::decode(
    std::span<const std::byte> bytes) {
  SampleReader in(bytes);
  ParticipantBuiltinTopicData out;
  out.key = in.guid();
  const auto data = in.bytes();
  out.user_data.assign(data.begin(), data.end());
  return in.finish(std::move(out));
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

BuiltinResult TopicBuiltinTopicData::encode(std::vector<std::byte>& out) const {
  rtps::WireWriter writer(out, /*little_endian=*/true);
  write_guid(writer, key);
  if (auto written = write_string(writer, name); !written) return written;
  if (auto written = write_string(writer, type_name); !written) return written;
  writer.write_u8(static_cast<std::uint8_t>(durability));
  writer.write_u8(static_cast<std::uint8_t>(reliability));
  return {};
}

BuiltinDecoded<TopicBuiltinTopicData> TopicBuiltinTopicData::decode(
    std::span<const std::byte> bytes) {
  SampleReader in(bytes);
  TopicBuiltinTopicData out;
  out.key = in.guid();
  out.name = in.text();
  out.type_name = in.text();
  out.durability = static_cast<rtps::DurabilityKind>(in.u8());
  out.reliability = static_cast<rtps::ReliabilityKind>(in.u8());
  return in.finish(std::move(out));
}

PublicationBuiltinTopicData PublicationBuiltinTopicData::from_wire(
    const rtps::PublicationBuiltinTopicData& record) {
  PublicationBuiltinTopicData out;
  static_cast<EndpointSampleFields&>(out) = fields_from(record);
  out.ownership_strength = record.ownership_strength;
  out.lifespan_seconds = record.lifespan.seconds;
  return out;
}

BuiltinResult PublicationBuiltinTopicData::encode(std::vector<std::byte>& out) const {
  rtps::WireWriter writer(out, /*little_endian=*/true);
  if (auto written = write_head(writer, *this); !written) return written;
  writer.write_i32(ownership_strength);
  writer.write_i32(liveliness_lease_seconds);
  writer.write_i32(deadline_seconds);
  writer.write_i32(lifespan_seconds);
  return write_strings(writer, partitions);
}

BuiltinDecoded<PublicationBuiltinTopicData> PublicationBuiltinTopicData::decode(
    std::span<const std::byte> bytes) {
  SampleReader in(bytes);
  PublicationBuiltinTopicData out;
  in.head(out);
  out.ownership_strength = in.i32();
  out.liveliness_lease_seconds = in.i32();
  out.deadline_seconds = in.i32();
  out.lifespan_seconds = in.i32();
  out.partitions = in.texts();
  return in.finish(std::move(out));
}

SubscriptionBuiltinTopicData SubscriptionBuiltinTopicData::from_wire(
    const rtps::SubscriptionBuiltinTopicData& record) {
  SubscriptionBuiltinTopicData out;
  static_cast<EndpointSampleFields&>(out) = fields_from(record);
  return out;
}

BuiltinResult SubscriptionBuiltinTopicData::encode(std::vector<std::byte>& out) const {
  rtps::WireWriter writer(out, /*little_endian=*/true);
  if (auto written = write_head(writer, *this); !written) return written;
  writer.write_i32(liveliness_lease_seconds);
  writer.write_i32(deadline_seconds);
  return write_strings(writer, partitions);
}

BuiltinDecoded<SubscriptionBuiltinTopicData> SubscriptionBuiltinTopicData::decode(
    std::span<const std::byte> bytes) {
  SampleReader in(bytes);
  SubscriptionBuiltinTopicData out;
  in.head(out);
  out.liveliness_lease_seconds = in.i32();
  out.deadline_seconds = in.i32();
  out.partitions = in.texts();
  return in.finish(std::move(out));
}

}  // namespace nimbrel::dcps
