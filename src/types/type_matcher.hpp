// Type assignability under a type consistency enforcement policy (DDS-XTypes 1.3 section
// 7.6.3.4): what endpoint matching asks when both sides announce a type identifier.
#pragma once

#include <cstdint>

#include "types/assignability.hpp"
#include "types/resolve.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::types {

enum class TypeConsistencyKind : std::uint16_t { DisallowTypeCoercion = 0, AllowTypeCoercion = 1 };

// Defaults are the standard's default policy.
struct TypeConsistencyEnforcement {
  TypeConsistencyKind kind = TypeConsistencyKind::AllowTypeCoercion;
  bool ignore_sequence_bounds = true;
  bool ignore_string_bounds = true;
  bool ignore_member_names = false;
  bool prevent_type_widening = false;
  bool force_type_validation = false;

  friend bool operator==(const TypeConsistencyEnforcement&,
                         const TypeConsistencyEnforcement&) = default;
};

class TypeMatcher {
 public:
  explicit TypeMatcher(const TypeConsistencyEnforcement& policy = {}) : policy_(policy) {}

  // Alias step limit 64; coercion only when allowed and neither widening is prevented nor
  // validation forced; enumeration literal names always compared.
  AssignabilityOptions options() const;
  AssignabilityResult match_types(const TypeIdentifier& writer, const TypeIdentifier& reader,
                                  const TypeRegistry& registry) const;

 private:
  TypeConsistencyEnforcement policy_;
};

}  // namespace nimbrel::types
