#include "types/resolve.hpp"

#include <set>

namespace nimbrel::types {
namespace {

using HashList = std::expected<std::vector<EquivalenceHash>, TooManyReferencedHashes>;

class HashCollector {
 public:
  // False once the cap is passed.
  bool visit(const TypeIdentifier& id) {
    return std::visit(
        [&](const auto& alt) -> bool {
          using T = std::decay_t<decltype(alt)>;
          if constexpr (std::is_same_v<T, TypeIdentifier::EquivalenceHashMinimal> ||
                        std::is_same_v<T, TypeIdentifier::EquivalenceHashComplete>) {
            return add(alt.hash);
          } else if constexpr (std::is_same_v<T, TypeIdentifier::PlainSequenceSmall> ||
                               std::is_same_v<T, TypeIdentifier::PlainSequenceLarge> ||
                               std::is_same_v<T, TypeIdentifier::PlainArraySmall> ||
                               std::is_same_v<T, TypeIdentifier::PlainArrayLarge>) {
            return visit(*alt.element);
          } else if constexpr (std::is_same_v<T, TypeIdentifier::PlainMapSmall> ||
                               std::is_same_v<T, TypeIdentifier::PlainMapLarge>) {
            return visit(*alt.element) && visit(*alt.key);
          } else {
            return true;
          }
        },
        id.value);
  }

  HashList result() && {
    if (overflow_) return std::unexpected(TooManyReferencedHashes{});
    return std::move(order_);
  }

 private:
  bool add(const EquivalenceHash& hash) {
    if (seen_.contains(hash)) return true;
    if (order_.size() >= max_referenced_hashes) {
      overflow_ = true;
      return false;
    }
    seen_.insert(hash);
    order_.push_back(hash);
    return true;
  }

  std::set<EquivalenceHash> seen_;
  std::vector<EquivalenceHash> order_;
  bool overflow_ = false;
};

// The identifiers an object refers to, in the order of their fields; annotations, bitsets,
// enumerations and bitmasks refer to none.
template <typename Visit>
bool for_each_reference(const MinimalTypeObject& object, Visit visit) {
  return std::visit(
      [&](const auto& t) -> bool {
        using T = std::decay_t<decltype(t)>;
        if constexpr (std::is_same_v<T, MinimalAliasType>) {
          return visit(t.related_type);
        } else if constexpr (std::is_same_v<T, MinimalStructType>) {
          if (!visit(t.base_type)) return false;
          for (const auto& m : t.members)
            if (!visit(m.member_type)) return false;
          return true;
        } else if constexpr (std::is_same_v<T, MinimalUnionType>) {
          if (!visit(t.discriminator_type)) return false;
          for (const auto& m : t.members)
            if (!visit(m.common.type_id)) return false;
          return true;
        } else if constexpr (std::is_same_v<T, MinimalSequenceType> ||
                             std::is_same_v<T, MinimalArrayType>) {
          return visit(t.element_type);
        } else if constexpr (std::is_same_v<T, MinimalMapType>) {
          return visit(t.key_type) && visit(t.element_type);
        } else {
          return true;
        }
      },
      object.value);
}

template <typename Visit>
bool for_each_reference(const CompleteTypeObject& object, Visit visit) {
  return std::visit(
      [&](const auto& t) -> bool {
        using T = std::decay_t<decltype(t)>;
        if constexpr (std::is_same_v<T, CompleteAliasType>) {
          return visit(t.related_type);
        } else if constexpr (std::is_same_v<T, CompleteStructType>) {
          if (!visit(t.base_type)) return false;
          for (const auto& m : t.members)
            if (!visit(m.member_type)) return false;
          return true;
        } else if constexpr (std::is_same_v<T, CompleteUnionType>) {
          if (!visit(t.discriminator.type_id)) return false;
          for (const auto& m : t.members)
            if (!visit(m.common.type_id)) return false;
          return true;
        } else if constexpr (std::is_same_v<T, CompleteSequenceType> ||
                             std::is_same_v<T, CompleteArrayType>) {
          return visit(t.element.type_id);
        } else if constexpr (std::is_same_v<T, CompleteMapType>) {
          return visit(t.key.type_id) && visit(t.element.type_id);
        } else {
          return true;
        }
      },
      object.value);
}

template <typename Object>
HashList collect(const Object& object) {
  HashCollector collector;
  for_each_reference(object, [&](const TypeIdentifier& id) { return collector.visit(id); });
  return std::move(collector).result();
}

template <typename Alias, typename Object>
const TypeIdentifier* alias_target(const Object& object) {
  const auto* alias = std::get_if<Alias>(&object.value);
  return alias != nullptr ? &alias->related_type : nullptr;
}

}  // namespace

HashList collect_referenced_hashes(const MinimalTypeObject& object) {
  return collect(object);
}

HashList collect_referenced_hashes(const CompleteTypeObject& object) {
  return collect(object);
}

bool TypeRegistry::add(const TypeIdentifier& id, TypeObject object) {
  if (auto* form = std::get_if<MinimalTypeObject>(&object.value)) {
    const auto* hash = std::get_if<TypeIdentifier::EquivalenceHashMinimal>(&id.value);
    if (hash == nullptr) return false;
    minimal.emplace(hash->hash, std::move(*form));
    return true;
  }
  const auto* hash = std::get_if<TypeIdentifier::EquivalenceHashComplete>(&id.value);
  if (hash == nullptr) return false;
  complete.emplace(hash->hash, std::get<CompleteTypeObject>(std::move(object.value)));
  return true;
}

const MinimalTypeObject* TypeRegistry::get_minimal(const EquivalenceHash& hash) const {
  auto it = minimal.find(hash);
  return it != minimal.end() ? &it->second : nullptr;
}

std::vector<EquivalenceHash> TypeRegistry::dependencies_of(const EquivalenceHash& hash) const {
  HashList found;
  if (auto m = minimal.find(hash); m != minimal.end()) {
    found = collect_referenced_hashes(m->second);
  } else if (auto c = complete.find(hash); c != complete.end()) {
    found = collect_referenced_hashes(c->second);
  }
  return found ? std::move(*found) : std::vector<EquivalenceHash>{};
}

std::vector<EquivalenceHash> TypeRegistry::transitive_dependencies(const EquivalenceHash& root,
                                                                   std::size_t limit) const {
  std::vector<EquivalenceHash> stack = dependencies_of(root);
  std::set<EquivalenceHash> visited;
  std::vector<EquivalenceHash> result;
  while (!stack.empty()) {
    const EquivalenceHash hash = stack.back();
    stack.pop_back();
    if (!visited.insert(hash).second) continue;
    if (result.size() >= limit) break;
    result.push_back(hash);
    for (const auto& dependency : dependencies_of(hash))
      if (!visited.contains(dependency)) stack.push_back(dependency);
  }
  return result;
}

std::expected<TypeIdentifier, ResolveError> resolve_alias_chain(const TypeIdentifier& id,
                                                                const TypeRegistry& registry,
                                                                std::size_t step_limit) {
  if (step_limit == 0) return std::unexpected(ResolveError::LimitReached);
  TypeIdentifier current = id;
  std::set<EquivalenceHash> visited;
  for (std::size_t hops = 0;;) {
    const TypeIdentifier* next = nullptr;
    if (const auto* m = std::get_if<TypeIdentifier::EquivalenceHashMinimal>(&current.value)) {
      if (!visited.insert(m->hash).second) return std::unexpected(ResolveError::Cycle);
      auto it = registry.minimal.find(m->hash);
      if (it == registry.minimal.end()) return std::unexpected(ResolveError::UnknownHash);
      next = alias_target<MinimalAliasType>(it->second);
    } else if (const auto* c =
                   std::get_if<TypeIdentifier::EquivalenceHashComplete>(&current.value)) {
      if (!visited.insert(c->hash).second) return std::unexpected(ResolveError::Cycle);
      auto it = registry.complete.find(c->hash);
      if (it == registry.complete.end()) return std::unexpected(ResolveError::UnknownHash);
      next = alias_target<CompleteAliasType>(it->second);
    }
    if (next == nullptr) return current;
    current = *next;
    if (++hops > step_limit) return std::unexpected(ResolveError::LimitReached);
  }
}

}  // namespace nimbrel::types
