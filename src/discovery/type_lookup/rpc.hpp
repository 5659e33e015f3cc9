// Type lookup requests and replies as standard peers exchange them (DDS-XTypes 1.3 section 7.6.3.3,
// DDS-RPC framing): a request or reply header, then the call or return union, all XCDR2 behind a
// CDR2 encapsulation whose options count the padding at the end. Type objects travel as opaque
// bytes, exactly as carried (their DHEADER included), since their hash is taken over those bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "foundation/codec_error.hpp"
#include "rtps/wire_types.hpp"
#include "types/type_identifier.hpp"
#include "types/type_information.hpp"

namespace nimbrel::discovery::rpc {

// Member and operation ids: the first four bytes of the MD5 of the name, little-endian, 28 bits.
namespace hash_id {
inline constexpr std::uint32_t get_types = 0x018252d3;
// Named "getDependencies" on the wire, whatever the operation is called elsewhere.
inline constexpr std::uint32_t get_type_dependencies = 0x05aafb31;
inline constexpr std::uint32_t type_ids = 0x0c536065;
inline constexpr std::uint32_t continuation_point = 0x0508e3d2;
inline constexpr std::uint32_t types = 0x02804ad1;
inline constexpr std::uint32_t complete_to_minimal = 0x0b8e6577;
inline constexpr std::uint32_t dependent_typeids = 0x0ba4dfc9;
}  // namespace hash_id

// Caps checked before anything is reserved.
inline constexpr std::size_t max_type_ids = 1024;
inline constexpr std::size_t max_continuation_point = 32;
inline constexpr std::size_t max_instance_name = 255;

// The GUID travels as four 32-bit words in the stream's byte order.
struct SampleIdentity {
  rtps::Guid writer_guid{};
  std::int64_t sequence_number = 0;
  friend bool operator==(const SampleIdentity&, const SampleIdentity&) = default;
};

struct GetTypesIn {
  std::vector<types::TypeIdentifier> type_ids{};
  friend bool operator==(const GetTypesIn&, const GetTypesIn&) = default;
};

struct GetTypeDependenciesIn {
  std::vector<types::TypeIdentifier> type_ids{};
  std::vector<std::uint8_t> continuation_point{};
  friend bool operator==(const GetTypeDependenciesIn&, const GetTypeDependenciesIn&) = default;
};

struct Request {
  SampleIdentity request_id{};
  std::string instance_name{};
  std::variant<GetTypesIn, GetTypeDependenciesIn> call{};
  friend bool operator==(const Request&, const Request&) = default;
};

struct TypePair {
  types::TypeIdentifier type_id{};
  std::vector<std::byte> type_object{};  // DHEADER and body
  friend bool operator==(const TypePair&, const TypePair&) = default;
};

struct IdentifierPair {
  types::TypeIdentifier complete{};
  types::TypeIdentifier minimal{};
  friend bool operator==(const IdentifierPair&, const IdentifierPair&) = default;
};

struct GetTypesOut {
  std::vector<TypePair> types{};
  std::vector<IdentifierPair> complete_to_minimal{};
  friend bool operator==(const GetTypesOut&, const GetTypesOut&) = default;
};

struct GetTypeDependenciesOut {
  std::vector<types::TypeIdentifierWithSize> dependent_typeids{};
  std::vector<std::uint8_t> continuation_point{};
  friend bool operator==(const GetTypeDependenciesOut&, const GetTypeDependenciesOut&) = default;
};

inline constexpr std::int32_t remote_ex_ok = 0;
inline constexpr std::int32_t retcode_ok = 0;

// The result is carried only when both codes are OK; otherwise it decodes as the empty result of
// the operation named.
struct Reply {
  SampleIdentity related_request{};
  std::int32_t remote_ex = remote_ex_ok;
  std::int32_t retcode = retcode_ok;
  std::variant<GetTypesOut, GetTypeDependenciesOut> result{};
  friend bool operator==(const Reply&, const Reply&) = default;
};

// Whole serialized payloads, encapsulation included: CDR2_LE on encoding, either byte order on
// decoding. Bytes past the value are refused, save the padding the options declare.
CodecResult<std::vector<std::byte>> encode_payload(const Request& request);
CodecResult<std::vector<std::byte>> encode_payload(const Reply& reply);
CodecResult<Request> decode_request(std::span<const std::byte> payload);
CodecResult<Reply> decode_reply(std::span<const std::byte> payload);

// True when the payload opens with a CDR2 encapsulation (either byte order): the standard form,
// as against the plain CDR of the header-less bodies.
bool is_cdr2_payload(std::span<const std::byte> payload);

}  // namespace nimbrel::discovery::rpc
