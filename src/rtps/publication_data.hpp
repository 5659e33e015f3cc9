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

// Values of parameters, which have no record of their own: writers write over a parameter value
// and pad to a multiple of 4 counted from its start; readers read from a reader over the value
// (`Parameter::reader`) in the payload's byte order. Strings need no codec here beyond the
// cursors' `read_cdr_string` and `write_cdr_string`.
CodecResult<void> write_padded_string(WireWriter& writer, std::string_view text);
// A string sequence: partitions, topic aliases, filter expression parameters.
CodecResult<void> write_string_seq(WireWriter& writer, std::span<const std::string> names);
CodecResult<std::vector<std::string>> read_string_seq(WireReader& reader);
CodecResult<void> write_octet_seq(WireWriter& writer, std::span<const std::byte> bytes);
CodecResult<std::vector<std::byte>> read_octet_seq(WireReader& reader);

struct ContentFilterProperty {
  std::string content_filtered_topic_name;
  std::string related_topic_name;
  std::string filter_class_name;
  std::string filter_expression;
  std::vector<std::string> expression_parameters;

  // As the parameter values above.
  CodecResult<void> encode(WireWriter& writer) const;
  static CodecResult<ContentFilterProperty> decode(WireReader& reader);

  friend bool operator==(const ContentFilterProperty&, const ContentFilterProperty&) = default;
};

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
  // PID_TYPE_INFORMATION and PID_TYPE_OBJECT as received; the type system interprets them.
  std::optional<std::vector<std::byte>> type_information{};
  std::optional<std::vector<std::byte>> type_object{};
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
CodecResult<EndpointBuiltinTopicData> decode_endpoint_fields(
    const ParameterList& list, bool little_endian, VendorId sender_vendor = nimbrel_vendor_id);

struct PublicationBuiltinTopicData : EndpointBuiltinTopicData {
  std::int32_t ownership_strength = 0;
  RtpsDuration lifespan = duration_infinite;

  // PL_CDR_LE whatever the writer's byte order, the subscription's layout with the strength and
  // lifespan after the type information; fails when a value cannot be encoded or framed.
  CodecResult<void> encode(WireWriter& writer) const;
  // Accepts PL_CDR_LE and PL_CDR_BE.
  static CodecResult<PublicationBuiltinTopicData> decode(
      WireReader& reader, VendorId sender_vendor = nimbrel_vendor_id);

  friend bool operator==(const PublicationBuiltinTopicData&,
                         const PublicationBuiltinTopicData&) = default;
};

}  // namespace nimbrel::rtps
