#include "types/type_matcher.hpp"

namespace nimbrel::types {

AssignabilityOptions TypeMatcher::options() const {
  return {.alias_step_limit = 64,
          .allow_type_coercion = policy_.kind == TypeConsistencyKind::AllowTypeCoercion &&
                                 !policy_.prevent_type_widening && !policy_.force_type_validation,
          .ignore_sequence_bounds = policy_.ignore_sequence_bounds,
          .ignore_string_bounds = policy_.ignore_string_bounds,
          .ignore_member_names = policy_.ignore_member_names,
          .ignore_enum_literal_names = false};
}

AssignabilityResult TypeMatcher::match_types(const TypeIdentifier& writer,
                                             const TypeIdentifier& reader,
                                             const TypeRegistry& registry) const {
  return is_assignable(writer, reader, registry, options());
}

}  // namespace nimbrel::types
