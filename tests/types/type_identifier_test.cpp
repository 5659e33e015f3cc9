#include "types/type_identifier.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "foundation/bytes_test_util.hpp"

namespace nimbrel::types {
namespace {

using cdr::BufferReader;
using cdr::BufferWriter;
using Kind = CodecError::Kind;
using TI = TypeIdentifier;
using nimbrel::testing::bytes;
using nimbrel::testing::Bytes;
using nimbrel::testing::concat;

// A hash of 14 consecutive byte values starting at first, and its wire bytes.
EquivalenceHash hash_from(int first) {
  EquivalenceHash h;
  for (std::size_t i = 0; i < h.bytes.size(); ++i)
    h.bytes[i] = static_cast<std::uint8_t>(first + static_cast<int>(i));
  return h;
}
Bytes hash_bytes(int first) {
  const auto h = hash_from(first);
  return Bytes(reinterpret_cast<const std::byte*>(h.bytes.data()),
               reinterpret_cast<const std::byte*>(h.bytes.data()) + h.bytes.size());
}

TI prim(PrimitiveKind kind) {
  return TI::Primitive{kind};
}
constexpr PlainCollectionHeader header7f{.equivalence_kind = 0x7F, .element_flags = 0};

Bytes encode(const TI& id, bool little_endian) {
  BufferWriter w(little_endian);
  auto ok = id.encode(w);
  EXPECT_TRUE(ok) << (ok ? "" : to_string(ok.error()));
  return w.bytes();
}

CodecResult<TI> decode(std::span<const std::byte> input, bool little_endian,
                       std::size_t* consumed = nullptr) {
  BufferReader r(input, little_endian);
  auto result = TI::decode(r, 0);
  if (consumed) *consumed = r.position();
  return result;
}

TEST(PrimitiveKinds, GoThroughTheWireTableBothWays) {
  using P = PrimitiveKind;
  const std::pair<P, int> table[] = {{P::Boolean, 0x01},  {P::Byte, 0x02},    {P::Int8, 0x0C},
                                     {P::Int16, 0x03},    {P::Int32, 0x04},   {P::Int64, 0x05},
                                     {P::UInt8, 0x0D},    {P::UInt16, 0x06},  {P::UInt32, 0x07},
                                     {P::UInt64, 0x08},   {P::Float32, 0x09}, {P::Float64, 0x0A},
                                     {P::Float128, 0x0B}, {P::Char8, 0x10},   {P::Char16, 0x11}};
  for (const auto& [kind, wire] : table) {
    EXPECT_EQ(encode(prim(kind), true), bytes({wire})) << wire;
    EXPECT_EQ(decode(bytes({wire}), false), prim(kind)) << wire;
  }
}

TEST(UnknownDiscriminator, IsCarriedAndReadingGoesOnRightAfterIt) {
  for (int code : {0x0E, 0x0F, 0x12, 0x74, 0xB1, 0xF3, 0xFF}) {
    std::size_t consumed = 0;
    auto id = decode(bytes({code, 0xAA, 0xBB}), true, &consumed);
    EXPECT_EQ(id, TI(TI::Unknown{static_cast<std::uint8_t>(code)})) << code;
    EXPECT_EQ(consumed, 1u);
    EXPECT_EQ(encode(*id, true), bytes({code}));
  }
}

// Golden wire forms written at buffer position 0, checked in both directions and cut short.
struct GoldenCase {
  std::string name;
  TI value;
  bool little_endian;
  Bytes wire;
};

std::vector<GoldenCase> golden_cases() {
  // clang-format off
  return {
      {"None", TI::None{}, true, bytes({0x00})},
      {"String8Small", TI::String8Small{32}, true, bytes({
          0x70,                    // TI_STRING8_SMALL
          0x20})},                 // bound
      {"String8LargeLE", TI::String8Large{1000}, true, bytes({
          0x71,                    // TI_STRING8_LARGE
          0x00, 0x00, 0x00,        // pad to 4
          0xE8, 0x03, 0x00, 0x00})},  // bound 1000
      {"String16LargeBE", TI::String16Large{1000}, false, bytes({
          0x73,                    // TI_STRING16_LARGE
          0x00, 0x00, 0x00,        // pad to 4
          0x00, 0x00, 0x03, 0xE8})},  // bound 1000
      {"PlainSequenceSmall", TI::PlainSequenceSmall{header7f, 10, prim(PrimitiveKind::Int32)},
       true, bytes({
          0x80,                    // TI_PLAIN_SEQUENCE_SMALL
          0x7F,                    // equivalence kind
          0x00, 0x00,              // element flags, already even
          0x0A,                    // bound 10
          0x04})},                 // element: Int32
      {"PlainSequenceLargeBE",
       TI::PlainSequenceLarge{{.equivalence_kind = 0xF2, .element_flags = 0x0102}, 100000,
                              TI::String16Small{16}},
       false, bytes({
          0x81,                    // TI_PLAIN_SEQUENCE_LARGE
          0xF2,                    // equivalence kind
          0x01, 0x02,              // element flags
          0x00, 0x01, 0x86, 0xA0,  // bound 100000, already aligned
          0x72, 0x10})},           // element: wstring<16>
      {"PlainArraySmall", TI::PlainArraySmall{header7f, {2, 3}, prim(PrimitiveKind::Char8)},
       true, bytes({
          0x90,                    // TI_PLAIN_ARRAY_SMALL
          0x7F, 0x00, 0x00,        // header
          0x02, 0x00, 0x00, 0x00,  // dimension count
          0x02, 0x03,              // bounds
          0x10})},                 // element: Char8
      {"PlainArrayLargeLE", TI::PlainArrayLarge{header7f, {3, 4}, prim(PrimitiveKind::Float64)},
       true, bytes({
          0x91,                    // TI_PLAIN_ARRAY_LARGE
          0x7F, 0x00, 0x00,        // header
          0x02, 0x00, 0x00, 0x00,  // dimension count
          0x03, 0x00, 0x00, 0x00,  // bound 3
          0x04, 0x00, 0x00, 0x00,  // bound 4
          0x0A})},                 // element: Float64
      {"PlainMapSmall",
       TI::PlainMapSmall{header7f, 5, TI::String8Small{16}, 0x8001, prim(PrimitiveKind::Int32)},
       true, bytes({
          0xA0,                    // TI_PLAIN_MAP_SMALL
          0x7F, 0x00, 0x00,        // header
          0x05,                    // bound
          0x70, 0x10,              // element: string<16>
          0x00,                    // pad to 2
          0x01, 0x80,              // key flags
          0x04})},                 // key: Int32
      {"PlainMapLargeBE",
       TI::PlainMapLarge{header7f, 7, prim(PrimitiveKind::Int64), 0x0001,
                         TI::EquivalenceHashMinimal{hash_from(0x21)}},
       false, concat({bytes({
          0xA1,                    // TI_PLAIN_MAP_LARGE
          0x7F, 0x00, 0x00,        // header
          0x00, 0x00, 0x00, 0x07,  // bound
          0x05,                    // element: Int64
          0x00,                    // pad to 2
          0x00, 0x01,              // key flags
          0xF1}),                  // key: EK_MINIMAL
          hash_bytes(0x21)})},     // key hash, unaligned
      {"StronglyConnectedComponentBE",
       TI::StronglyConnectedComponent{hash_from(0x01), 3, 2}, false, concat({bytes({
          0xB0}),                  // TI_STRONGLY_CONNECTED_COMPONENT
          hash_bytes(0x01),        // bare hash, no kind byte
          bytes({
          0x00,                    // pad to 4
          0x00, 0x00, 0x00, 0x03,  // scc_length
          0x00, 0x00, 0x00, 0x02})})},  // scc_index
      {"EquivalenceHashMinimal", TI::EquivalenceHashMinimal{hash_from(0xA0)}, true,
       concat({bytes({0xF1}), hash_bytes(0xA0)})},  // EK_MINIMAL, hash
      {"EquivalenceHashComplete", TI::EquivalenceHashComplete{hash_from(0xB0)}, false,
       concat({bytes({0xF2}), hash_bytes(0xB0)})},  // EK_COMPLETE, hash
  };
  // clang-format on
}

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, EncodesDecodesCompletelyAndEveryCutIsUnexpectedEof) {
  const auto& c = GetParam();
  EXPECT_EQ(encode(c.value, c.little_endian), c.wire);
  std::size_t consumed = 0;
  EXPECT_EQ(decode(c.wire, c.little_endian, &consumed), c.value);
  EXPECT_EQ(consumed, c.wire.size());
  EXPECT_EQ(c.value.discriminator(), std::to_integer<std::uint8_t>(c.wire[0]));
  for (std::size_t cut = 0; cut < c.wire.size(); ++cut) {
    const auto id = decode(std::span(c.wire).first(cut), c.little_endian);
    EXPECT_TRUE(!id && id.error().kind == Kind::UnexpectedEof) << "cut at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(TypeIdentifier, Golden, ::testing::ValuesIn(golden_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(Alignment, IsRelativeToTheBufferNotTheIdentifier) {
  const TI seq = TI::PlainSequenceSmall{header7f, 10, prim(PrimitiveKind::Int32)};
  BufferWriter w(/*little_endian=*/true);
  w.write_u8(0xEE);
  ASSERT_TRUE(seq.encode(w));
  // clang-format off
  auto wire = bytes({
      0xEE,                        // something before, position 0
      0x80,                        // TI_PLAIN_SEQUENCE_SMALL
      0x7F,                        // equivalence kind
      0x00,                        // pad to 2
      0x00, 0x00,                  // element flags
      0x0A,                        // bound
      0x04});                      // element: Int32
  // clang-format on
  EXPECT_EQ(w.bytes(), wire);

  wire[3] = std::byte{0x5A};  // padding is skipped unchecked
  BufferReader r(wire, /*little_endian=*/true);
  ASSERT_TRUE(r.read_u8());
  EXPECT_EQ(TI::decode(r, 0), seq);
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(DecodeErrors, ReportNeededBytesAndOffset) {
  struct Case {
    const char* name;
    Bytes input;
    CodecError error;
  };
  // clang-format off
  const Case cases[] = {
      {"empty", {}, CodecError::eof(1, 0)},
      {"short hash", bytes({0xF1, 0x01, 0x02, 0x03}), CodecError::eof(14, 1)},
      {"string bound padding", bytes({0x71, 0x00}), CodecError::eof(3, 1)},
      {"small array count beyond input", bytes({
          0x90, 0x7F, 0x00, 0x00,  // TI_PLAIN_ARRAY_SMALL, header
          0xFF, 0xFF, 0xFF, 0xFF,  // count 4294967295
          0x01, 0x02}),            // two bounds only
       CodecError::eof(0xFFFFFFFF, 8)},
      {"large array count of a million in 20 bytes", bytes({
          0x91, 0x7F, 0x00, 0x00,  // TI_PLAIN_ARRAY_LARGE, header
          0x40, 0x42, 0x0F, 0x00,  // count 1000000
          0x01, 0x00, 0x00, 0x00,  // bound
          0x02, 0x00, 0x00, 0x00,  // bound
          0x03, 0x00, 0x00, 0x00}),  // bound, then nothing
       CodecError::eof(4, 20)},
      {"inner map ends before the outer key flags", bytes({
          0xA0, 0x7F, 0x00, 0x00,  // outer map, header
          0x05,                    // bound
          0xA0,                    // element: inner map
          0x7F,                    // inner equivalence kind
          0x00,                    // pad to 2
          0x00, 0x00,              // inner element flags
          0x03,                    // inner bound
          0x04,                    // inner element: Int32
          0x00, 0x00}),            // inner key flags, inner key missing
       CodecError::eof(1, 14)},
  };
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(decode(c.input, /*little_endian=*/true).error(), c.error) << c.name;
}

// Nesting limit: a top-level identifier has depth 0, so 16 can sit inside one another.
TI nested_sequences(int levels) {
  TI id = prim(PrimitiveKind::Int32);
  for (int i = 0; i < levels; ++i)
    id = TI::PlainSequenceSmall{header7f, 10, std::move(id)};
  return id;
}

class Depth : public ::testing::TestWithParam<bool> {};

// The starting depth counts for elements and keys too.
TEST_P(Depth, FifteenNestedSequencesDecodeSixteenDoNot) {
  const bool le = GetParam();
  const TI fifteen = nested_sequences(15);
  EXPECT_EQ(decode(encode(fifteen, le), le), fifteen);
  const auto sixteen = encode(nested_sequences(16), le);
  EXPECT_EQ(decode(sixteen, le).error(),
            (CodecError{.kind = Kind::DepthLimitExceeded,
                        .offset = sixteen.size() - 1,  // the innermost identifier
                        .limit = 16}));

  const auto primitive = bytes({0x04});
  const auto map =
      encode(TI::PlainMapSmall{header7f, 1, TI::None{}, 0, prim(PrimitiveKind::Int32)}, le);
  BufferReader at15(primitive, le), at16(primitive, le), map_at14(map, le), map_at15(map, le);
  EXPECT_EQ(TI::decode(at15, 15), prim(PrimitiveKind::Int32));
  EXPECT_EQ(TI::decode(at16, 16).error().kind, Kind::DepthLimitExceeded);
  EXPECT_EQ(at16.position(), 0u);
  EXPECT_TRUE(TI::decode(map_at14, 14));
  EXPECT_EQ(TI::decode(map_at15, 15).error().kind, Kind::DepthLimitExceeded);
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, Depth, ::testing::Bool(),
                         [](const auto& param_info) { return param_info.param ? "LE" : "BE"; });

TEST(StronglyConnectedComponent, EncoderNeedsIndexBelowLengthDecoderDoesNotCheck) {
  struct Case {
    std::int32_t length, index;
    bool ok;
  };
  for (const auto c : {Case{0, 0, false}, Case{3, 2, true}, Case{3, 3, false}, Case{3, -1, false},
                       Case{-1, 0, false}}) {
    const TI scc = TI::StronglyConnectedComponent{hash_from(0), c.length, c.index};
    BufferWriter w(true);
    auto result = scc.encode(w);
    EXPECT_EQ(result.has_value(), c.ok) << c.length << "/" << c.index;
    if (result) continue;
    EXPECT_EQ(to_string(result.error()), "SCC scc_length/scc_index invalid");
    EXPECT_EQ(w.size(), 0u) << "a refused identifier leaves nothing behind";

    // The same identifier as a peer might send it decodes unchanged.
    auto wire = encode(TI::StronglyConnectedComponent{hash_from(0), 1, 0}, true);
    BufferWriter fields(true);
    fields.write_i32(c.length);
    fields.write_i32(c.index);
    std::ranges::copy(fields.bytes(), wire.end() - 8);
    EXPECT_EQ(decode(wire, true), scc);
  }

  const TI nested = TI::PlainSequenceLarge{header7f, 4, TI::StronglyConnectedComponent{}};
  BufferWriter w(true);
  EXPECT_FALSE(nested.encode(w));
}

TEST(ValueSemantics, CopiesAreDeepAndAPartCanReplaceTheWhole) {
  const TI original = TI::PlainMapSmall{header7f, 5, TI::String8Small{16}, 0,
                                        TI::EquivalenceHashComplete{hash_from(1)}};
  TI copy = original;
  EXPECT_EQ(copy, original);
  std::get<TI::PlainMapSmall>(copy.value).key = TI(TI::EquivalenceHashComplete{hash_from(2)});
  EXPECT_NE(copy, original);
  EXPECT_EQ(std::get<TI::PlainMapSmall>(original.value).key,
            TI(TI::EquivalenceHashComplete{hash_from(1)}));
  EXPECT_NE(TI(TI::EquivalenceHashMinimal{hash_from(1)}),
            TI(TI::EquivalenceHashComplete{hash_from(1)}));

  // The part dies with the old value; a plain variant assignment would read it afterwards.
  TI id = nested_sequences(2);
  id = *std::get<TI::PlainSequenceSmall>(id.value).element;
  EXPECT_EQ(id, nested_sequences(1));
  id = *std::get<TI::PlainSequenceSmall>(id.value).element;
  EXPECT_EQ(id, prim(PrimitiveKind::Int32));
  TI moved = nested_sequences(1);
  moved = std::move(*std::get<TI::PlainSequenceSmall>(moved.value).element);
  EXPECT_EQ(moved, prim(PrimitiveKind::Int32));
}

// Cyclone DDS 0.10 names KeyedSeq by hash in the type information of its SEDP publication of
// DDSPerfRDataKS; tests/data/cyclone/README.md gives the offsets.
TEST(CycloneCapture, TypeInformationCarriesHashIdentifiers) {
  std::ifstream file(NIMBREL_TEST_DATA_DIR "/cyclone/sedp_pub_publication.bin", std::ios::binary);
  ASSERT_TRUE(file) << "missing capture";
  const std::vector<char> raw{std::istreambuf_iterator<char>(file), {}};
  constexpr std::size_t value_at = 632 + 108;  // payload, then the 0x0075 parameter value
  ASSERT_GE(raw.size(), value_at + 100);
  const auto value = std::as_bytes(std::span(raw)).subspan(value_at, 100);

  // clang-format off
  const EquivalenceHash minimal{{0xfa, 0x04, 0x13, 0x69, 0x3f, 0x17, 0x17,
                                 0x16, 0x33, 0x96, 0x2d, 0xcd, 0x81, 0xa2}};
  const EquivalenceHash complete{{0xc6, 0xe6, 0x28, 0x5a, 0x68, 0xc8, 0xf6,
                                  0xcd, 0x7c, 0x42, 0x03, 0xc4, 0x6c, 0xb2}};
  // clang-format on
  const std::tuple<std::size_t, TI, std::uint32_t> cases[] = {
      {20, TI::EquivalenceHashMinimal{minimal}, 76},
      {68, TI::EquivalenceHashComplete{complete}, 122}};
  for (const auto& [offset, expected, serialized_size] : cases) {
    BufferReader r(value, /*little_endian=*/true);  // the value is its own alignment origin
    ASSERT_TRUE(r.read_bytes(offset));
    EXPECT_EQ(TI::decode(r, 0), expected);
    EXPECT_EQ(r.read_u32(), serialized_size);
    const auto wire = encode(expected, true);
    EXPECT_TRUE(std::ranges::equal(wire, value.subspan(offset, wire.size())));
  }
}

}  // namespace
}  // namespace nimbrel::types
