// The DCPS builtin-topic records (participants, topics, publications, subscriptions) made from
// discovery results, and their sample encoding: little-endian, unpadded, no encapsulation header.
// `decode` reads back what `encode` wrote, for the readers of the builtin sinks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "rtps/participant_data.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

using BuiltinResult = std::expected<void, std::string>;
template <typename T>
using BuiltinDecoded = std::expected<T, std::string>;

// Strings and byte sequences: a u32 length, then the bytes (no NUL).
BuiltinResult encode_string_seq_le(std::span<const std::string> strings,
                                   std::vector<std::byte>& out);

struct ParticipantBuiltinTopicData {
  rtps::Guid key{};
  std::vector<std::byte> user_data{};

  static ParticipantBuiltinTopicData from_wire(const rtps::ParticipantBuiltinTopicData& data);
  BuiltinResult encode(std::vector<std::byte>& out) const;
  static BuiltinDecoded<ParticipantBuiltinTopicData> decode(std::span<const std::byte> bytes);
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
  BuiltinResult encode(std::vector<std::byte>& out) const;
  static BuiltinDecoded<TopicBuiltinTopicData> decode(std::span<const std::byte> bytes);
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
  BuiltinResult encode(std::vector<std::byte>& out) const;
  static BuiltinDecoded<PublicationBuiltinTopicData> decode(std::span<const std::byte> bytes);
  friend bool operator==(const PublicationBuiltinTopicData&,
                         const PublicationBuiltinTopicData&) = default;
};

struct SubscriptionBuiltinTopicData : EndpointSampleFields {
  static SubscriptionBuiltinTopicData from_wire(const rtps::SubscriptionBuiltinTopicData& record);
  BuiltinResult encode(std::vector<std::byte>& out) const;
  static BuiltinDecoded<SubscriptionBuiltinTopicData> decode(std::span<const std::byte> bytes);
  friend bool operator==(const SubscriptionBuiltinTopicData&,
                         const SubscriptionBuiltinTopicData&) = default;
};

}  // namespace nimbrel::dcps
