#include "types/type_object.hpp"

#include <gtest/gtest.h>

#include <string>

#include "types/type_test_util.hpp"

namespace nimbrel::types {
namespace {

using Kind = CodecError::Kind;
using P = PrimitiveKind;
using namespace testing;

// Pieces of complete objects, each starting at a multiple of 4.
// CompleteTypeDetail named "T" without annotations: 14 bytes, ends 2 past a multiple of 4.
Bytes detail_t() {
  return concat({le32(0),            // builtin type annotations absent
                 le32(0),            // custom annotations absent
                 cdr_string("T")});  // type name
}
CompleteTypeDetail detail_named(std::string name) {
  return {.type_name = std::move(name)};
}
// CompleteMemberDetail named "m" without annotations: 28 bytes, ends on a multiple of 4.
Bytes member_detail_m() {
  return concat({cdr_string("m"),   // name
                 zeros(2),          // pad to 4
                 le32(0), le32(0),  // unit, min absent
                 le32(0), le32(0),  // max, hash id absent
                 le32(0)});         // custom annotations absent
}
const CompleteMemberDetail member_m{.name = "m"};
// The annotations after a collection element's type: 20 bytes, starting on a multiple of 4.
Bytes no_element_annotations() {
  return zeros(20);
}

struct MinimalCase {
  std::string name;
  MinimalTypeObject value;
  Bytes wire;
};

std::vector<MinimalCase> minimal_cases() {
  // clang-format off
  return {
      {"Alias", {MinimalAliasType{.related_flags = 1, .related_type = prim(P::Int32)}}, bytes({
          0x30, 0x00,              // TK_ALIAS, pad
          0x00, 0x00,              // alias flags
          0x01, 0x00,              // related flags
          0x04})},                 // related type Int32
      {"Annotation", {MinimalAnnotationType{.parameters = {{.leading = 7, .member_flags = 2,
          .member_type = prim(P::Int16), .name = "v", .default_value = {{0x2A}}}}}},
       concat({bytes({0x42, 0x00, 0x00, 0x00}),  // TK_ANNOTATION, pad, flags
          le32(1),                 // parameter count
          le32(7),                 // leading field
          le16(2), bytes({0x03}),  // member flags, type Int16
          bytes({0x00}), cdr_string("v"),  // pad, name
          zeros(2), le32(1), bytes({0x2A})})},  // pad, default value
      {"Struct", {MinimalStructType{.struct_flags = 1, .members = {{.member_id = 1,
          .member_flags = 0x40, .member_type = prim(P::Int32), .name_hash = {0xAA, 0xBB, 0xCC, 0xDD}}}}},
       concat({bytes({0x50, 0x00, 0x01, 0x00}),  // TK_STRUCTURE, pad, final
          bytes({0x00, 0x00, 0x00, 0x00}),  // no base type, pad
          le32(1), le32(1),        // member count, member id
          le16(0x40), bytes({0x04}),  // member flags, type Int32
          bytes({0xAA, 0xBB, 0xCC, 0xDD})})},  // name hash, unaligned
      {"Union", {MinimalUnionType{.discriminator_type = prim(P::Int32), .members = {{.common = {
          .member_id = 1, .type_id = prim(P::Int16), .label_seq = {{1, 2}}}, .name_hash = {1, 2, 3, 4}}}}},
       concat({bytes({0x51, 0x00, 0x00, 0x00}),  // TK_UNION, pad, flags
          le16(0), bytes({0x04, 0x00}),  // discriminator flags, type Int32, pad
          le32(1), le32(1),        // member count, member id
          le16(0), bytes({0x03, 0x00}),  // member flags, type Int16, pad
          le32(2), le32(1), le32(2),  // labels
          bytes({1, 2, 3, 4})})},  // name hash
      {"Bitset", {MinimalBitsetType{.fields_seq = {{.position = 3, .bitcount = 5,
          .holder_type = 0x06, .name_hash = {0x11, 0x22, 0x33, 0x44}}}}},
       concat({bytes({0x52, 0x00, 0x00, 0x00}),  // TK_BITSET, pad, flags
          le32(1),                 // field count
          le16(3), le16(0),        // position, flags
          bytes({0x05, 0x06}),     // bit count, holder type
          bytes({0x11, 0x22, 0x33, 0x44})})},
      {"Sequence", {MinimalSequenceType{.bound = 100, .element_flags = 1,
          .element_type = prim(P::Int64)}},
       concat({bytes({0x60, 0x00, 0x00, 0x00}),  // TK_SEQUENCE, pad, flags
          le32(100), le16(1), bytes({0x05})})},  // bound, element flags, Int64
      {"Array", {MinimalArrayType{.bounds = {2, 3}, .element_type = prim(P::Char8)}},
       concat({bytes({0x61, 0x00, 0x00, 0x00}),  // TK_ARRAY, pad, flags
          le32(2), le32(2), le32(3),  // bound count, bounds
          le16(0), bytes({0x10})})},  // element flags, Char8
      {"Map", {MinimalMapType{.bound = 8, .key_type = TypeIdentifier::String8Small{16},
          .element_type = prim(P::Float32)}},
       concat({bytes({0x62, 0x00, 0x00, 0x00}),  // TK_MAP, pad, flags
          le32(8),                 // bound
          le16(0), bytes({0x70, 0x10}),  // key flags, string<16>
          le16(0), bytes({0x09})})},  // element flags, Float32
      {"Enumerated", {MinimalEnumeratedType{.bit_bound = 32, .literals = {{.value = -1,
          .flags = 1, .name_hash = {0x0A, 0x0B, 0x0C, 0x0D}}}}},
       concat({bytes({0x40, 0x00, 0x00, 0x00}),  // TK_ENUM, pad, flags
          le16(32), zeros(2),      // bit bound, pad
          le32(1), le32(0xFFFFFFFF),  // literal count, value -1
          le16(1), bytes({0x0A, 0x0B, 0x0C, 0x0D})})},  // flags, name hash
      {"Bitmask", {MinimalBitmaskType{.bit_bound = 16, .flags = {{.position = 4,
          .name_hash = {5, 6, 7, 8}}}}},
       concat({bytes({0x41, 0x00, 0x00, 0x00}),  // TK_BITMASK, pad, flags
          le16(16), zeros(2), le32(1),  // bit bound, pad, flag count
          le16(4), le16(0), bytes({5, 6, 7, 8})})},  // position, flags, name hash
  };
  // clang-format on
}

class MinimalGolden : public ::testing::TestWithParam<MinimalCase> {};
TEST_P(MinimalGolden, EncodesDecodesAndEveryCutIsUnexpectedEof) {
  expect_golden(GetParam().value, GetParam().wire);
}
INSTANTIATE_TEST_SUITE_P(TypeObject, MinimalGolden, ::testing::ValuesIn(minimal_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

struct CompleteCase {
  std::string name;
  CompleteTypeObject value;
  Bytes wire;
};

std::vector<CompleteCase> complete_cases() {
  const CompleteTypeDetail t = detail_named("T");
  const CompleteCollectionElement int32_element{.type_id = prim(P::Int32)};
  // clang-format off
  return {
      // Every shared annotation record, once.
      {"Alias", {CompleteAliasType{
          .detail = {.builtin_annotations = {AppliedVerbatimAnnotation{
                         .placement = VerbatimPlacement::from_text("END_FILE"),
                         .language = "c", .text = "x"}},
                     .custom_annotations = {std::vector<AppliedAnnotation>{{
                         .annotation_type = prim(P::Boolean),
                         .parameters = {{.name_hash = {1, 2, 3, 4}, .value = {{0x05}}}}}}},
                     .type_name = "A"},
          .related_type = prim(P::Int32),
          .builtin_annotations = {.unit = "u"}}},
       concat({bytes({0x30, 0x00, 0x00, 0x00}),  // TK_ALIAS, pad, alias flags
          le32(1),                 // verbatim present
          cdr_string("END_FILE"), zeros(3),  // placement, pad
          cdr_string("c"), zeros(2),  // language, pad
          cdr_string("x"), zeros(2),  // text, pad
          le32(1), le32(1),        // custom annotations present, count
          bytes({0x01}), zeros(3), le32(1),  // annotation type Boolean, pad, parameter count
          bytes({1, 2, 3, 4}), le32(1), bytes({0x05}),  // name hash, value
          zeros(3), cdr_string("A"),  // pad, type name
          le16(0), bytes({0x04}),  // related flags, related type Int32
          zeros(3), le32(1), cdr_string("u"),  // pad, unit present
          zeros(2), le32(0), le32(0), le32(0),  // pad, min, max, hash id absent
          le32(0)})},              // custom annotations absent
      {"Annotation", {CompleteAnnotationType{.detail = t, .parameters = {{
          .member_type = prim(P::Int8), .name = "p"}}}},
       concat({bytes({0x42, 0x00, 0x00, 0x00}),  // TK_ANNOTATION, pad, flags
          detail_t(), zeros(2),    // detail, pad
          le32(1), le32(0),        // parameter count, leading field
          le16(0), bytes({0x0C, 0x00}),  // member flags, Int8, pad
          cdr_string("p"), zeros(2), le32(0)})},  // name, pad, empty default value
      {"Struct", {CompleteStructType{.struct_flags = 4, .detail = t, .members = {{
          .member_id = 5, .member_flags = 8, .member_type = prim(P::Int32), .detail = member_m}}}},
       concat({bytes({0x50, 0x00, 0x04, 0x00}),  // TK_STRUCTURE, pad, mutable
          bytes({0x00, 0x00, 0x00, 0x00}),  // no base type, pad
          detail_t(), zeros(2),    // detail, pad
          le32(1), le32(5),        // member count, member id
          le16(8), bytes({0x04, 0x00}),  // member flags, Int32, pad
          member_detail_m()})},
      {"Union", {CompleteUnionType{.detail = t, .discriminator = {.type_id = prim(P::Int32)},
          .members = {{.common = {.member_id = 1, .type_id = prim(P::Int16), .label_seq = {{7}}},
                       .detail = member_m}}}},
       concat({bytes({0x51, 0x00, 0x00, 0x00}),  // TK_UNION, pad, flags
          detail_t(),
          le16(0), bytes({0x04}), zeros(3),  // discriminator flags, Int32, pad
          le32(0), le32(0),        // discriminator annotations absent
          le32(1), le32(1),        // member count, member id
          le16(0), bytes({0x03, 0x00}),  // member flags, Int16, pad
          le32(1), le32(7),        // labels
          member_detail_m()})},
      {"Bitset", {CompleteBitsetType{.detail = t, .fields_seq = {{.bitcount = 1,
          .holder_type = 1, .detail = member_m}}}},
       concat({bytes({0x52, 0x00, 0x00, 0x00}),  // TK_BITSET, pad, flags
          detail_t(), zeros(2), le32(1),  // detail, pad, field count
          le16(0), le16(0), bytes({0x01, 0x01}),  // position, flags, bit count, holder
          zeros(2), member_detail_m()})},
      {"Sequence", {CompleteSequenceType{.detail = t, .element = int32_element}},
       concat({bytes({0x60, 0x00, 0x00, 0x00}),  // TK_SEQUENCE, pad, flags
          le32(0), detail_t(),     // unbounded, detail
          le16(0), bytes({0x04}), zeros(3),  // element flags, Int32, pad
          no_element_annotations()})},
      {"Array", {CompleteArrayType{.bounds = {4}, .detail = t, .element = int32_element}},
       concat({bytes({0x61, 0x00, 0x00, 0x00}),  // TK_ARRAY, pad, flags
          le32(1), le32(4), detail_t(),  // bound count, bound, detail
          le16(0), bytes({0x04}), zeros(3),  // element flags, Int32, pad
          no_element_annotations()})},
      {"Map", {CompleteMapType{.bound = 2, .detail = t, .key = int32_element,
          .element = {.type_id = prim(P::Float64)}}},
       concat({bytes({0x62, 0x00, 0x00, 0x00}),  // TK_MAP, pad, flags
          le32(2), detail_t(),     // bound, detail
          le16(0), bytes({0x04}), zeros(3),  // key flags, Int32, pad
          no_element_annotations(),
          le16(0), bytes({0x0A}), zeros(1),  // element flags, Float64, pad
          no_element_annotations()})},
      {"Enumerated", {CompleteEnumeratedType{.bit_bound = 32, .detail = t, .literals = {{
          .value = 1, .detail = member_m}}}},
       concat({bytes({0x40, 0x00, 0x00, 0x00}),  // TK_ENUM, pad, flags
          le16(32), zeros(2), detail_t(), zeros(2),  // bit bound, pad, detail, pad
          le32(1), le32(1), le16(0), zeros(2),  // literal count, value, flags, pad
          member_detail_m()})},
      {"Bitmask", {CompleteBitmaskType{.bit_bound = 8, .detail = t, .flags = {{.position = 2,
          .detail = member_m}}}},
       concat({bytes({0x41, 0x00, 0x00, 0x00}),  // TK_BITMASK, pad, flags
          le16(8), zeros(2), detail_t(), zeros(2),  // bit bound, pad, detail, pad
          le32(1), le16(2), le16(0),  // flag count, position, flags
          member_detail_m()})},
  };
  // clang-format on
}

class CompleteGolden : public ::testing::TestWithParam<CompleteCase> {};
TEST_P(CompleteGolden, EncodesDecodesAndEveryCutIsUnexpectedEof) {
  expect_golden(GetParam().value, GetParam().wire);
}
INSTANTIATE_TEST_SUITE_P(TypeObject, CompleteGolden, ::testing::ValuesIn(complete_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(TypeObjectForms, EncodedLeadsWithTheEquivalenceKind) {
  const TypeObject minimal{minimal_cases()[0].value};
  const TypeObject complete{complete_cases()[0].value};
  // Alignment counts the kind byte: no pad before the alias flags.
  EXPECT_EQ(cdr::encode_bytes(minimal, true), bytes({0xF1, 0x30, 0x00, 0x00, 0x01, 0x00, 0x04}));
  const auto tagged = cdr::encode_bytes(complete, true).value();
  EXPECT_EQ(Bytes(tagged.begin(), tagged.begin() + 2), bytes({0xF2, 0x30}));
  EXPECT_EQ(decode<TypeObject>(tagged), complete);
  EXPECT_EQ(decode<TypeObject>(bytes({0x00, 0x30})).error(),
            (CodecError{.kind = Kind::InvalidValue, .offset = 0, .value = 0x00}));
}

TEST(TypeObjectDecode, RefusesForgedInput) {
  struct Case {
    const char* name;
    Bytes input;
    CodecError error;
  };
  // clang-format off
  const Case cases[] = {
      {"unknown kind 0x43", bytes({0x43, 0x00}),
       {.kind = Kind::InvalidValue, .offset = 0, .value = 0x43}},
      {"member count 0xFFFFFFFF in 40 bytes", concat({
          bytes({0x50, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),  // struct, no base
          le32(0xFFFFFFFF),        // member count
          le32(1), le16(0), bytes({0x04}), bytes({1, 2, 3, 4}),  // one member
          zeros(17)}),             // then too little for the next
       CodecError::eof(2, 40)},  // the third member's flags
      {"array bound count past the input", concat({
          bytes({0x61, 0x00, 0x00, 0x00}), le32(0x40000000), le32(1)}),
       CodecError::eof(4, 12)},
  };
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(decode<MinimalTypeObject>(c.input).error(), c.error) << c.name;
}

// The member annotations' optionals are strict; the type annotations' and the custom sequence's
// presence counts are taken as they are.
TEST(OptionalPresence, StrictForMemberAnnotationsLenientForTheRest) {
  const Bytes unit_twice = concat({le32(2), cdr_string("u")});
  AppliedBuiltinMemberAnnotations member;
  cdr::BufferReader strict(unit_twice, true);
  EXPECT_EQ(decode_field(strict, member).error(),
            (CodecError{.kind = Kind::InvalidOptional,
                        .offset = 0,
                        .limit = 1,
                        .value = 2,
                        .message = "presence count above 1"}));

  const Bytes two_sequences = concat({le32(2),  // presence count 2
                                      le32(0),  // first: empty
                                      le32(1), bytes({0x01}), zeros(3), le32(0)});  // second
  OptionalAppliedAnnotationSeq seq;
  cdr::BufferReader lenient(two_sequences, true);
  ASSERT_TRUE(decode_field(lenient, seq));
  EXPECT_EQ(seq.annotations,
            (std::vector<AppliedAnnotation>{{.annotation_type = prim(P::Boolean)}}));
  EXPECT_EQ(lenient.remaining(), 0u);
}

TEST(VerbatimPlacement, UnknownTextTravelsUnchanged) {
  const AppliedVerbatimAnnotation odd{
      .placement = VerbatimPlacement::from_text("MIDDLE"), .language = "c", .text = "t"};
  EXPECT_EQ(odd.placement.kind, VerbatimPlacement::Kind::Other);
  cdr::BufferWriter w(true);
  ASSERT_TRUE(encode_field(w, odd));
  EXPECT_EQ(w.bytes(),
            concat({cdr_string("MIDDLE"), zeros(1), cdr_string("c"), zeros(2), cdr_string("t")}));
  AppliedVerbatimAnnotation back;
  cdr::BufferReader r(w.bytes(), true);
  ASSERT_TRUE(decode_field(r, back));
  EXPECT_EQ(back, odd);
  EXPECT_EQ(VerbatimPlacement::from_text("BEGIN_FILE").kind, VerbatimPlacement::Kind::BeginFile);
}

TEST(SequenceCount, FitsUpToU32MaxAndFailsOnePastWithoutWriting) {
  cdr::BufferWriter w(true);
  w.write_u8(1);
  ASSERT_TRUE(encode_count(w, 0xFFFFFFFF));
  EXPECT_EQ(w.bytes(), concat({bytes({1}), zeros(3), le32(0xFFFFFFFF)}));
  cdr::BufferWriter refused(true);
  EXPECT_EQ(to_string(encode_count(refused, std::size_t{1} << 32).error()),
            "sequence length exceeds u32::MAX");
  EXPECT_EQ(refused.size(), 0u);
}

TEST(EmbeddedIdentifiers, EachStartsItsOwnNestingCount) {
  TypeIdentifier deep = prim(P::Int32);
  for (int i = 0; i < 15; ++i)
    deep = TypeIdentifier::PlainSequenceSmall{{}, 1, std::move(deep)};
  const MinimalTypeObject two_deep{MinimalMapType{.key_type = deep, .element_type = deep}};
  EXPECT_EQ(decode<MinimalTypeObject>(encode(two_deep)), two_deep);
  const MinimalTypeObject too_deep{
      MinimalAliasType{.related_type = TypeIdentifier::PlainSequenceSmall{{}, 1, deep}}};
  EXPECT_EQ(decode<MinimalTypeObject>(encode(too_deep)).error().kind, Kind::DepthLimitExceeded);
}

}  // namespace
}  // namespace nimbrel::types
