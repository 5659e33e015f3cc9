#include "types/type_object_xcdr2.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/hex.hpp"
#include "type_test_util.hpp"

namespace nimbrel::types {
namespace {

using testing::Bytes;

Bytes capture(const std::string& name) {
  std::ifstream file(NIMBREL_TEST_DATA_DIR "/typelookup/" + name, std::ios::binary);
  EXPECT_TRUE(file) << "missing capture " << name;
  const std::vector<char> raw{std::istreambuf_iterator<char>(file), {}};
  const auto* first = reinterpret_cast<const std::byte*>(raw.data());
  return Bytes(first, first + raw.size());
}

Bytes slice(const std::string& file, std::size_t at, std::size_t size) {
  const Bytes all = capture(file);
  EXPECT_LE(at + size, all.size());
  return Bytes(all.begin() + static_cast<std::ptrdiff_t>(at),
               all.begin() + static_cast<std::ptrdiff_t>(at + size));
}

std::string hash_hex(const TypeIdentifier& id) {
  if (const auto* m = std::get_if<TypeIdentifier::EquivalenceHashMinimal>(&id.value))
    return "f1" + to_hex(m->hash.bytes);
  if (const auto* c = std::get_if<TypeIdentifier::EquivalenceHashComplete>(&id.value))
    return "f2" + to_hex(c->hash.bytes);
  return "not a hash";
}

struct CarriedObject {
  const char* file;
  std::size_t at;
  std::size_t size;
  const char* id;  // as the publisher's type information names it
};

// The four objects Cyclone sent, each checked against the hash its SEDP announcement gave.
const CarriedObject carried[] = {
    {"cyclone-tl-reply-complete.bin", 136, 199, "f2d03d0823389c9c5f1c0102a84954"},
    {"cyclone-tl-reply-complete.bin", 352, 84, "f250702d08bf1c4c8bf8217588f8ab"},
    {"cyclone-tl-reply-complete.bin", 452, 127, "f27fa65aebbbddd73b31fc7e7a8b0d"},
    {"cyclone-tl-reply-minimal.bin", 136, 140, "f1b4235e483e05c81398774155b055"},
};

void PrintTo(const CarriedObject& c, std::ostream* os) {
  *os << c.file << " @" << c.at;
}

class CarriedObjects : public ::testing::TestWithParam<CarriedObject> {};

TEST_P(CarriedObjects, DecodeEncodesToTheSameBytesAndHashesToItsIdentifier) {
  const Bytes wire = slice(GetParam().file, GetParam().at, GetParam().size);
  auto object = decode_xcdr2(wire);
  ASSERT_TRUE(object) << to_string(object.error());
  auto again = encode_xcdr2(*object);
  ASSERT_TRUE(again) << to_string(again.error());
  EXPECT_EQ(*again, wire);

  auto id = type_identifier_of_xcdr2(wire);
  ASSERT_TRUE(id);
  EXPECT_EQ(hash_hex(*id), GetParam().id);
  EXPECT_TRUE(xcdr2_matches_identifier(wire, *id));
  Bytes altered = wire;
  altered.back() ^= std::byte{1};
  EXPECT_FALSE(xcdr2_matches_identifier(altered, *id));

  // Big-endian: the same object, other bytes.
  auto big = encode_xcdr2(*object, /*little_endian=*/false);
  ASSERT_TRUE(big);
  EXPECT_NE(*big, wire);
  auto from_big = decode_xcdr2(*big, /*little_endian=*/false);
  ASSERT_TRUE(from_big) << to_string(from_big.error());
  EXPECT_EQ(*from_big, *object);
}

TEST_P(CarriedObjects, EveryCutFails) {
  const Bytes wire = slice(GetParam().file, GetParam().at, GetParam().size);
  for (std::size_t n = 0; n < wire.size(); ++n)
    EXPECT_FALSE(decode_xcdr2(std::span(wire).first(n))) << "cut at " << n;
}

INSTANTIATE_TEST_SUITE_P(Cyclone, CarriedObjects, ::testing::ValuesIn(carried));

// Every kind idlc wrote for a type using them all: aliases, union, enum, bitmask, structs with
// optional, key and builtin-annotated members. Objects follow each other, padded to four bytes.
TEST(TypeObjectXcdr2, IdlcObjectsOfEveryKindRoundTripByteForByte) {
  const Bytes all = capture("cyclone-idlc-kinds.bin");
  std::size_t objects = 0;
  for (std::size_t at = 0; at + 4 <= all.size(); ++objects) {
    const std::size_t size = 4 + (std::to_integer<std::size_t>(all[at]) |
                                  std::to_integer<std::size_t>(all[at + 1]) << 8);
    const Bytes wire = slice("cyclone-idlc-kinds.bin", at, size);
    at += (size + 3) / 4 * 4;
    auto object = decode_xcdr2(wire);
    ASSERT_TRUE(object) << "object " << objects << ": " << to_string(object.error());
    EXPECT_EQ(encode_xcdr2(*object), wire) << "object " << objects;
    auto big = encode_xcdr2(*object, /*little_endian=*/false);
    ASSERT_TRUE(big);
    EXPECT_EQ(decode_xcdr2(*big, /*little_endian=*/false), object) << "object " << objects;
    for (std::size_t n = 0; n < wire.size(); ++n)
      EXPECT_FALSE(decode_xcdr2(std::span(wire).first(n)))
          << "object " << objects << " cut at " << n;
  }
  EXPECT_EQ(objects, 16u);
}

std::vector<std::string> member_names(const CompleteStructType& s) {
  std::vector<std::string> names;
  for (const auto& m : s.members)
    names.push_back(m.detail.name);
  return names;
}

TEST(TypeObjectXcdr2, CycloneCompleteSampleNamesItsMembers) {
  auto object = decode_xcdr2(slice("cyclone-tl-reply-complete.bin", 136, 199));
  ASSERT_TRUE(object);
  const auto& s = std::get<CompleteStructType>(std::get<CompleteTypeObject>(object->value).value);
  EXPECT_EQ(s.detail.type_name, "tldemo::Sample");
  EXPECT_EQ(member_names(s), (std::vector<std::string>{"id", "pos", "color", "label", "blob"}));
  EXPECT_EQ(hash_hex(s.members[2].member_type), carried[2].id);  // Color
}

// Fast DDS's SEDP 0x0072: encapsulation, then XCDR1 with no DHEADERs and no optional flags.
TEST(TypeObjectFastDds, DecodesTheCompleteSampleAndCarriesItOverToXcdr2) {
  const Bytes value = slice("fastdds-sedp-pub.bin", 464, 276);
  auto object = decode_fastdds_type_object(value);
  ASSERT_TRUE(object) << to_string(object.error());
  const auto& s = std::get<CompleteStructType>(std::get<CompleteTypeObject>(object->value).value);
  EXPECT_EQ(s.detail.type_name, "tldemo::Sample");
  EXPECT_FALSE(s.detail.builtin_annotations.verbatim);
  EXPECT_FALSE(s.detail.custom_annotations.annotations);
  EXPECT_EQ(member_names(s), (std::vector<std::string>{"id", "pos", "color", "label", "blob"}));
  EXPECT_EQ(s.members[0].member_flags, 0x0020);
  EXPECT_EQ(s.members[0].member_type,
            TypeIdentifier{TypeIdentifier::Primitive{PrimitiveKind::Int32}});
  EXPECT_EQ(hash_hex(s.members[1].member_type), "f2f6dceb68b001ab2f8c61ab921b75");
  EXPECT_EQ(s.members[3].member_type, TypeIdentifier{TypeIdentifier::String8Small{255}});
  EXPECT_EQ(s.members[4].detail.builtin_annotations, AppliedBuiltinMemberAnnotations{});

  auto xcdr2 = encode_xcdr2(*object);
  ASSERT_TRUE(xcdr2);
  auto back = decode_xcdr2(*xcdr2);
  ASSERT_TRUE(back) << to_string(back.error());
  EXPECT_EQ(*back, *object);

  for (std::size_t n = 0; n < value.size() - 4; ++n)
    EXPECT_FALSE(decode_fastdds_type_object(std::span(value).first(n))) << "cut at " << n;
}

// The kinds idlc writes no object for, and annotations idlc does not write, through both byte
// orders: catches a layout the two directions read differently.
TEST(TypeObjectXcdr2, OtherKindsAndAnnotationsRoundTripInBothOrders) {
  const TypeIdentifier i32 = TypeIdentifier::Primitive{PrimitiveKind::Int32};
  const std::vector<std::uint8_t> int64_value = {0x05, 1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<std::uint8_t> text_value = {0x20, 3, 0, 0, 0, 'h', 'i', 0};
  const CompleteTypeDetail detail{
      .builtin_annotations = {AppliedVerbatimAnnotation{
          .placement = VerbatimPlacement::from_text("BEGIN_FILE"), .language = "c", .text = "x"}},
      .custom_annotations = {std::vector<AppliedAnnotation>{
          {.annotation_type = testing::minimal_ref(1),
           .parameters = {{.name_hash = {1, 2, 3, 4}, .value = {text_value}}}},
          {.annotation_type = testing::minimal_ref(2), .parameters = {}}}},
      .type_name = "m::T"};
  const CompleteMemberDetail member{
      .name = "a",
      .builtin_annotations = {.unit = "m", .min = {{int64_value}}, .max = {}, .hash_id = "h"},
      .custom_annotations = {}};
  const CompleteCollectionElement element{
      .flags = 1, .type_id = i32, .builtin_annotations = {}, .custom_annotations = {}};
  const std::vector<TypeObject> objects = {
      {CompleteTypeObject{
          CompleteStructType{.struct_flags = 2,
                             .detail = detail,
                             .members = {{.member_id = 7, .member_type = i32, .detail = member}}}}},
      {CompleteTypeObject{CompleteBitsetType{
          .detail = detail, .fields_seq = {{.bitcount = 3, .holder_type = 4, .detail = member}}}}},
      {CompleteTypeObject{CompleteSequenceType{.bound = 9, .detail = detail, .element = element}}},
      {CompleteTypeObject{
          CompleteArrayType{.bounds = {2, 3}, .detail = detail, .element = element}}},
      {CompleteTypeObject{
          CompleteMapType{.bound = 4, .detail = detail, .key = element, .element = element}}},
      {MinimalTypeObject{MinimalBitsetType{.fields_seq = {{.position = 1, .bitcount = 2}}}}},
      {MinimalTypeObject{MinimalSequenceType{.bound = 3, .element_type = i32}}},
      {MinimalTypeObject{MinimalArrayType{.bounds = {4}, .element_type = i32}}},
      {MinimalTypeObject{MinimalMapType{.key_type = i32, .element_type = i32}}},
  };
  for (const TypeObject& object : objects) {
    for (bool little : {true, false}) {
      auto bytes = encode_xcdr2(object, little);
      ASSERT_TRUE(bytes) << to_string(bytes.error());
      auto back = decode_xcdr2(*bytes, little);
      ASSERT_TRUE(back) << to_string(back.error()) << " kind " << object.value.index();
      EXPECT_EQ(*back, object) << "little " << little;
    }
  }
}

TEST(TypeObjectXcdr2, RefusesWhatHasNoStandardForm) {
  const TypeObject annotation{CompleteTypeObject{CompleteAnnotationType{}}};
  EXPECT_FALSE(encode_xcdr2(annotation));
  // A minimal annotation object: DHEADER 2, EK_MINIMAL, TK_ANNOTATION.
  EXPECT_EQ(decode_xcdr2(testing::bytes({2, 0, 0, 0, 0xf1, 0x50})).error().kind,
            CodecError::Kind::Unsupported);
  // A parameter value whose length does not fit its kind.
  TypeObject bad{CompleteTypeObject{CompleteStructType{
      .members = {{.detail = {.builtin_annotations = {.min = {{{0x04, 1}}}}}}}}}};
  EXPECT_FALSE(encode_xcdr2(bad));
}

TEST(TypeObjectXcdr2, ForgedLengthsKindsAndFlagsFail) {
  struct Forgery {
    std::size_t object;  // in `carried`
    std::size_t at;      // into the object
    std::uint8_t value;
    CodecError::Kind kind;
  };
  // clang-format off
  const Forgery forgeries[] = {
      {3, 3,  0x7f, CodecError::Kind::UnexpectedEof},   // object DHEADER beyond the input
      {3, 4,  0x00, CodecError::Kind::InvalidValue},    // equivalence kind
      {3, 5,  0x99, CodecError::Kind::InvalidValue},    // type kind
      {3, 8,  0x00, CodecError::Kind::Malformed},       // struct header DHEADER too short
      {3, 23, 0x7f, CodecError::Kind::UnexpectedEof},   // member count
      {0, 13, 0x02, CodecError::Kind::InvalidOptional}, // presence flag of the type's annotations
  };
  // clang-format on
  for (const Forgery& f : forgeries) {
    Bytes wire = slice(carried[f.object].file, carried[f.object].at, carried[f.object].size);
    wire[f.at] = std::byte{f.value};
    auto decoded = decode_xcdr2(wire);
    ASSERT_FALSE(decoded) << "at " << f.at;
    EXPECT_EQ(decoded.error().kind, f.kind) << "at " << f.at << ": " << to_string(decoded.error());
  }
}

}  // namespace
}  // namespace nimbrel::types
