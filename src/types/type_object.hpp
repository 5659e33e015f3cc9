// A type object in either form, as the type lookup service exchanges it and the registry keeps
// it. Its tagged form leads with the equivalence kind (EK_MINIMAL 0xF1, EK_COMPLETE 0xF2); the
// serialized sizes of dependency replies are measured on that form, little-endian.
#pragma once

#include <cstddef>
#include <expected>
#include <variant>
#include <vector>

#include "cdr/buffer.hpp"
#include "types/type_object/complete.hpp"
#include "types/type_object/minimal.hpp"

namespace nimbrel::types {

inline constexpr std::uint8_t ek_minimal = 0xF1;
inline constexpr std::uint8_t ek_complete = 0xF2;

struct TypeObject {
  std::variant<MinimalTypeObject, CompleteTypeObject> value{};

  // The kind byte, then the object.
  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  // A kind byte other than 0xF1 or 0xF2 fails with InvalidValue carrying it.
  static CodecResult<TypeObject> decode(cdr::BufferReader& reader);

  friend bool operator==(const TypeObject&, const TypeObject&) = default;
};

// Field codec overloads, so lists of type objects go through the shared sequence helpers.
CodecResult<void> encode_field(cdr::BufferWriter& w, const TypeObject& object);
CodecResult<void> decode_field(cdr::BufferReader& r, TypeObject& object);

}  // namespace nimbrel::types
