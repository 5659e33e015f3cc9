#include "types/assignability.hpp"

#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "types/type_matcher.hpp"
#include "types/type_test_util.hpp"

namespace nimbrel::types {
namespace {

using P = PrimitiveKind;
using TI = TypeIdentifier;
using namespace testing;

constexpr AssignabilityOptions strict{};
constexpr AssignabilityOptions coercing{.allow_type_coercion = true};

AssignabilityResult refused(const char* message, bool unresolved = false) {
  return std::unexpected(AssignabilityFailure{message, unresolved});
}

TEST(PrimitiveRule, WideningTableWithCoercionNothingWithout) {
  const std::set<std::pair<P, P>> widenings = {
      {P::Byte, P::Int16},     {P::Byte, P::Int32},   {P::Byte, P::Int64},   {P::Byte, P::UInt16},
      {P::Byte, P::UInt32},    {P::Byte, P::UInt64},  {P::UInt8, P::Int16},  {P::UInt8, P::Int32},
      {P::UInt8, P::Int64},    {P::UInt8, P::UInt16}, {P::UInt8, P::UInt32}, {P::UInt8, P::UInt64},
      {P::Int8, P::Int16},     {P::Int8, P::Int32},   {P::Int8, P::Int64},   {P::Int16, P::Int32},
      {P::Int16, P::Int64},    {P::UInt16, P::Int32}, {P::UInt16, P::Int64}, {P::UInt16, P::UInt32},
      {P::UInt16, P::UInt64},  {P::Int32, P::Int64},  {P::UInt32, P::Int64}, {P::UInt32, P::UInt64},
      {P::Float32, P::Float64}};
  for (int w = 0; w <= static_cast<int>(P::Char16); ++w) {
    for (int r = 0; r <= static_cast<int>(P::Char16); ++r) {
      const auto wk = static_cast<P>(w), rk = static_cast<P>(r);
      const bool same = w == r;
      const auto with = is_assignable(prim(wk), prim(rk), {}, coercing);
      const auto without = is_assignable(prim(wk), prim(rk), {}, strict);
      EXPECT_EQ(with, same || widenings.contains({wk, rk})
                          ? AssignabilityResult{}
                          : refused("primitive coercion not widening-safe"))
          << w << " -> " << r;
      EXPECT_EQ(without, same ? AssignabilityResult{}
                              : refused("primitive kinds differ (no coercion allowed)"))
          << w << " -> " << r;
    }
  }
}

TEST(PlainIdentifiers, BoundsKindsAndElements) {
  const PlainCollectionHeader h{};
  const TI int32 = prim(P::Int32), int16 = prim(P::Int16);
  const AssignabilityOptions loose{.ignore_sequence_bounds = true, .ignore_string_bounds = true};
  struct Case {
    const char* name;
    TI writer, reader;
    AssignabilityResult strict_result, loose_result;
  };
  const AssignabilityResult yes{};
  // clang-format off
  const Case cases[] = {
      {"string8 into unbounded", TI::String8Small{10}, TI::String8Large{0}, yes, yes},
      {"string8 into shorter", TI::String8Large{11}, TI::String8Small{10},
       refused("writer string8 bound exceeds reader bound"), yes},
      {"string16 into shorter", TI::String16Small{11}, TI::String16Small{10},
       refused("writer string16 bound exceeds reader bound"), yes},
      {"string8 into string16", TI::String8Small{1}, TI::String16Small{1},
       refused("kinds do not match"), refused("kinds do not match")},
      {"sequence into shorter", TI::PlainSequenceSmall{h, 5, int32},
       TI::PlainSequenceLarge{h, 4, int32},
       refused("writer sequence bound exceeds reader bound"), yes},
      {"sequence of narrower elements", TI::PlainSequenceSmall{h, 5, int32},
       TI::PlainSequenceSmall{h, 5, int16}, refused("primitive kinds differ (no coercion allowed)"),
       refused("primitive kinds differ (no coercion allowed)")},
      {"small and large arrays of one shape", TI::PlainArraySmall{h, {3}, int32},
       TI::PlainArrayLarge{h, {3}, int32}, yes, yes},
      {"arrays of other dimensions", TI::PlainArraySmall{h, {3, 1}, int32},
       TI::PlainArrayLarge{h, {3}, int32}, refused("array bounds differ"),
       refused("array bounds differ")},
      {"map into smaller", TI::PlainMapSmall{h, 9, int32, 0, int16},
       TI::PlainMapLarge{h, 8, int32, 0, int16},
       refused("writer map bound exceeds reader bound"), yes},
      {"map with other keys", TI::PlainMapSmall{h, 0, int32, 0, int16},
       TI::PlainMapSmall{h, 0, int32, 0, TI::String8Small{1}}, refused("kinds do not match"),
       refused("kinds do not match")},
      {"sequence into array", TI::PlainSequenceSmall{h, 3, int32},
       TI::PlainArraySmall{h, {3}, int32}, refused("kinds do not match"),
       refused("kinds do not match")},
      {"strongly connected components", TI::StronglyConnectedComponent{hash_of(1), 2, 0},
       TI::StronglyConnectedComponent{hash_of(1), 2, 1}, refused("kinds do not match"),
       refused("kinds do not match")},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(is_assignable(c.writer, c.reader, {}, strict), c.strict_result) << c.name;
    EXPECT_EQ(is_assignable(c.writer, c.reader, {}, loose), c.loose_result) << c.name;
  }
}

TEST(HashIdentifiers, EqualOnesMatchUnresolvedOnesAreMarked) {
  const TypeRegistry empty;
  EXPECT_TRUE(is_assignable(minimal_ref(1), minimal_ref(1), empty, strict));
  const TI complete = TI::EquivalenceHashComplete{hash_of(1)};
  EXPECT_TRUE(is_assignable(complete, complete, empty, strict));
  EXPECT_EQ(is_assignable(minimal_ref(1), minimal_ref(2), empty, strict),
            refused("writer alias resolution failed", /*unresolved=*/true));
  EXPECT_EQ(is_assignable(prim(P::Int8), minimal_ref(2), empty, strict),
            refused("reader alias resolution failed", /*unresolved=*/true));

  TypeRegistry cyclic;
  cyclic.minimal[hash_of(1)] = {MinimalAliasType{.related_type = minimal_ref(1)}};
  EXPECT_EQ(is_assignable(minimal_ref(1), prim(P::Int8), cyclic, strict),
            refused("writer alias resolution failed"));
}

// Structs and enumerations by hash: members named by hash 0xNN.
MinimalStructMember member(std::uint32_t id, TI type, std::uint8_t name = 0,
                           std::uint16_t flags = 0) {
  return {.member_id = id,
          .member_flags = flags,
          .member_type = std::move(type),
          .name_hash = {name, 0, 0, 0}};
}
MinimalTypeObject structure(std::uint16_t flags, std::vector<MinimalStructMember> members) {
  return {MinimalStructType{.struct_flags = flags, .members = std::move(members)}};
}
MinimalTypeObject enumeration(std::uint16_t flags, std::uint16_t bit_bound,
                              std::vector<std::pair<std::int32_t, std::uint8_t>> literals) {
  MinimalEnumeratedType e{.enum_flags = flags, .bit_bound = bit_bound};
  for (auto [value, name] : literals)
    e.literals.push_back({.value = value, .name_hash = {name, 0, 0, 0}});
  return {e};
}

constexpr std::uint16_t final_ = 1, appendable = 2, mutable_ = 4;

class ObjectRule : public ::testing::Test {
 protected:
  AssignabilityResult check(const MinimalTypeObject& w, const MinimalTypeObject& r,
                            const AssignabilityOptions& options = strict) {
    registry_.minimal[hash_of(0x10)] = w;
    registry_.minimal[hash_of(0x20)] = r;
    return is_assignable(minimal_ref(0x10), minimal_ref(0x20), registry_, options);
  }
  TypeRegistry registry_;
};

TEST_F(ObjectRule, Enumerations) {
  const auto ab = enumeration(0, 32, {{0, 'a'}, {1, 'b'}});
  EXPECT_TRUE(check(enumeration(0, 32, {{1, 'b'}}), ab));
  EXPECT_EQ(check(ab, enumeration(0, 16, {{0, 'a'}, {1, 'b'}})),
            refused("enum bit_bound mismatch"));
  EXPECT_EQ(check(ab, enumeration(0, 32, {{0, 'a'}})),
            refused("enum writer literal unknown in reader"));
  EXPECT_TRUE(check(enumeration(0, 32, {}), enumeration(0, 32, {})));
  EXPECT_EQ(check(ab, enumeration(0, 32, {})), refused("enum writer literal unknown in reader"));
  const auto renamed = enumeration(0, 32, {{0, 'x'}, {1, 'y'}});
  EXPECT_EQ(check(ab, renamed), refused("enum writer literal unknown in reader"));
  EXPECT_TRUE(check(ab, renamed, {.ignore_enum_literal_names = true}));
  EXPECT_TRUE(check(enumeration(1, 32, {{0, 'a'}, {1, 'b'}}), renamed));
  EXPECT_EQ(check(ab, structure(final_, {})), refused("type kinds do not match"));
  EXPECT_EQ(check(MinimalTypeObject{MinimalSequenceType{}},
                  MinimalTypeObject{MinimalSequenceType{.bound = 1}}),
            refused("type kinds do not match"));
}

TEST_F(ObjectRule, StructsByExtensibility) {
  const auto i32 = prim(P::Int32), i16 = prim(P::Int16);
  const auto app123 =
      structure(appendable, {member(1, i32, 1), member(2, i32, 2), member(3, i32, 3)});
  const auto app12 = structure(appendable, {member(1, i32, 1), member(2, i32, 2)});
  EXPECT_TRUE(check(app123, app12));
  EXPECT_EQ(check(app12, app123), refused("appendable: writer has fewer members than reader"));
  EXPECT_EQ(check(app123, structure(0, {member(1, i32, 1), member(2, i32, 9)})),
            refused("appendable: member name-hash differs"));
  EXPECT_TRUE(check(app123, structure(0, {member(1, i32, 1), member(2, i32, 9)}),
                    {.ignore_member_names = true}));
  EXPECT_EQ(check(app123, structure(final_, {})), refused("extensibility mismatch"));

  const auto fin = structure(final_, {member(1, i32, 1), member(2, i16, 2)});
  EXPECT_EQ(check(fin, structure(final_, {member(1, i32, 1)})),
            refused("final struct member count mismatch"));
  EXPECT_EQ(check(fin, structure(final_, {member(1, i32, 7), member(2, i16, 2)})),
            refused("final struct member name-hash differs"));
  EXPECT_EQ(check(fin, structure(final_, {member(1, i32, 1), member(2, i32, 2)})),
            refused("primitive kinds differ (no coercion allowed)"));
  EXPECT_TRUE(check(fin, structure(final_, {member(1, i32, 1), member(2, i32, 2)}), coercing));

  // Mutable members pair by id; the writer's extra members are ignored.
  const auto mut = structure(mutable_, {member(7, i32, 7), member(3, i16, 3)});
  EXPECT_TRUE(check(mut, structure(mutable_, {member(3, i16, 3)})));
  EXPECT_EQ(check(mut, structure(mutable_, {member(3, i16, 3), member(9, i16, 9)})),
            refused("mutable: reader member missing in writer"));
  EXPECT_TRUE(check(mut, structure(mutable_, {member(3, i16, 3), member(9, i16, 9, 0x08)})));
  EXPECT_EQ(check(mut, structure(mutable_, {member(3, i16, 4)})),
            refused("mutable: member name-hash differs despite id match"));
}

// A part found unfit is reported even after one that could not be resolved.
TEST_F(ObjectRule, UnresolvedMembersDoNotHideUnfitOnes) {
  const auto unknown = structure(final_, {member(1, minimal_ref(0x77)), member(2, prim(P::Int8))});
  EXPECT_EQ(
      check(unknown, structure(final_, {member(1, minimal_ref(0x78)), member(2, prim(P::Int8))})),
      refused("writer alias resolution failed", true));
  EXPECT_EQ(
      check(unknown, structure(final_, {member(1, minimal_ref(0x78)), member(2, prim(P::Char8))})),
      refused("primitive kinds differ (no coercion allowed)"));
}

// Two peers' structs that refer to each other once recursed until the stack ran out.
TEST_F(ObjectRule, MutuallyRecursiveTypesFailCleanly) {
  registry_.minimal[hash_of(0x30)] = structure(final_, {member(1, minimal_ref(0x10))});
  registry_.minimal[hash_of(0x40)] = structure(final_, {member(1, minimal_ref(0x20))});
  EXPECT_EQ(check(structure(final_, {member(1, minimal_ref(0x30))}),
                  structure(final_, {member(1, minimal_ref(0x40))})),
            refused("recursive type reference"));
}

TEST_F(ObjectRule, DeepNestingStopsAtTheDepthLimit) {
  // Writer chain 0x100.. and reader chain 0x200.., each struct holding the next one.
  auto chain = [&](int base, int length) {
    for (int i = 0; i < length; ++i) {
      EquivalenceHash h{}, next{};
      h.bytes = {static_cast<std::uint8_t>(base), static_cast<std::uint8_t>(i)};
      next.bytes = {static_cast<std::uint8_t>(base), static_cast<std::uint8_t>(i + 1)};
      registry_.minimal[h] = structure(
          final_,
          {member(1, i + 1 == length ? prim(P::Int32) : TI(TI::EquivalenceHashMinimal{next}))});
    }
    EquivalenceHash first{};
    first.bytes[0] = static_cast<std::uint8_t>(base);
    return TI(TI::EquivalenceHashMinimal{first});
  };
  const TI writer_short = chain(0xA1, 64), reader_short = chain(0xB1, 64);
  EXPECT_TRUE(is_assignable(writer_short, reader_short, registry_, strict));
  const TI writer_long = chain(0xA2, 65), reader_long = chain(0xB2, 65);
  EXPECT_EQ(is_assignable(writer_long, reader_long, registry_, strict),
            refused("type nesting too deep"));
}

TEST(TypeMatcher, OptionsFollowThePolicy) {
  using K = TypeConsistencyKind;
  EXPECT_EQ(TypeMatcher().options().allow_type_coercion, true);
  EXPECT_TRUE(TypeMatcher().options().ignore_sequence_bounds);
  EXPECT_TRUE(TypeMatcher().options().ignore_string_bounds);
  EXPECT_FALSE(TypeMatcher().options().ignore_member_names);
  EXPECT_EQ(TypeMatcher().options().alias_step_limit, 64u);
  EXPECT_FALSE(TypeMatcher({.kind = K::DisallowTypeCoercion}).options().allow_type_coercion);
  EXPECT_FALSE(TypeMatcher({.prevent_type_widening = true}).options().allow_type_coercion);
  EXPECT_FALSE(TypeMatcher({.force_type_validation = true}).options().allow_type_coercion);
  const TypeMatcher names_ignored({.ignore_sequence_bounds = false, .ignore_member_names = true});
  EXPECT_FALSE(names_ignored.options().ignore_sequence_bounds);
  EXPECT_TRUE(names_ignored.options().ignore_member_names);
  EXPECT_TRUE(TypeMatcher().match_types(prim(P::Int16), prim(P::Int32), {}));
}

}  // namespace
}  // namespace nimbrel::types
