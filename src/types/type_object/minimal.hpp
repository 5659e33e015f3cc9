// Minimal XTypes type objects (DDS-XTypes 1.3 section 7.3.4.6): the form in which member names are
// reduced to four-byte name hashes and annotations are dropped; what assignability compares.
// Ten alternatives, each a plain record whose `fields` give its wire order.
#pragma once

#include <cstdint>
#include <tuple>
#include <variant>
#include <vector>

#include "cdr/buffer.hpp"
#include "types/type_identifier.hpp"
#include "types/type_object/common.hpp"

namespace nimbrel::types {

struct MinimalAliasType {
  using standard_layout = FinalGroup<Part<0>, AppendableGroup<>, AppendableGroup<Part<1>, Part<2>>>;
  std::uint16_t alias_flags = 0;
  std::uint16_t related_flags = 0;
  TypeIdentifier related_type{};
  static auto fields(auto& self) {
    return std::tie(self.alias_flags, self.related_flags, self.related_type);
  }
  friend bool operator==(const MinimalAliasType&, const MinimalAliasType&) = default;
};

struct MinimalAnnotationParameter {
  std::uint32_t leading = 0;  // carried unchanged; its meaning is not fixed
  std::uint16_t member_flags = 0;
  TypeIdentifier member_type{};
  std::string name{};
  ParameterValue default_value{};
  static auto fields(auto& self) {
    return std::tie(self.leading, self.member_flags, self.member_type, self.name,
                    self.default_value);
  }
  friend bool operator==(const MinimalAnnotationParameter&,
                         const MinimalAnnotationParameter&) = default;
};

struct MinimalAnnotationType {
  std::uint16_t annotation_flags = 0;
  std::vector<MinimalAnnotationParameter> parameters{};
  static auto fields(auto& self) { return std::tie(self.annotation_flags, self.parameters); }
  friend bool operator==(const MinimalAnnotationType&, const MinimalAnnotationType&) = default;
};

struct MinimalStructMember {
  using standard_layout = AppendableFields;
  std::uint32_t member_id = 0;
  std::uint16_t member_flags = 0;
  TypeIdentifier member_type{};
  NameHash name_hash{};
  static auto fields(auto& self) {
    return std::tie(self.member_id, self.member_flags, self.member_type, self.name_hash);
  }
  friend bool operator==(const MinimalStructMember&, const MinimalStructMember&) = default;
};

struct MinimalStructType {
  using standard_layout = FinalGroup<Part<0>, AppendableGroup<Part<1>>, Part<2>>;
  std::uint16_t struct_flags = 0;
  TypeIdentifier base_type{};  // None: no base
  std::vector<MinimalStructMember> members{};
  static auto fields(auto& self) {
    return std::tie(self.struct_flags, self.base_type, self.members);
  }
  friend bool operator==(const MinimalStructType&, const MinimalStructType&) = default;
};

struct MinimalUnionMember {
  using standard_layout = AppendableFields;
  CommonUnionMember common{};
  NameHash name_hash{};
  static auto fields(auto& self) { return std::tie(self.common, self.name_hash); }
  friend bool operator==(const MinimalUnionMember&, const MinimalUnionMember&) = default;
};

struct MinimalUnionType {
  using standard_layout =
      FinalGroup<Part<0>, AppendableGroup<>, AppendableGroup<Part<1>, Part<2>>, Part<3>>;
  std::uint16_t union_flags = 0;
  std::uint16_t discriminator_flags = 0;
  TypeIdentifier discriminator_type{};
  std::vector<MinimalUnionMember> members{};
  static auto fields(auto& self) {
    return std::tie(self.union_flags, self.discriminator_flags, self.discriminator_type,
                    self.members);
  }
  friend bool operator==(const MinimalUnionType&, const MinimalUnionType&) = default;
};

struct MinimalBitfield {
  using standard_layout = AppendableFields;
  std::uint16_t position = 0;
  std::uint16_t flags = 0;
  std::uint8_t bitcount = 0;
  std::uint8_t holder_type = 0;  // a primitive TK code
  NameHash name_hash{};
  static auto fields(auto& self) {
    return std::tie(self.position, self.flags, self.bitcount, self.holder_type, self.name_hash);
  }
  friend bool operator==(const MinimalBitfield&, const MinimalBitfield&) = default;
};

struct MinimalBitsetType {
  using standard_layout = AppendableGroup<Part<0>, AppendableGroup<>, Part<1>>;
  std::uint16_t bitset_flags = 0;
  std::vector<MinimalBitfield> fields_seq{};
  static auto fields(auto& self) { return std::tie(self.bitset_flags, self.fields_seq); }
  friend bool operator==(const MinimalBitsetType&, const MinimalBitsetType&) = default;
};

struct MinimalSequenceType {
  using standard_layout =
      FinalGroup<Part<0>, AppendableGroup<Part<1>>, AppendableGroup<Part<2>, Part<3>>>;
  std::uint16_t collection_flags = 0;
  std::uint32_t bound = 0;
  std::uint16_t element_flags = 0;
  TypeIdentifier element_type{};
  static auto fields(auto& self) {
    return std::tie(self.collection_flags, self.bound, self.element_flags, self.element_type);
  }
  friend bool operator==(const MinimalSequenceType&, const MinimalSequenceType&) = default;
};

struct MinimalArrayType {
  using standard_layout =
      FinalGroup<Part<0>, AppendableGroup<Part<1>>, AppendableGroup<Part<2>, Part<3>>>;
  std::uint16_t collection_flags = 0;
  std::vector<std::uint32_t> bounds{};
  std::uint16_t element_flags = 0;
  TypeIdentifier element_type{};
  static auto fields(auto& self) {
    return std::tie(self.collection_flags, self.bounds, self.element_flags, self.element_type);
  }
  friend bool operator==(const MinimalArrayType&, const MinimalArrayType&) = default;
};

struct MinimalMapType {
  using standard_layout =
      FinalGroup<Part<0>, AppendableGroup<Part<1>>, AppendableGroup<Part<2>, Part<3>>,
                 AppendableGroup<Part<4>, Part<5>>>;
  std::uint16_t collection_flags = 0;
  std::uint32_t bound = 0;
  std::uint16_t key_flags = 0;
  TypeIdentifier key_type{};
  std::uint16_t element_flags = 0;
  TypeIdentifier element_type{};
  static auto fields(auto& self) {
    return std::tie(self.collection_flags, self.bound, self.key_flags, self.key_type,
                    self.element_flags, self.element_type);
  }
  friend bool operator==(const MinimalMapType&, const MinimalMapType&) = default;
};

struct MinimalEnumeratedLiteral {
  // Peers nest the value and flags in an appendable record of their own.
  using standard_layout = AppendableGroup<AppendableGroup<Part<0>, Part<1>>, Part<2>>;
  std::int32_t value = 0;
  std::uint16_t flags = 0;
  NameHash name_hash{};
  static auto fields(auto& self) { return std::tie(self.value, self.flags, self.name_hash); }
  friend bool operator==(const MinimalEnumeratedLiteral&,
                         const MinimalEnumeratedLiteral&) = default;
};

struct MinimalEnumeratedType {
  using standard_layout = FinalGroup<Part<0>, AppendableGroup<Part<1>>, Part<2>>;
  std::uint16_t enum_flags = 0;
  std::uint16_t bit_bound = 0;
  std::vector<MinimalEnumeratedLiteral> literals{};
  static auto fields(auto& self) {
    return std::tie(self.enum_flags, self.bit_bound, self.literals);
  }
  friend bool operator==(const MinimalEnumeratedType&, const MinimalEnumeratedType&) = default;
};

struct MinimalBitflag {
  using standard_layout = AppendableFields;
  std::uint16_t position = 0;
  std::uint16_t flags = 0;
  NameHash name_hash{};
  static auto fields(auto& self) { return std::tie(self.position, self.flags, self.name_hash); }
  friend bool operator==(const MinimalBitflag&, const MinimalBitflag&) = default;
};

struct MinimalBitmaskType {
  using standard_layout = AppendableGroup<Part<0>, AppendableGroup<Part<1>>, Part<2>>;
  std::uint16_t bitmask_flags = 0;
  std::uint16_t bit_bound = 0;
  std::vector<MinimalBitflag> flags{};
  static auto fields(auto& self) {
    return std::tie(self.bitmask_flags, self.bit_bound, self.flags);
  }
  friend bool operator==(const MinimalBitmaskType&, const MinimalBitmaskType&) = default;
};

struct MinimalTypeObject {
  // Alternative order fixes the kind byte (type_kind_codes).
  using Value =
      std::variant<MinimalAliasType, MinimalAnnotationType, MinimalStructType, MinimalUnionType,
                   MinimalBitsetType, MinimalSequenceType, MinimalArrayType, MinimalMapType,
                   MinimalEnumeratedType, MinimalBitmaskType>;
  Value value{};

  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  static CodecResult<MinimalTypeObject> decode(cdr::BufferReader& reader);
  friend bool operator==(const MinimalTypeObject&, const MinimalTypeObject&) = default;
};

}  // namespace nimbrel::types
