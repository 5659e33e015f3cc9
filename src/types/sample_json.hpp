// A recorded sample as one line of JSON, read through the complete type objects of its writer's
// type: `nimbrel-rec dump --decode` prints it, other tools may reuse it. The sample is what a
// writer serialized: the 4-byte encapsulation header (XCDR1 or XCDR2, either byte order), then
// the body. Hostile bytes end in an error naming the offset and the member path, never in a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "types/resolve.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::types {

struct SampleJsonError {
  enum class Kind : std::uint8_t {
    Truncated,     // the bytes end before the value does
    Malformed,     // a header, count, length or flag that no writer of the type could produce
    UnknownValue,  // an enum value, bitmask bit or must-understand member the type lacks
    UnknownType,   // the registry holds no complete type for a hash
    Unsupported,   // an encapsulation or identifier kind this decoder does not read
    Limit,         // nesting or output past the limits
  };
  Kind kind = Kind::Malformed;
  std::size_t offset = 0;  // from the first byte of the sample, its header included
  std::string path{};      // the member being read, as pos.x or items[2].name; empty at the top
  std::string detail{};    // what failed, without offset and path

  friend bool operator==(const SampleJsonError&, const SampleJsonError&) = default;
};

// "truncated at offset 40 in pos.x", "unknown enum value 7 at offset 12 in color".
std::string to_string(const SampleJsonError& error);

struct SampleJsonLimits {
  unsigned max_depth = 64;             // nested types, aliases and collections
  std::size_t max_output = 64u << 20;  // bytes of JSON
};

// `top` names the writer's type, normally by its complete hash. Numbers are exact (64-bit
// integers as numbers, NaN and infinities as strings, float128 as a hex string); enums are
// their literal's name, bitmasks arrays of flag names, unions {"discriminator": d, member: v},
// maps objects when keyed by strings and [{"key": k, "value": v}, ...] otherwise. A member that
// is absent (an optional one, or any one a mutable type's writer left out) is null; the trailing
// members an older writer of an appendable type did not know are left out. An enum value or
// bitmask bit the type does not name fails the sample.
std::expected<std::string, SampleJsonError> decode_sample_json(const TypeIdentifier& top,
                                                               const TypeRegistry& registry,
                                                               std::span<const std::byte> sample,
                                                               const SampleJsonLimits& limits = {});

}  // namespace nimbrel::types
