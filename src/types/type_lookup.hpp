// Bodies of the XTypes type lookup service messages (DDS-XTypes 1.3 section 7.6.3.3.4), without
// RPC headers or encapsulation: getTypes and getTypeDependencies, their replies, and the opaque
// continuation point that pages dependency replies. Plain CDR in the buffer's byte order.
#pragma once

#include <cstdint>
#include <tuple>
#include <vector>

#include "cdr/buffer.hpp"
#include "types/type_identifier.hpp"
#include "types/type_information.hpp"
#include "types/type_object.hpp"

namespace nimbrel::types {

inline constexpr std::size_t max_continuation_point_size = 32;

struct ContinuationPoint {
  std::vector<std::uint8_t> bytes{};

  // Writes at most the first 32 bytes.
  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  // A length above 32 fails with InvalidValue carrying it.
  static CodecResult<ContinuationPoint> decode(cdr::BufferReader& reader);
  friend bool operator==(const ContinuationPoint&, const ContinuationPoint&) = default;
};
CodecResult<void> encode_field(cdr::BufferWriter& w, const ContinuationPoint& point);
CodecResult<void> decode_field(cdr::BufferReader& r, ContinuationPoint& point);

// Each body lists its fields for the shared codec; requests decode their identifiers themselves.

// An identifier that does not decode fails the request with InvalidElement "eof" (it ran out of
// input) or "decode" (any other error).
struct GetTypesRequest {
  std::vector<TypeIdentifier> type_ids{};
  static auto fields(auto& self) { return std::tie(self.type_ids); }

  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  static CodecResult<GetTypesRequest> decode(cdr::BufferReader& reader);
  friend bool operator==(const GetTypesRequest&, const GetTypesRequest&) = default;
};

struct GetTypesReply {
  std::vector<TypeObject> types{};
  static auto fields(auto& self) { return std::tie(self.types); }

  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  static CodecResult<GetTypesReply> decode(cdr::BufferReader& reader);
  friend bool operator==(const GetTypesReply&, const GetTypesReply&) = default;
};

// An identifier that does not decode fails the request with InvalidElement "type_id".
struct GetTypeDependenciesRequest {
  std::vector<TypeIdentifier> type_ids{};
  ContinuationPoint continuation_point{};
  static auto fields(auto& self) { return std::tie(self.type_ids, self.continuation_point); }

  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  static CodecResult<GetTypeDependenciesRequest> decode(cdr::BufferReader& reader);
  friend bool operator==(const GetTypeDependenciesRequest&,
                         const GetTypeDependenciesRequest&) = default;
};

struct GetTypeDependenciesReply {
  std::vector<TypeIdentifierWithSize> dependent_typeids{};
  ContinuationPoint continuation_point{};
  static auto fields(auto& self) {
    return std::tie(self.dependent_typeids, self.continuation_point);
  }

  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  static CodecResult<GetTypeDependenciesReply> decode(cdr::BufferReader& reader);
  friend bool operator==(const GetTypeDependenciesReply&,
                         const GetTypeDependenciesReply&) = default;
};

}  // namespace nimbrel::types
