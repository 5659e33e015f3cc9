#include "types/resolve.hpp"

#include <gtest/gtest.h>

#include "types/type_test_util.hpp"

namespace nimbrel::types {
namespace {

using P = PrimitiveKind;
using TI = TypeIdentifier;
using namespace testing;

MinimalTypeObject alias_of(TI related) {
  return {MinimalAliasType{.related_type = std::move(related)}};
}
MinimalTypeObject struct_of(std::vector<TI> member_types, TI base = {}) {
  MinimalStructType s{.base_type = std::move(base)};
  for (auto& type : member_types)
    s.members.push_back({.member_type = std::move(type)});
  return {s};
}

// Aliases 1 -> 2 -> ... -> n -> Int32, each under hash_of(i).
TypeRegistry alias_chain(int hops) {
  TypeRegistry registry;
  for (int i = 1; i <= hops; ++i)
    registry.minimal[hash_of(i)] = alias_of(i == hops ? prim(P::Int32) : minimal_ref(i + 1));
  return registry;
}

TEST(ResolveAliasChain, FollowsUpToTheLimitAndFailsOnePast) {
  EXPECT_EQ(resolve_alias_chain(minimal_ref(1), alias_chain(64), 64), prim(P::Int32));
  EXPECT_EQ(resolve_alias_chain(minimal_ref(1), alias_chain(65), 64),
            std::unexpected(ResolveError::LimitReached));
  EXPECT_EQ(resolve_alias_chain(prim(P::Int8), {}, 0), std::unexpected(ResolveError::LimitReached));
  EXPECT_EQ(resolve_alias_chain(prim(P::Int8), {}, 1), prim(P::Int8));
}

TEST(ResolveAliasChain, StopsAtTheFirstNonAliasAndRefusesCyclesAndUnknownHashes) {
  TypeRegistry registry;
  registry.minimal[hash_of(1)] = alias_of(minimal_ref(2));
  registry.minimal[hash_of(2)] = struct_of({});
  registry.minimal[hash_of(3)] = alias_of(minimal_ref(3));  // itself
  registry.minimal[hash_of(4)] = alias_of(minimal_ref(5));
  registry.minimal[hash_of(5)] = alias_of(minimal_ref(4));
  registry.minimal[hash_of(6)] = alias_of(minimal_ref(99));
  // A complete identifier is looked up among complete objects only.
  registry.complete[hash_of(7)] = {CompleteAliasType{.related_type = prim(P::Char8)}};
  const TI complete_7 = TI::EquivalenceHashComplete{hash_of(7)};
  const TI minimal_7 = minimal_ref(7);

  EXPECT_EQ(resolve_alias_chain(minimal_ref(1), registry, 64), minimal_ref(2));
  EXPECT_EQ(resolve_alias_chain(minimal_ref(3), registry, 64),
            std::unexpected(ResolveError::Cycle));
  EXPECT_EQ(resolve_alias_chain(minimal_ref(4), registry, 64),
            std::unexpected(ResolveError::Cycle));
  EXPECT_EQ(resolve_alias_chain(minimal_ref(6), registry, 64),
            std::unexpected(ResolveError::UnknownHash));
  EXPECT_EQ(resolve_alias_chain(complete_7, registry, 64), prim(P::Char8));
  EXPECT_EQ(resolve_alias_chain(minimal_7, registry, 64),
            std::unexpected(ResolveError::UnknownHash));
}

TEST(CollectReferencedHashes, InFieldOrderOnceEachThroughPlainCollections) {
  const TI map = TI::PlainMapSmall{{}, 4, minimal_ref(3), 0, minimal_ref(4)};
  const TI seq = TI::PlainSequenceLarge{{}, 9, TI::EquivalenceHashComplete{hash_of(5)}};
  const auto found = collect_referenced_hashes(
      struct_of({minimal_ref(2), map, seq, minimal_ref(2)}, minimal_ref(1)));
  EXPECT_EQ(found, (std::vector{hash_of(1), hash_of(2), hash_of(3), hash_of(4), hash_of(5)}));

  const MinimalTypeObject minimal_map{
      MinimalMapType{.key_type = minimal_ref(8), .element_type = minimal_ref(9)}};
  EXPECT_EQ(collect_referenced_hashes(minimal_map), (std::vector{hash_of(8), hash_of(9)}));
  const CompleteTypeObject complete_union{CompleteUnionType{
      .discriminator = {.type_id = minimal_ref(8)},
      .members = {{.common = {.type_id = TI::StronglyConnectedComponent{hash_of(1), 1, 0}}},
                  {.common = {.type_id = minimal_ref(9)}}}}};
  EXPECT_EQ(collect_referenced_hashes(complete_union), (std::vector{hash_of(8), hash_of(9)}));
  EXPECT_EQ(collect_referenced_hashes(MinimalTypeObject{MinimalEnumeratedType{}})->size(), 0u);
}

TEST(CollectReferencedHashes, HoldsFourThousandNinetySixAndFailsOnePast) {
  std::vector<TI> members;
  for (int i = 0; i < 4096; ++i) {
    EquivalenceHash h;
    h.bytes[0] = static_cast<std::uint8_t>(i >> 8);
    h.bytes[1] = static_cast<std::uint8_t>(i);
    members.push_back(TI::EquivalenceHashMinimal{h});
  }
  members.push_back(members.front());  // seen before: not counted again
  EXPECT_EQ(collect_referenced_hashes(struct_of(members))->size(), 4096u);
  members.push_back(minimal_ref(0xF0));
  EXPECT_EQ(collect_referenced_hashes(struct_of(members)),
            std::unexpected(TooManyReferencedHashes{}));
}

TEST(TypeRegistry, DependenciesPreferTheMinimalFormAndTransitiveOnesStopAtTheLimit) {
  TypeRegistry registry;
  registry.minimal[hash_of(1)] = struct_of({minimal_ref(2), minimal_ref(3), minimal_ref(4)});
  registry.minimal[hash_of(2)] = alias_of(minimal_ref(5));
  registry.minimal[hash_of(5)] = alias_of(minimal_ref(1));  // back to the root
  registry.complete[hash_of(1)] = {CompleteAliasType{.related_type = minimal_ref(9)}};
  registry.complete[hash_of(6)] = {CompleteAliasType{.related_type = minimal_ref(7)}};

  EXPECT_EQ(registry.dependencies_of(hash_of(1)),
            (std::vector{hash_of(2), hash_of(3), hash_of(4)}));
  EXPECT_EQ(registry.dependencies_of(hash_of(6)), (std::vector{hash_of(7)}));
  EXPECT_TRUE(registry.dependencies_of(hash_of(42)).empty());
  EXPECT_EQ(registry.get_minimal(hash_of(6)), nullptr);
  ASSERT_NE(registry.get_minimal(hash_of(2)), nullptr);

  // Depth first from the last dependency; the root counts once it is met again.
  EXPECT_EQ(registry.transitive_dependencies(hash_of(1), 100),
            (std::vector{hash_of(4), hash_of(3), hash_of(2), hash_of(5), hash_of(1)}));
  EXPECT_EQ(registry.transitive_dependencies(hash_of(1), 2), (std::vector{hash_of(4), hash_of(3)}));
  EXPECT_TRUE(registry.transitive_dependencies(hash_of(1), 0).empty());
}

}  // namespace
}  // namespace nimbrel::types
