#include "types/type_lookup.hpp"

#include <gtest/gtest.h>

#include "types/type_test_util.hpp"

namespace nimbrel::types {
namespace {

using Kind = CodecError::Kind;
using P = PrimitiveKind;
using TI = TypeIdentifier;
using namespace testing;

CodecError invalid_element(std::size_t offset, const char* message) {
  return {.kind = Kind::InvalidElement, .offset = offset, .message = message};
}

const MinimalTypeObject alias_to_int32{MinimalAliasType{.related_type = prim(P::Int32)}};

TEST(LookupGolden, EachBodyBothWaysAndCutShort) {
  // clang-format off
  expect_golden(GetTypesRequest{{prim(P::Int16), minimal_ref(0x10)}}, concat({
      le32(2),                     // type id count
      bytes({0x03}),               // Int16
      bytes({0xF1}), hash_bytes(0x10)}), /*request=*/true);  // EK_MINIMAL, hash
  expect_golden(GetTypesReply{{TypeObject{alias_to_int32}}}, concat({
      le32(1),                     // type count
      bytes({0xF1, 0x30,           // EK_MINIMAL, TK_ALIAS
             0x00, 0x00, 0x00, 0x00,  // alias flags (already even), related flags
             0x04})}));            // Int32
  expect_golden(GetTypeDependenciesRequest{{minimal_ref(0x20)}, {{0xC1, 0xC2}}}, concat({
      le32(1),                     // type id count
      bytes({0xF1}), hash_bytes(0x20),  // EK_MINIMAL, hash
      zeros(1),                    // pad to 4
      le32(2), bytes({0xC1, 0xC2})}), /*request=*/true);  // continuation point
  expect_golden(GetTypeDependenciesReply{{{minimal_ref(0x30), 76}, {prim(P::Int8), 0}}, {}},
                concat({
      le32(2),                     // dependency count
      bytes({0xF1}), hash_bytes(0x30),  // EK_MINIMAL, hash
      zeros(1), le32(76),          // pad, serialized size
      bytes({0x0C}), zeros(3), le32(0),  // Int8, pad, size unknown
      le32(0)}));                  // empty continuation point
  // clang-format on
}

TEST(GetTypesRequest, EmptyListDecodesAndBadIdentifiersAreBadElements) {
  EXPECT_EQ(decode<GetTypesRequest>(le32(0)), GetTypesRequest{});
  TI nested = prim(P::Int32);
  for (int i = 0; i < 16; ++i)
    nested = TI::PlainSequenceSmall{{}, 1, std::move(nested)};
  cdr::BufferWriter w(true);
  w.write_u32(1);
  ASSERT_TRUE(nested.encode(w));
  const Bytes sixteen_deep = w.bytes();
  EXPECT_EQ(decode<GetTypesRequest>(concat({le32(2), bytes({0x04, 0xF1, 1, 2})})).error(),
            invalid_element(5, "eof"));
  EXPECT_EQ(decode<GetTypesRequest>(sixteen_deep).error(), invalid_element(4, "decode"));
  EXPECT_EQ(decode<GetTypeDependenciesRequest>(sixteen_deep).error(),
            invalid_element(4, "type_id"));
}

TEST(GetTypesReply, KindByteMustNameAForm) {
  EXPECT_EQ(decode<GetTypesReply>(concat({le32(1), bytes({0x00, 0x30})})).error(),
            (CodecError{.kind = Kind::InvalidValue, .offset = 4, .value = 0x00}));
  const GetTypesReply both{
      {TypeObject{alias_to_int32}, TypeObject{CompleteTypeObject{CompleteAliasType{}}}}};
  EXPECT_EQ(decode<GetTypesReply>(encode(both)), both);
}

TEST(ContinuationPoint, ThirtyTwoBytesAtMostOneMoreFailsAndTheEncoderCuts) {
  const std::vector<std::uint8_t> thirty_three(33, 0xAB);
  const Bytes at_limit = concat({le32(32), Bytes(32, std::byte{0xAB})});
  EXPECT_EQ(decode<ContinuationPoint>(at_limit),
            (ContinuationPoint{std::vector<std::uint8_t>(32, 0xAB)}));
  EXPECT_EQ(decode<ContinuationPoint>(concat({le32(33), Bytes(33, std::byte{0xAB})})).error(),
            (CodecError{.kind = Kind::InvalidValue, .offset = 0, .value = 33}));
  EXPECT_EQ(decode<ContinuationPoint>(concat({le32(3), bytes({1, 2})})).error(),
            CodecError::eof(3, 4));
  EXPECT_EQ(encode(ContinuationPoint{thirty_three}), at_limit);
  EXPECT_EQ(encode(GetTypeDependenciesReply{{}, {thirty_three}}), concat({le32(0), at_limit}));
}

TEST(TypeIdentifierWithSize, SizeIsAlignedRelativeToTheBuffer) {
  cdr::BufferWriter w(true);
  w.write_u8(0xEE);
  ASSERT_TRUE(encode_field(w, TypeIdentifierWithSize{prim(P::Int32), 9}));
  EXPECT_EQ(w.bytes(), concat({bytes({0xEE, 0x04, 0x00, 0x00}), le32(9)}));
}

}  // namespace
}  // namespace nimbrel::types
