// TypeIdentifierWithSize (DDS-XTypes 1.3 section 7.6.3.2.2): a dependency as the type lookup
// service names it, with the size of its type object's tagged little-endian form (0: unknown).
#pragma once

#include <cstdint>
#include <tuple>

#include "types/type_identifier.hpp"
#include "types/type_object/common.hpp"

namespace nimbrel::types {

struct TypeIdentifierWithSize {
  TypeIdentifier type_id{};
  std::uint32_t typeobject_serialized_size = 0;
  static auto fields(auto& self) { return std::tie(self.type_id, self.typeobject_serialized_size); }
  friend bool operator==(const TypeIdentifierWithSize&, const TypeIdentifierWithSize&) = default;
};

}  // namespace nimbrel::types
