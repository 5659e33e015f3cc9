// Builders of complete type objects for tests and fuzz targets: short calls instead of long
// aggregate literals, and a registry that holds the n-th object of a list under hash_of(n),
// counting from 1. Free of GoogleTest, so fuzz targets may use it too.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "types/resolve.hpp"

namespace nimbrel::types::testing {

// A hash whose bytes count up from `first`.
inline EquivalenceHash hash_of(int first) {
  EquivalenceHash h;
  for (std::size_t i = 0; i < h.bytes.size(); ++i)
    h.bytes[i] = static_cast<std::uint8_t>(first + static_cast<int>(i));
  return h;
}
inline TypeIdentifier prim(PrimitiveKind kind) {
  return TypeIdentifier::Primitive{kind};
}

}  // namespace nimbrel::types::testing

namespace nimbrel::types::testing::complete {

inline constexpr std::uint16_t final_ = 0x1, appendable = 0x2, mutable_ = 0x4;
inline constexpr std::uint16_t key = 0x20, optional_ = 0x08, default_case = 0x40;

inline TypeIdentifier ref(int n) {
  return TypeIdentifier::EquivalenceHashComplete{testing::hash_of(n)};
}
inline TypeIdentifier seq(TypeIdentifier e, std::uint8_t bound = 0) {
  return TypeIdentifier::PlainSequenceSmall{{}, bound, std::move(e)};
}
inline TypeIdentifier arr(TypeIdentifier e, std::vector<std::uint8_t> bounds) {
  return TypeIdentifier::PlainArraySmall{{}, std::move(bounds), std::move(e)};
}
inline TypeIdentifier str(std::uint8_t bound = 0) {
  return TypeIdentifier::String8Small{bound};
}
inline CompleteTypeDetail named(std::string name) {
  return {{}, {}, std::move(name)};
}
inline CompleteStructMember member(std::uint32_t id, std::string name, TypeIdentifier type,
                                   std::uint16_t flags = 0) {
  return {id, flags, std::move(type), {std::move(name), {}, {}}};
}
inline CompleteStructType structure(std::string name, std::uint16_t flags,
                                    std::vector<CompleteStructMember> members,
                                    TypeIdentifier base = TypeIdentifier::None{}) {
  return {flags, std::move(base), named(std::move(name)), std::move(members)};
}
inline CompleteEnumeratedType enumeration(std::string name,
                                          std::vector<std::pair<std::string, int>> ls,
                                          std::uint16_t bit_bound = 32) {
  CompleteEnumeratedType e{0, bit_bound, named(std::move(name)), {}};
  for (auto& [n, v] : ls)
    e.literals.push_back({v, 0, {n, {}, {}}});
  return e;
}
inline CompleteUnionMember branch(std::string name, TypeIdentifier type,
                                  std::vector<std::int32_t> labels, std::uint16_t flags = 0) {
  return {{0, flags, std::move(type), {std::move(labels)}}, {std::move(name), {}, {}}};
}
inline CompleteAliasType alias(std::string name, TypeIdentifier related) {
  return {0, named(std::move(name)), 0, std::move(related), {}, {}};
}

inline TypeRegistry registry_of(const std::vector<CompleteTypeObject::Value>& objects) {
  TypeRegistry registry;
  for (std::size_t i = 0; i < objects.size(); ++i)
    registry.complete[testing::hash_of(static_cast<int>(i + 1))] = CompleteTypeObject{objects[i]};
  return registry;
}

}  // namespace nimbrel::types::testing::complete
