// The DCPS builtin-topic records (participants, topics, publications, subscriptions) made from
// discovery results, and their sample encoding: little-endian whatever the cursor's byte order,
// unpadded, no encapsulation header. `decode` reads back what `encode` wrote, for the readers of
// the builtin sinks: a sample fills its reader, so bytes left over make it malformed. Decoding
// fails with Rejected "builtin-topic sample malformed"; encoding with ValueOutOfRange.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "rtps/participant_data.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

// Strings and byte sequences: a u32 length, then the bytes (no NUL).

struct ParticipantBuiltinTopicData {
  rtps::Guid key{};
  std::vector<std::byte> user_data{};

  static ParticipantBuiltinTopicData from_wire(const rtps::ParticipantBuiltinTopicData& data);
  CodecResult<void> encode(rtps::WireWriter& writer) const;
  static CodecResult<ParticipantBuiltinTopicData> decode(rtps::WireReader& reader);
  friend bool operator==(const ParticipantBuiltinTopicData&,
                         const ParticipantBuiltinTopicData&) = default;
};

struct TopicBuiltinTopicData {
  std::string name{};
  std::string type_name{};
  rtps::Guid key{};  // from the two names alone: every endpoint of a topic gives the same key
  rtps::ReliabilityKind reliability = rtps::ReliabilityKind::BestEffort;
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;

  static rtps::Guid key_of(std::string_view name, std::string_view type_name);
  static TopicBuiltinTopicData from_publication(const rtps::PublicationBuiltinTopicData& record);
  static TopicBuiltinTopicData from_subscription(const rtps::SubscriptionBuiltinTopicData& record);
  CodecResult<void> encode(rtps::WireWriter& writer) const;
  static CodecResult<TopicBuiltinTopicData> decode(rtps::WireReader& reader);
  friend bool operator==(const TopicBuiltinTopicData&, const TopicBuiltinTopicData&) = default;
};

// The fields publications and subscriptions share. Seconds drop the fraction of the wire duration;
// infinite is 2,147,483,647.
struct EndpointSampleFields {
  std::string topic_name{};
  std::string type_name{};
  std::vector<std::string> partitions{};
  rtps::Guid key{};  // the endpoint; its kind byte tells keyed from keyless
  rtps::Guid participant_key{};
  rtps::ReliabilityKind reliability = rtps::ReliabilityKind::BestEffort;
  rtps::OwnershipKind ownership = rtps::OwnershipKind::Shared;
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;
  std::int32_t liveliness_lease_seconds = 0;
  std::int32_t deadline_seconds = 0;

  friend bool operator==(const EndpointSampleFields&, const EndpointSampleFields&) = default;
};

struct PublicationBuiltinTopicData : EndpointSampleFields {
  std::int32_t ownership_strength = 0;
  std::int32_t lifespan_seconds = 0;

  static PublicationBuiltinTopicData from_wire(const rtps::PublicationBuiltinTopicData& record);
  CodecResult<void> encode(rtps::WireWriter& writer) const;
  static CodecResult<PublicationBuiltinTopicData> decode(rtps::WireReader& reader);
  friend bool operator==(const PublicationBuiltinTopicData&,
                         const PublicationBuiltinTopicData&) = default;
};

struct SubscriptionBuiltinTopicData : EndpointSampleFields {
  static SubscriptionBuiltinTopicData from_wire(const rtps::SubscriptionBuiltinTopicData& record);
  CodecResult<void> encode(rtps::WireWriter& writer) const;
  static CodecResult<SubscriptionBuiltinTopicData> decode(rtps::WireReader& reader);
  friend bool operator==(const SubscriptionBuiltinTopicData&,
                         const SubscriptionBuiltinTopicData&) = default;
};

}  // namespace nimbrel::dcps
