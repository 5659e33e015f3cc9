// The values of a sample that need no registry: primitives, strings, enums, bitmasks and
// bitsets, read at the cursor and appended to the JSON output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "types/detail/xcdr_cursor.hpp"
#include "types/type_object/complete.hpp"

namespace nimbrel::types::detail {

std::size_t primitive_size(PrimitiveKind kind);
// Enums, bitmasks and bitsets travel as the smallest integer their bit bound fits in.
std::size_t holder_size(unsigned bits);

// `integral` also receives the value when the kind is an integer, char or boolean.
SampleResult read_primitive(XcdrCursor& in, std::string& out, PrimitiveKind kind,
                            std::int64_t* integral = nullptr);
SampleResult read_string8(XcdrCursor& in, std::string& out, std::uint32_t bound);
SampleResult read_string16(XcdrCursor& in, std::string& out, std::uint32_t bound);
// An unknown value fails; `numeric` receives a known one.
SampleResult read_enum(XcdrCursor& in, std::string& out, const CompleteEnumeratedType& type,
                       std::int64_t* numeric = nullptr);
SampleResult read_bitmask(XcdrCursor& in, std::string& out, const CompleteBitmaskType& type);
SampleResult read_bitset(XcdrCursor& in, std::string& out, const CompleteBitsetType& type);

}  // namespace nimbrel::types::detail
