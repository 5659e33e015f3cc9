// The SPDP payload (DDSI-RTPS 2.5 section 8.5.3.2): who a participant is, where it can be reached
// and which builtin endpoints it runs. `encode` never fails, it leaves out what it cannot frame;
// `decode` rejects only a payload without a usable participant GUID and falls back to the
// defaults below for every other absent or unusable parameter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rtps/parameter_list.hpp"
#include "rtps/property_list.hpp"
#include "rtps/wire_cursor.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::rtps {

// Encapsulation identifiers of serialized payloads (DDSI-RTPS 2.5 section 10.5).
namespace encapsulation {
inline constexpr std::array<std::uint8_t, 2> cdr_be{0x00, 0x00};
inline constexpr std::array<std::uint8_t, 2> cdr_le{0x00, 0x01};
inline constexpr std::array<std::uint8_t, 2> pl_cdr_be{0x00, 0x02};
inline constexpr std::array<std::uint8_t, 2> pl_cdr_le{0x00, 0x03};
inline constexpr std::array<std::uint8_t, 2> cdr2_be{0x00, 0x06};
inline constexpr std::array<std::uint8_t, 2> cdr2_le{0x00, 0x07};
}  // namespace encapsulation

inline CodecError unsupported_encapsulation(std::array<std::uint8_t, 2> id, std::size_t offset) {
  return {
      .kind = CodecError::Kind::UnsupportedEncapsulation, .offset = offset, .encapsulation = id};
}

// The parameter list of a PL_CDR_LE or PL_CDR_BE payload, shared by the discovery records. The
// encapsulation header names the byte order, whatever the cursor's; offsets in the list's errors
// count from the list's start.
struct PlCdrPayload {
  ParameterList parameters;
  bool little_endian = true;

  // Fails for a value too long to frame.
  CodecResult<void> encode(WireWriter& writer) const;
  static CodecResult<PlCdrPayload> decode(WireReader& reader);
};

// Security algorithm parameters (DDS-Security 1.2 section 7.4.1.6), kept as received.
using DigitalSignatureAlgorithmInfo = std::array<std::uint32_t, 4>;
using KeyEstablishmentAlgorithmInfo = std::array<std::uint32_t, 2>;
using SymmetricCipherAlgorithmInfo = std::array<std::uint32_t, 4>;

struct ParticipantBuiltinTopicData {
  Guid participant_guid{};
  ProtocolVersion protocol_version = protocol_version_2_5;
  VendorId vendor_id{};
  std::optional<Locator> default_unicast_locator{};
  std::optional<Locator> default_multicast_locator{};
  std::optional<Locator> metatraffic_unicast_locator{};
  std::optional<Locator> metatraffic_multicast_locator{};
  std::optional<std::uint32_t> domain_id{};
  std::uint32_t builtin_endpoint_set = 0;
  RtpsDuration lease_duration{100, 0};
  std::vector<std::byte> user_data{};
  // PID_ENTITY_NAME, as Fast DDS sends it; decoded for display, never sent.
  std::optional<std::string> entity_name{};
  WirePropertyList properties{};
  // Token parameter values exactly as received, uninterpreted here.
  std::optional<std::vector<std::byte>> identity_token{};
  std::optional<std::vector<std::byte>> permissions_token{};
  std::optional<std::vector<std::byte>> identity_status_token{};
  std::optional<DigitalSignatureAlgorithmInfo> digital_signature_algorithm_info{};
  std::optional<KeyEstablishmentAlgorithmInfo> key_establishment_algorithm_info{};
  std::optional<SymmetricCipherAlgorithmInfo> symmetric_cipher_algorithm_info{};

  // PL_CDR_LE whatever the writer's byte order.
  void encode(WireWriter& writer) const;
  // Locators are taken from PL_CDR_LE payloads only.
  static CodecResult<ParticipantBuiltinTopicData> decode(WireReader& reader);

  friend bool operator==(const ParticipantBuiltinTopicData&,
                         const ParticipantBuiltinTopicData&) = default;
};

}  // namespace nimbrel::rtps
