// Type information: what an endpoint's discovery data says about its type (the SEDP parameter
// 0x0075), the minimal and the complete identifier with the size of their objects and the ones
// they depend on. Cyclone DDS sends it in XCDR2 (DDS-XTypes 1.3 section 7.6.3.2.2: a mutable
// record without an encapsulation header); Fast DDS 2.x in XCDR1 behind its own encapsulation
// header. Both decode into one struct; the XCDR2 form, byte for byte as Cyclone writes it, is the
// one encoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <vector>

#include "cdr/buffer.hpp"
#include "types/type_identifier.hpp"
#include "types/type_object/common.hpp"

namespace nimbrel::types {

// A dependency as the type lookup service names it, with the size of its type object's tagged
// little-endian form (0: unknown).
struct TypeIdentifierWithSize {
  using standard_layout = AppendableFields;
  TypeIdentifier type_id{};
  std::uint32_t typeobject_serialized_size = 0;
  static auto fields(auto& self) { return std::tie(self.type_id, self.typeobject_serialized_size); }
  friend bool operator==(const TypeIdentifierWithSize&, const TypeIdentifierWithSize&) = default;
};

struct TypeIdentifierWithDependencies {
  using standard_layout = AppendableFields;
  TypeIdentifierWithSize typeid_with_size{};
  std::int32_t dependent_typeid_count = 0;  // may exceed the list, which can be partial
  std::vector<TypeIdentifierWithSize> dependent_typeids{};
  static auto fields(auto& self) {
    return std::tie(self.typeid_with_size, self.dependent_typeid_count, self.dependent_typeids);
  }
  friend bool operator==(const TypeIdentifierWithDependencies&,
                         const TypeIdentifierWithDependencies&) = default;
};

struct TypeInformation {
  TypeIdentifierWithDependencies minimal{};
  TypeIdentifierWithDependencies complete{};
  friend bool operator==(const TypeInformation&, const TypeInformation&) = default;
};

// The parameter's value in either peer's form. `little_endian` is the parameter list's order, which
// the XCDR2 form follows; Fast DDS's form names its own. Bytes after the value beyond the
// parameter's padding fail.
CodecResult<TypeInformation> decode_type_information(std::span<const std::byte> value,
                                                     bool little_endian = true);

// The XCDR2 form: DHEADER, then each member behind an EMHEADER with a NEXTINT length.
CodecResult<std::vector<std::byte>> encode_type_information(const TypeInformation& info,
                                                            bool little_endian = true);

// A list of them as type lookup messages carry it in XCDR2: DHEADER, count, then each behind its
// own DHEADER. The reader's and writer's origin sit 4-aligned before it.
CodecResult<void> encode_xcdr2(cdr::BufferWriter& writer,
                               const std::vector<TypeIdentifierWithSize>& list);
CodecResult<std::vector<TypeIdentifierWithSize>> decode_xcdr2_identifiers_with_size(
    cdr::BufferReader& reader);

}  // namespace nimbrel::types
