// The types that sample decoding is tested and fuzzed with: every kind, each extensibility,
// optional members, inheritance, recursion, an alias cycle, and the type of a Cyclone DDS peer.
#pragma once

#include "types/complete_type_util.hpp"

namespace nimbrel::types::testing::sample_json {

using namespace testing::complete;
using PK = PrimitiveKind;

inline TypeIdentifier wstr() {
  return TypeIdentifier::String16Small{0};
}
inline TypeIdentifier map_of(TypeIdentifier k, TypeIdentifier v) {
  return TypeIdentifier::PlainMapSmall{{}, 0, std::move(v), 0, std::move(k)};
}
inline CompleteBitmaskType bitmask(std::vector<std::pair<std::string, std::uint16_t>> flags) {
  CompleteBitmaskType b{0, 8, named("Flags"), {}};
  for (auto& [n, p] : flags)
    b.flags.push_back({p, 0, {n, {}, {}}});
  return b;
}
inline CompleteBitfield bitfield(std::string name, std::uint16_t position, std::uint8_t count,
                                 PK holder) {
  return {position, 0, count, primitive_kind_to_wire(holder), {std::move(name), {}, {}}};
}
inline CompleteUnionType union_of(std::uint16_t flags, TypeIdentifier disc,
                                  std::vector<CompleteUnionMember> members) {
  for (std::size_t i = 0; i < members.size(); ++i)
    members[i].common.member_id = static_cast<std::uint32_t>(i + 1);
  return {flags, named("U"), {0, std::move(disc), {}, {}}, std::move(members)};
}

enum Ref : int {
  Point = 1,
  Color,
  Sample,
  Mut,
  Opt,
  Prims,
  Base,
  Derived,
  Union,
  Arr,
  Maps,
  Bits,
  Wide,
  Meters,
  Flags,
  Tagged,
  Node,
  Loop,
  MutUnion,
  Strs,
  TlSample,
  TlPoint,
  TlColor,
  CyEnums,
  CyUnion,
  CyAppendableUnion,
  CyUnions,
  End,  // one past the last
};

inline const TypeRegistry& registry() {
  // clang-format off
  static const TypeRegistry r = registry_of({
    structure("Point", final_, {member(0, "x", prim(PK::Int32)), member(1, "y", prim(PK::Int32))}),
    enumeration("Color", {{"RED", 0}, {"GREEN", 1}, {"BLUE", 7}}),
    structure("Sample", appendable, {
      member(0, "id", prim(PK::Int32), key), member(1, "pos", ref(Point)),
      member(2, "color", ref(Color)), member(3, "name", str()),
      member(4, "data", seq(prim(PK::Byte)))}),
    structure("Mut", mutable_, {member(1, "a", prim(PK::Int32)),
      member(2, "b", str(), optional_), member(3, "c", prim(PK::Float64))}),
    structure("Opt", final_, {member(0, "o", prim(PK::Int16), optional_),
      member(1, "w", prim(PK::Int64))}),
    structure("Prims", final_, {
      member(0, "t", prim(PK::Boolean)), member(1, "o", prim(PK::Byte)),
      member(2, "i8", prim(PK::Int8)), member(3, "u16", prim(PK::UInt16)),
      member(4, "i64", prim(PK::Int64)), member(5, "u64", prim(PK::UInt64)),
      member(6, "f", prim(PK::Float32)), member(7, "d", prim(PK::Float64)),
      member(8, "c", prim(PK::Char8)), member(9, "w", prim(PK::Char16))}),
    structure("Base", final_, {member(0, "b", prim(PK::UInt8))}),
    structure("Derived", final_, {member(1, "d", prim(PK::UInt16))}, ref(Base)),
    union_of(final_, prim(PK::Int32), {branch("i", prim(PK::Int32), {1}),
      branch("s", str(), {2}), branch("f", prim(PK::Float32), {}, default_case)}),
    structure("Arr", final_, {member(0, "m", arr(prim(PK::Int16), {2, 3}))}),
    structure("Maps", final_, {member(0, "sm", map_of(str(), prim(PK::Int32))),
      member(1, "im", map_of(prim(PK::Int32), prim(PK::Int32)))}),
    CompleteBitsetType{0, named("Bits"), {bitfield("a", 0, 3, PK::UInt8),
      bitfield("f", 3, 1, PK::Boolean), bitfield("s", 4, 4, PK::Int8)}},
    structure("Wide", final_, {member(0, "w", wstr()), member(1, "q", prim(PK::Float128))}),
    alias("Meters", prim(PK::Float64)),
    bitmask({{"A", 0}, {"B", 3}}),
    structure("Tagged", final_, {member(0, "f", ref(Flags)), member(1, "c", ref(Color))}),
    structure("Node", appendable, {member(0, "v", prim(PK::Int32)),
      member(1, "kids", seq(ref(Node)))}),
    alias("Loop", ref(Loop)),
    union_of(mutable_, ref(Color), {branch("i", prim(PK::Int32), {0}),
      branch("s", str(), {7})}),
    structure("Strs", appendable, {member(0, "names", seq(str()))}),
    structure("tldemo::Sample", appendable, {
      member(0, "id", prim(PK::Int32), key), member(1, "pos", ref(TlPoint)),
      member(2, "color", ref(TlColor)), member(3, "label", str()),
      member(4, "blob", seq(prim(PK::Byte)))}),
    structure("tldemo::Point", final_, {
      member(0, "x", prim(PK::Float64)), member(1, "y", prim(PK::Float64))}),
    enumeration("tldemo::Color", {{"RED", 0}, {"GREEN", 1}, {"BLUE", 2}}),
    structure("CyEnums", final_, {member(0, "cs", seq(ref(TlColor))),
      member(1, "arr", arr(ref(TlColor), {2})), member(2, "tail", prim(PK::Int32))}),
    union_of(final_, ref(TlColor), {branch("i", prim(PK::Int32), {0}),
      branch("s", str(), {2})}),
    union_of(appendable, prim(PK::Int32), {branch("i", prim(PK::Int32), {1}),
      branch("d", prim(PK::Float64), {}, default_case)}),
    structure("CyUnions", final_, {member(0, "un", ref(CyUnion)),
      member(1, "au", ref(CyAppendableUnion))}),
  });
  // clang-format on
  return r;
}

}  // namespace nimbrel::types::testing::sample_json
