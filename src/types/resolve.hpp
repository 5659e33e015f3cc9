// The type objects a participant knows, keyed by equivalence hash, and what can be worked out
// from them: alias chains followed to their end, the hashes a type refers to, and its transitive
// dependencies for the type lookup service. The registry is filled by whoever owns it.
#pragma once

#include <cstddef>
#include <expected>
#include <map>
#include <vector>

#include "types/type_identifier.hpp"
#include "types/type_object.hpp"

namespace nimbrel::types {

// The most distinct hashes one type object may refer to.
inline constexpr std::size_t max_referenced_hashes = 4096;

struct TypeRegistry {
  std::map<EquivalenceHash, MinimalTypeObject> minimal{};
  std::map<EquivalenceHash, CompleteTypeObject> complete{};

  // Files the object under the hash of `id`, in the map of its form; false when `id` is no hash
  // identifier of that form. An entry already held stays.
  bool add(const TypeIdentifier& id, TypeObject object);
  // Null when the hash is not held; the pointer lives as long as the entry.
  const MinimalTypeObject* get_minimal(const EquivalenceHash& hash) const;
  // The hashes the object under `hash` refers to (minimal form first); empty when unknown.
  std::vector<EquivalenceHash> dependencies_of(const EquivalenceHash& hash) const;
  // Depth-first, in visiting order, at most `limit`; the root only if it is met again.
  std::vector<EquivalenceHash> transitive_dependencies(const EquivalenceHash& root,
                                                       std::size_t limit) const;
};

enum class ResolveError { LimitReached, UnknownHash, Cycle };

// Follows aliases to the first identifier that is not an alias; a chain of up to `step_limit`
// alias hops resolves, and a limit of 0 resolves nothing.
std::expected<TypeIdentifier, ResolveError> resolve_alias_chain(const TypeIdentifier& id,
                                                                const TypeRegistry& registry,
                                                                std::size_t step_limit);

struct TooManyReferencedHashes {
  friend bool operator==(const TooManyReferencedHashes&, const TooManyReferencedHashes&) = default;
};

// The distinct hashes an object refers to, in first-seen order; fails past 4,096.
std::expected<std::vector<EquivalenceHash>, TooManyReferencedHashes> collect_referenced_hashes(
    const MinimalTypeObject& object);
std::expected<std::vector<EquivalenceHash>, TooManyReferencedHashes> collect_referenced_hashes(
    const CompleteTypeObject& object);

}  // namespace nimbrel::types
