// Whether data written with one type can be read with another: this system's reduced form of
// DDS-XTypes 1.3 type assignability (section 7.2.4). Plain identifiers are compared directly;
// hash identifiers through their minimal objects in a registry, where only enumerations and
// structures are compared. Every failure carries one fixed message.
#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "types/resolve.hpp"
#include "types/type_identifier.hpp"
#include "types/type_object/minimal.hpp"

namespace nimbrel::types {

struct AssignabilityOptions {
  std::size_t alias_step_limit = 64;
  bool allow_type_coercion = false;  // widening between different primitive kinds
  bool ignore_sequence_bounds = false;
  bool ignore_string_bounds = false;
  bool ignore_member_names = false;
  bool ignore_enum_literal_names = false;
};

// Nested comparisons (through collections, members and aliases) stop at this depth.
inline constexpr std::size_t assignability_depth_limit = 64;

struct AssignabilityFailure {
  const char* message = "";
  // A hash the registry does not hold: the types could not be compared, not found unfit.
  bool unresolved = false;

  friend bool operator==(const AssignabilityFailure& a, const AssignabilityFailure& b) {
    return std::string_view(a.message) == b.message && a.unresolved == b.unresolved;
  }
};

using AssignabilityResult = std::expected<void, AssignabilityFailure>;

// Equal identifiers are assignable before anything is resolved. Where several parts fail, a
// part found unfit is reported before one that could not be resolved.
AssignabilityResult is_assignable(const TypeIdentifier& writer, const TypeIdentifier& reader,
                                  const TypeRegistry& registry,
                                  const AssignabilityOptions& options);

AssignabilityResult check_minimal_types(const MinimalTypeObject& writer,
                                        const MinimalTypeObject& reader,
                                        const TypeRegistry& registry,
                                        const AssignabilityOptions& options);

}  // namespace nimbrel::types
