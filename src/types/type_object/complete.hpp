// Complete XTypes type objects (DDS-XTypes 1.3 section 7.3.4.5): the form that keeps type and
// member names and applied annotations. Ten alternatives, each a plain record whose `fields`
// give its wire order; collection headers always carry their type detail.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "cdr/buffer.hpp"
#include "types/type_identifier.hpp"
#include "types/type_object/common.hpp"

namespace nimbrel::types {

struct CompleteTypeDetail {
  using standard_layout = FinalFields;
  AppliedBuiltinTypeAnnotations builtin_annotations{};
  OptionalAppliedAnnotationSeq custom_annotations{};
  std::string type_name{};
  static auto fields(auto& self) {
    return std::tie(self.builtin_annotations, self.custom_annotations, self.type_name);
  }
  friend bool operator==(const CompleteTypeDetail&, const CompleteTypeDetail&) = default;
};

struct CompleteMemberDetail {
  using standard_layout = FinalFields;
  std::string name{};
  AppliedBuiltinMemberAnnotations builtin_annotations{};
  OptionalAppliedAnnotationSeq custom_annotations{};
  static auto fields(auto& self) {
    return std::tie(self.name, self.builtin_annotations, self.custom_annotations);
  }
  friend bool operator==(const CompleteMemberDetail&, const CompleteMemberDetail&) = default;
};

struct CompleteAliasType {
  using standard_layout = FinalGroup<Part<0>, AppendableGroup<Part<1>>,
                                     AppendableGroup<Part<2>, Part<3>, Part<4>, Part<5>>>;
  std::uint16_t alias_flags = 0;
  CompleteTypeDetail detail{};
  std::uint16_t related_flags = 0;
  TypeIdentifier related_type{};
  AppliedBuiltinMemberAnnotations builtin_annotations{};
  OptionalAppliedAnnotationSeq custom_annotations{};
  static auto fields(auto& self) {
    return std::tie(self.alias_flags, self.detail, self.related_flags, self.related_type,
                    self.builtin_annotations, self.custom_annotations);
  }
  friend bool operator==(const CompleteAliasType&, const CompleteAliasType&) = default;
};

struct CompleteAnnotationParameter {
  std::uint32_t leading = 0;  // carried unchanged; its meaning is not fixed
  std::uint16_t member_flags = 0;
  TypeIdentifier member_type{};
  std::string name{};
  AnnotationDefaultValue default_value{};
  static auto fields(auto& self) {
    return std::tie(self.leading, self.member_flags, self.member_type, self.name,
                    self.default_value);
  }
  friend bool operator==(const CompleteAnnotationParameter&,
                         const CompleteAnnotationParameter&) = default;
};

struct CompleteAnnotationType {
  std::uint16_t annotation_flags = 0;
  CompleteTypeDetail detail{};
  std::vector<CompleteAnnotationParameter> parameters{};
  static auto fields(auto& self) {
    return std::tie(self.annotation_flags, self.detail, self.parameters);
  }
  friend bool operator==(const CompleteAnnotationType&, const CompleteAnnotationType&) = default;
};

struct CompleteStructMember {
  using standard_layout = AppendableFields;
  std::uint32_t member_id = 0;
  std::uint16_t member_flags = 0;
  TypeIdentifier member_type{};
  CompleteMemberDetail detail{};
  static auto fields(auto& self) {
    return std::tie(self.member_id, self.member_flags, self.member_type, self.detail);
  }
  friend bool operator==(const CompleteStructMember&, const CompleteStructMember&) = default;
};

struct CompleteStructType {
  using standard_layout = FinalGroup<Part<0>, AppendableGroup<Part<1>, Part<2>>, Part<3>>;
  std::uint16_t struct_flags = 0;
  TypeIdentifier base_type{};  // None: no base
  CompleteTypeDetail detail{};
  std::vector<CompleteStructMember> members{};
  static auto fields(auto& self) {
    return std::tie(self.struct_flags, self.base_type, self.detail, self.members);
  }
  friend bool operator==(const CompleteStructType&, const CompleteStructType&) = default;
};

struct CompleteDiscriminatorMember {
  using standard_layout = AppendableFields;
  std::uint16_t flags = 0;
  TypeIdentifier type_id{};
  AppliedBuiltinTypeAnnotations builtin_annotations{};
  OptionalAppliedAnnotationSeq custom_annotations{};
  static auto fields(auto& self) {
    return std::tie(self.flags, self.type_id, self.builtin_annotations, self.custom_annotations);
  }
  friend bool operator==(const CompleteDiscriminatorMember&,
                         const CompleteDiscriminatorMember&) = default;
};

struct CompleteUnionMember {
  using standard_layout = AppendableFields;
  CommonUnionMember common{};
  CompleteMemberDetail detail{};
  static auto fields(auto& self) { return std::tie(self.common, self.detail); }
  friend bool operator==(const CompleteUnionMember&, const CompleteUnionMember&) = default;
};

struct CompleteUnionType {
  using standard_layout = FinalGroup<Part<0>, AppendableGroup<Part<1>>, Part<2>, Part<3>>;
  std::uint16_t union_flags = 0;
  CompleteTypeDetail detail{};
  CompleteDiscriminatorMember discriminator{};
  std::vector<CompleteUnionMember> members{};
  static auto fields(auto& self) {
    return std::tie(self.union_flags, self.detail, self.discriminator, self.members);
  }
  friend bool operator==(const CompleteUnionType&, const CompleteUnionType&) = default;
};

struct CompleteBitfield {
  using standard_layout = AppendableFields;
  std::uint16_t position = 0;
  std::uint16_t flags = 0;
  std::uint8_t bitcount = 0;
  std::uint8_t holder_type = 0;  // a primitive TK code
  CompleteMemberDetail detail{};
  static auto fields(auto& self) {
    return std::tie(self.position, self.flags, self.bitcount, self.holder_type, self.detail);
  }
  friend bool operator==(const CompleteBitfield&, const CompleteBitfield&) = default;
};

struct CompleteBitsetType {
  using standard_layout = AppendableGroup<Part<0>, AppendableGroup<Part<1>>, Part<2>>;
  std::uint16_t bitset_flags = 0;
  CompleteTypeDetail detail{};
  std::vector<CompleteBitfield> fields_seq{};
  static auto fields(auto& self) {
    return std::tie(self.bitset_flags, self.detail, self.fields_seq);
  }
  friend bool operator==(const CompleteBitsetType&, const CompleteBitsetType&) = default;
};

struct CompleteCollectionElement {
  using standard_layout = AppendableFields;
  std::uint16_t flags = 0;
  TypeIdentifier type_id{};
  AppliedBuiltinMemberAnnotations builtin_annotations{};
  OptionalAppliedAnnotationSeq custom_annotations{};
  static auto fields(auto& self) {
    return std::tie(self.flags, self.type_id, self.builtin_annotations, self.custom_annotations);
  }
  friend bool operator==(const CompleteCollectionElement&,
                         const CompleteCollectionElement&) = default;
};

struct CompleteSequenceType {
  using standard_layout = FinalGroup<Part<0>, AppendableGroup<Part<1>, OptionalPart<2>>, Part<3>>;
  std::uint16_t collection_flags = 0;
  std::uint32_t bound = 0;
  CompleteTypeDetail detail{};
  CompleteCollectionElement element{};
  static auto fields(auto& self) {
    return std::tie(self.collection_flags, self.bound, self.detail, self.element);
  }
  friend bool operator==(const CompleteSequenceType&, const CompleteSequenceType&) = default;
};

struct CompleteArrayType {
  using standard_layout = AppendableGroup<Part<0>, AppendableGroup<Part<1>, Part<2>>, Part<3>>;
  std::uint16_t collection_flags = 0;
  std::vector<std::uint32_t> bounds{};
  CompleteTypeDetail detail{};
  CompleteCollectionElement element{};
  static auto fields(auto& self) {
    return std::tie(self.collection_flags, self.bounds, self.detail, self.element);
  }
  friend bool operator==(const CompleteArrayType&, const CompleteArrayType&) = default;
};

struct CompleteMapType {
  using standard_layout =
      FinalGroup<Part<0>, AppendableGroup<Part<1>, OptionalPart<2>>, Part<3>, Part<4>>;
  std::uint16_t collection_flags = 0;
  std::uint32_t bound = 0;
  CompleteTypeDetail detail{};
  CompleteCollectionElement key{};
  CompleteCollectionElement element{};
  static auto fields(auto& self) {
    return std::tie(self.collection_flags, self.bound, self.detail, self.key, self.element);
  }
  friend bool operator==(const CompleteMapType&, const CompleteMapType&) = default;
};

struct CompleteEnumeratedLiteral {
  // Peers nest the value and flags in an appendable record of their own.
  using standard_layout = AppendableGroup<AppendableGroup<Part<0>, Part<1>>, Part<2>>;
  std::int32_t value = 0;
  std::uint16_t flags = 0;
  CompleteMemberDetail detail{};
  static auto fields(auto& self) { return std::tie(self.value, self.flags, self.detail); }
  friend bool operator==(const CompleteEnumeratedLiteral&,
                         const CompleteEnumeratedLiteral&) = default;
};

struct CompleteEnumeratedType {
  using standard_layout = FinalGroup<Part<0>, AppendableGroup<Part<1>, Part<2>>, Part<3>>;
  std::uint16_t enum_flags = 0;
  std::uint16_t bit_bound = 0;
  CompleteTypeDetail detail{};
  std::vector<CompleteEnumeratedLiteral> literals{};
  static auto fields(auto& self) {
    return std::tie(self.enum_flags, self.bit_bound, self.detail, self.literals);
  }
  friend bool operator==(const CompleteEnumeratedType&, const CompleteEnumeratedType&) = default;
};

struct CompleteBitflag {
  using standard_layout = AppendableFields;
  std::uint16_t position = 0;
  std::uint16_t flags = 0;
  CompleteMemberDetail detail{};
  static auto fields(auto& self) { return std::tie(self.position, self.flags, self.detail); }
  friend bool operator==(const CompleteBitflag&, const CompleteBitflag&) = default;
};

struct CompleteBitmaskType {
  using standard_layout = AppendableGroup<Part<0>, AppendableGroup<Part<1>, Part<2>>, Part<3>>;
  std::uint16_t bitmask_flags = 0;
  std::uint16_t bit_bound = 0;
  CompleteTypeDetail detail{};
  std::vector<CompleteBitflag> flags{};
  static auto fields(auto& self) {
    return std::tie(self.bitmask_flags, self.bit_bound, self.detail, self.flags);
  }
  friend bool operator==(const CompleteBitmaskType&, const CompleteBitmaskType&) = default;
};

struct CompleteTypeObject {
  // Alternative order fixes the kind byte (type_kind_codes).
  using Value =
      std::variant<CompleteAliasType, CompleteAnnotationType, CompleteStructType, CompleteUnionType,
                   CompleteBitsetType, CompleteSequenceType, CompleteArrayType, CompleteMapType,
                   CompleteEnumeratedType, CompleteBitmaskType>;
  Value value{};

  CodecResult<void> encode(cdr::BufferWriter& writer) const;
  static CodecResult<CompleteTypeObject> decode(cdr::BufferReader& reader);
  friend bool operator==(const CompleteTypeObject&, const CompleteTypeObject&) = default;
};

}  // namespace nimbrel::types
