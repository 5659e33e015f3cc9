// RTPS parameter lists (DDSI-RTPS 2.5 section 9.4.2.11): the PID-tagged lists carrying discovery
// records, the inline QoS of DATA and the parameters of a header extension. `ParameterList` keeps
// the parameters in wire order with their unpadded values; discovery records look parameters up
// with `find` and read them with the typed readers of `Parameter`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

namespace pid {
inline constexpr std::uint16_t sentinel = 0x0001;
inline constexpr std::uint16_t participant_lease_duration = 0x0002;
inline constexpr std::uint16_t topic_name = 0x0005;
inline constexpr std::uint16_t ownership_strength = 0x0006;
inline constexpr std::uint16_t type_name = 0x0007;
inline constexpr std::uint16_t domain_id = 0x000F;
inline constexpr std::uint16_t protocol_version = 0x0015;
inline constexpr std::uint16_t vendor_id = 0x0016;
inline constexpr std::uint16_t reliability = 0x001A;
inline constexpr std::uint16_t liveliness = 0x001B;
inline constexpr std::uint16_t durability = 0x001D;
inline constexpr std::uint16_t ownership = 0x001F;
inline constexpr std::uint16_t deadline = 0x0023;
inline constexpr std::uint16_t partition = 0x0029;
inline constexpr std::uint16_t lifespan = 0x002B;
inline constexpr std::uint16_t user_data = 0x002C;
inline constexpr std::uint16_t group_data = 0x002D;
inline constexpr std::uint16_t topic_data = 0x002E;
inline constexpr std::uint16_t default_unicast_locator = 0x0031;
inline constexpr std::uint16_t metatraffic_unicast_locator = 0x0032;
inline constexpr std::uint16_t metatraffic_multicast_locator = 0x0033;
inline constexpr std::uint16_t content_filter_property = 0x0035;
inline constexpr std::uint16_t default_multicast_locator = 0x0048;
inline constexpr std::uint16_t participant_guid = 0x0050;
inline constexpr std::uint16_t coherent_set = 0x0056;
inline constexpr std::uint16_t directed_write = 0x0057;
inline constexpr std::uint16_t builtin_endpoint_set = 0x0058;
inline constexpr std::uint16_t property_list = 0x0059;
inline constexpr std::uint16_t endpoint_guid = 0x005A;
inline constexpr std::uint16_t type_max_size_serialized = 0x0060;
inline constexpr std::uint16_t original_writer_info = 0x0061;
inline constexpr std::uint16_t entity_name = 0x0062;
inline constexpr std::uint16_t group_coherent_set = 0x0063;
inline constexpr std::uint16_t group_seq_num = 0x0064;
inline constexpr std::uint16_t key_hash = 0x0070;
inline constexpr std::uint16_t status_info = 0x0071;
// The older XTypes parameter of a whole type object, which Fast DDS 2.x still sends.
inline constexpr std::uint16_t type_object = 0x0072;
inline constexpr std::uint16_t data_representation = 0x0073;
inline constexpr std::uint16_t type_consistency_enforcement = 0x0074;
inline constexpr std::uint16_t type_information = 0x0075;
inline constexpr std::uint16_t service_instance_name = 0x0080;
inline constexpr std::uint16_t related_entity_guid = 0x0081;
inline constexpr std::uint16_t topic_aliases = 0x0082;
inline constexpr std::uint16_t related_sample_identity = 0x0083;
inline constexpr std::uint16_t identity_token = 0x1001;
inline constexpr std::uint16_t permissions_token = 0x1002;
inline constexpr std::uint16_t endpoint_security_info = 0x1004;
inline constexpr std::uint16_t participant_security_info = 0x1005;
inline constexpr std::uint16_t identity_status_token = 0x1006;
inline constexpr std::uint16_t participant_security_digital_signature_algo = 0x1010;
inline constexpr std::uint16_t participant_security_key_establishment_algo = 0x1011;
inline constexpr std::uint16_t participant_security_symmetric_cipher_algo = 0x1012;
inline constexpr std::uint16_t endpoint_security_symmetric_cipher_algo = 0x1013;
inline constexpr std::uint16_t ignore = 0x3F03;
// Vendor-specific (bit 15 set), so outside the table below: a receiver may always skip it.
inline constexpr std::uint16_t type_identifier = 0x8002;
}  // namespace pid

struct PidInfo {
  std::uint16_t id;
  const char* name;
  std::uint16_t min_length;  // fixed part of the value; longer values are normal
};

// Every PID this system knows. It is also the set a must-understand parameter (bit 14) must be in
// to pass the data-path check, so an entry added here becomes "understood".
inline constexpr std::array pid_table{
    PidInfo{pid::sentinel, "PID_SENTINEL", 0},
    PidInfo{pid::participant_lease_duration, "PID_PARTICIPANT_LEASE_DURATION", 8},
    PidInfo{pid::topic_name, "PID_TOPIC_NAME", 4},
    PidInfo{pid::ownership_strength, "PID_OWNERSHIP_STRENGTH", 4},
    PidInfo{pid::type_name, "PID_TYPE_NAME", 4},
    PidInfo{pid::domain_id, "PID_DOMAIN_ID", 4},
    PidInfo{pid::protocol_version, "PID_PROTOCOL_VERSION", 2},
    PidInfo{pid::vendor_id, "PID_VENDORID", 2},
    PidInfo{pid::reliability, "PID_RELIABILITY", 12},
    PidInfo{pid::liveliness, "PID_LIVELINESS", 12},
    PidInfo{pid::durability, "PID_DURABILITY", 4},
    PidInfo{pid::ownership, "PID_OWNERSHIP", 4},
    PidInfo{pid::deadline, "PID_DEADLINE", 8},
    PidInfo{pid::partition, "PID_PARTITION", 4},
    PidInfo{pid::lifespan, "PID_LIFESPAN", 8},
    PidInfo{pid::user_data, "PID_USER_DATA", 4},
    PidInfo{pid::group_data, "PID_GROUP_DATA", 4},
    PidInfo{pid::topic_data, "PID_TOPIC_DATA", 4},
    PidInfo{pid::default_unicast_locator, "PID_DEFAULT_UNICAST_LOCATOR", 24},
    PidInfo{pid::metatraffic_unicast_locator, "PID_METATRAFFIC_UNICAST_LOCATOR", 24},
    PidInfo{pid::metatraffic_multicast_locator, "PID_METATRAFFIC_MULTICAST_LOCATOR", 24},
    PidInfo{pid::content_filter_property, "PID_CONTENT_FILTER_PROPERTY", 20},
    PidInfo{pid::default_multicast_locator, "PID_DEFAULT_MULTICAST_LOCATOR", 24},
    PidInfo{pid::participant_guid, "PID_PARTICIPANT_GUID", 16},
    PidInfo{pid::coherent_set, "PID_COHERENT_SET", 8},
    PidInfo{pid::directed_write, "PID_DIRECTED_WRITE", 16},
    PidInfo{pid::builtin_endpoint_set, "PID_BUILTIN_ENDPOINT_SET", 4},
    PidInfo{pid::property_list, "PID_PROPERTY_LIST", 4},
    PidInfo{pid::endpoint_guid, "PID_ENDPOINT_GUID", 16},
    PidInfo{pid::type_max_size_serialized, "PID_TYPE_MAX_SIZE_SERIALIZED", 4},
    PidInfo{pid::original_writer_info, "PID_ORIGINAL_WRITER_INFO", 24},
    PidInfo{pid::entity_name, "PID_ENTITY_NAME", 4},
    PidInfo{pid::group_coherent_set, "PID_GROUP_COHERENT_SET", 8},
    PidInfo{pid::group_seq_num, "PID_GROUP_SEQ_NUM", 8},
    PidInfo{pid::key_hash, "PID_KEY_HASH", 16},
    PidInfo{pid::status_info, "PID_STATUS_INFO", 4},
    PidInfo{pid::type_object, "PID_TYPE_OBJECT", 4},
    PidInfo{pid::data_representation, "PID_DATA_REPRESENTATION", 4},
    PidInfo{pid::type_consistency_enforcement, "PID_TYPE_CONSISTENCY_ENFORCEMENT", 2},
    PidInfo{pid::type_information, "PID_TYPE_INFORMATION", 4},
    PidInfo{pid::service_instance_name, "PID_SERVICE_INSTANCE_NAME", 4},
    PidInfo{pid::related_entity_guid, "PID_RELATED_ENTITY_GUID", 16},
    PidInfo{pid::topic_aliases, "PID_TOPIC_ALIASES", 4},
    PidInfo{pid::related_sample_identity, "PID_RELATED_SAMPLE_IDENTITY", 24},
    PidInfo{pid::identity_token, "PID_IDENTITY_TOKEN", 4},
    PidInfo{pid::permissions_token, "PID_PERMISSIONS_TOKEN", 4},
    PidInfo{pid::endpoint_security_info, "PID_ENDPOINT_SECURITY_INFO", 8},
    PidInfo{pid::participant_security_info, "PID_PARTICIPANT_SECURITY_INFO", 8},
    PidInfo{pid::identity_status_token, "PID_IDENTITY_STATUS_TOKEN", 4},
    PidInfo{pid::participant_security_digital_signature_algo,
            "PID_PARTICIPANT_SECURITY_DIGITAL_SIGNATURE_ALGO", 16},
    PidInfo{pid::participant_security_key_establishment_algo,
            "PID_PARTICIPANT_SECURITY_KEY_ESTABLISHMENT_ALGO", 8},
    PidInfo{pid::participant_security_symmetric_cipher_algo,
            "PID_PARTICIPANT_SECURITY_SYMMETRIC_CIPHER_ALGO", 16},
    PidInfo{pid::endpoint_security_symmetric_cipher_algo,
            "PID_ENDPOINT_SECURITY_SYMMETRIC_CIPHER_ALGO", 4},
    PidInfo{pid::ignore, "PID_IGNORE", 0},
};

constexpr const PidInfo* find_pid_info(std::uint16_t id) {
  for (const auto& info : pid_table) {
    if (info.id == id) return &info;
  }
  return nullptr;
}

struct Parameter {
  std::uint16_t id = 0;
  std::vector<std::byte> value;  // unpadded, as long as the received length field

  // A cursor over the value in the list's byte order.
  WireReader reader(bool little_endian) const { return WireReader(value, little_endian); }
  // The first bytes of the value when it holds at least that many.
  std::optional<std::uint32_t> read_u32(bool little_endian) const;
  std::optional<std::int32_t> read_i32(bool little_endian) const;
  // Exactly 16 bytes.
  std::optional<Guid> read_guid() const;
  // Exactly 24 bytes and a kind accepted from discovery data.
  std::optional<Locator> read_locator(bool little_endian) const;
  // Seconds then fraction, starting at `offset` (reliability and liveliness carry a kind first).
  std::optional<RtpsDuration> read_duration(bool little_endian, std::size_t offset = 0) const;
  // True when the value holds at least the fixed part its PID needs (always for unknown PIDs).
  bool has_min_length() const;

  friend bool operator==(const Parameter&, const Parameter&) = default;
};

struct ParameterList {
  static constexpr std::size_t max_parameters = 4096;
  // A 16-bit length field holds at most 65,535, and lengths are multiples of 4.
  static constexpr std::size_t max_value_length = 65532;

  std::vector<Parameter> parameters;

  void push(Parameter parameter) { parameters.push_back(std::move(parameter)); }
  void push(std::uint16_t id, std::span<const std::byte> value) {
    parameters.push_back({id, std::vector<std::byte>(value.begin(), value.end())});
  }
  void push_u32(std::uint16_t id, std::uint32_t value, bool little_endian);
  void push_guid(std::uint16_t id, const Guid& guid);
  void push_locator(std::uint16_t id, const Locator& locator, bool little_endian);
  void push_duration(std::uint16_t id, RtpsDuration duration, bool little_endian);

  // First parameter with this id, or null. Discovery records take the first of a PID.
  const Parameter* find(std::uint16_t id) const;
  std::size_t size() const { return parameters.size(); }
  bool empty() const { return parameters.empty(); }
  auto begin() const { return parameters.begin(); }
  auto end() const { return parameters.end(); }

  // Framed parameters and the sentinel; fails for a value longer than `max_value_length`.
  CodecResult<void> encode(WireWriter& writer) const;
  // Parses up to and including the sentinel, leaving the reader just past it. Offsets in errors
  // are the reader's, so a list nested in a larger body gets a reader of its own (`rest`).
  static CodecResult<ParameterList> decode(WireReader& reader);

  // DDSI-RTPS 2.5 section 9.6.2.2.1: a receiver must drop a message carrying a must-understand
  // parameter (bit 14 set, bit 15 clear) it does not know.
  CodecResult<void> validate_must_understand_in_data_pipeline() const;

  friend bool operator==(const ParameterList&, const ParameterList&) = default;
};

}  // namespace nimbrel::rtps
