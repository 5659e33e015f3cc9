// SEDP endpoint records (DDSI-RTPS 2.5 section 9.6.2.2): what a remote writer or reader says about
// itself, the input of endpoint matching. `EndpointBuiltinTopicData` holds the fields publications
// and subscriptions share; this module also holds the CDR value codecs both records use. Decoding
// is lenient: only the endpoint GUID, topic name and type name are required.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rtps/parameter_list.hpp"
#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::rtps {

inline constexpr RtpsDuration duration_infinite{0x7FFFFFFF, 0xFFFFFFFF};

// QoS kinds carry their RTPS wire numbers.
enum class DurabilityKind : std::uint32_t {
  Volatile = 0,
  TransientLocal = 1,
  Transient = 2,
  Persistent = 3,
};
enum class ReliabilityKind : std::uint32_t { BestEffort = 1, Reliable = 2 };
enum class OwnershipKind : std::uint32_t { Shared = 0, Exclusive = 1 };
enum class LivelinessKind : std::uint32_t {
  Automatic = 0,
  ManualByParticipant = 1,
  ManualByTopic = 2,
};

struct ReliabilityQos {
  ReliabilityKind kind = ReliabilityKind::BestEffort;
  RtpsDuration max_blocking_time{0, 0x19999999};  // 100 ms
  friend bool operator==(const ReliabilityQos&, const ReliabilityQos&) = default;
};

struct LivelinessQos {
  LivelinessKind kind = LivelinessKind::Automatic;
  RtpsDuration lease_duration = duration_infinite;
  friend bool operator==(const LivelinessQos&, const LivelinessQos&) = default;
};

// DDS-Security 1.2 section 7.4.1.5.
struct EndpointSecurityInfo {
  std::uint32_t endpoint_security_attributes = 0;
  std::uint32_t plugin_endpoint_security_attributes = 0;
  friend bool operator==(const EndpointSecurityInfo&, const EndpointSecurityInfo&) = default;
};

struct ContentFilterProperty {
  std::string content_filtered_topic_name;
  std::string related_topic_name;
  std::string filter_class_name;
  std::string filter_expression;
  std::vector<std::string> expression_parameters;
  friend bool operator==(const ContentFilterProperty&, const ContentFilterProperty&) = default;
};

// Value codecs. Encoders write little-endian and pad to a multiple of 4; decoders read from the
// start of a parameter value in the payload's byte order.
WireResult<std::vector<std::byte>> encode_cdr_string_le(std::string_view text);
// Reads a string at `offset`; `end` is just past its NUL. No cap beyond the bytes given.
WireResult<Decoded<std::string>> decode_cdr_string(std::span<const std::byte> bytes,
                                                   bool little_endian, std::size_t offset = 0);
// A string sequence: partitions, topic aliases, filter expression parameters.
WireResult<std::vector<std::byte>> encode_partition_le(std::span<const std::string> names);
WireResult<std::vector<std::string>> decode_partition(std::span<const std::byte> value,
                                                      bool little_endian);
WireResult<std::vector<std::byte>> encode_octet_seq_le(std::span<const std::byte> bytes);
WireResult<std::vector<std::byte>> decode_octet_seq(std::span<const std::byte> value,
                                                    bool little_endian);
WireResult<std::vector<std::byte>> encode_content_filter_property_le(
    const ContentFilterProperty& filter);
WireResult<ContentFilterProperty> decode_content_filter_property(std::span<const std::byte> value,
                                                                 bool little_endian);

struct EndpointBuiltinTopicData {
  // Absent on the wire: the endpoint GUID's prefix with the participant entity id.
  Guid participant_guid{};
  Guid endpoint_guid{};
  std::string topic_name{};
  std::string type_name{};
  DurabilityKind durability = DurabilityKind::Volatile;
  ReliabilityQos reliability{};
  OwnershipKind ownership = OwnershipKind::Shared;
  LivelinessQos liveliness{};
  RtpsDuration deadline = duration_infinite;
  std::vector<std::string> partition{};
  std::vector<std::byte> user_data{};
  std::vector<std::byte> topic_data{};
  std::vector<std::byte> group_data{};
  // PID_TYPE_INFORMATION as received; the type system interprets it.
  std::optional<std::vector<std::byte>> type_information{};
  std::optional<EndpointSecurityInfo> endpoint_security_info{};
  std::optional<std::string> service_instance_name{};
  std::optional<Guid> related_entity_guid{};
  std::optional<std::vector<std::string>> topic_aliases{};
  // PID 0x8002 is vendor-specific: a type identifier only when this system sent it.
  std::optional<types::TypeIdentifier> type_identifier{};
  // Another vendor's 0x8002 as received (Fast DDS: a persistent writer's persistence GUID).
  std::optional<std::vector<std::byte>> foreign_pid_8002{};
  std::vector<std::int16_t> data_representation{};

  friend bool operator==(const EndpointBuiltinTopicData&,
                         const EndpointBuiltinTopicData&) = default;
};

// The shared fields of a decoded SEDP parameter list; fails only for a missing endpoint GUID,
// topic name or type name. `sender_vendor` comes from the RTPS header of the datagram.
WireResult<EndpointBuiltinTopicData> decode_endpoint_fields(
    const ParameterList& list, bool little_endian, VendorId sender_vendor = nimbrel_vendor_id);

struct PublicationBuiltinTopicData : EndpointBuiltinTopicData {
  std::int32_t ownership_strength = 0;
  RtpsDuration lifespan = duration_infinite;

  // PL_CDR_LE, the subscription's layout with the strength and lifespan after the type
  // information; fails when a value cannot be encoded or framed.
  WireResult<std::vector<std::byte>> to_pl_cdr_le() const;
  // Accepts PL_CDR_LE and PL_CDR_BE.
  static WireResult<PublicationBuiltinTopicData> from_pl_cdr_le(
      std::span<const std::byte> payload, VendorId sender_vendor = nimbrel_vendor_id);

  friend bool operator==(const PublicationBuiltinTopicData&,
                         const PublicationBuiltinTopicData&) = default;
};

}  // namespace nimbrel::rtps
