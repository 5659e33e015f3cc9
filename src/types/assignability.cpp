#include "types/assignability.hpp"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

namespace nimbrel::types {
namespace {

using TI = TypeIdentifier;
using P = PrimitiveKind;

std::unexpected<AssignabilityFailure> fail(const char* message, bool unresolved = false) {
  return std::unexpected(AssignabilityFailure{message, unresolved});
}

// Keeps the first failure that settles the question; one that only could not be resolved is
// held while the remaining parts are checked, since a later part may still be found unfit.
class Verdict {
 public:
  // True when checking can stop.
  bool add(const AssignabilityResult& part) {
    if (part) return false;
    if (!part.error().unresolved) {
      settled_ = part.error();
      return true;
    }
    if (!unresolved_) unresolved_ = part.error();
    return false;
  }
  AssignabilityResult result() const {
    if (settled_) return std::unexpected(*settled_);
    if (unresolved_) return std::unexpected(*unresolved_);
    return {};
  }

 private:
  std::optional<AssignabilityFailure> settled_;
  std::optional<AssignabilityFailure> unresolved_;
};

bool widens(P writer, P reader) {
  auto any_of = [reader](std::initializer_list<P> kinds) {
    return std::ranges::find(kinds, reader) != kinds.end();
  };
  switch (writer) {
    case P::Byte:
    case P::UInt8:
      return any_of({P::Int16, P::Int32, P::Int64, P::UInt16, P::UInt32, P::UInt64});
    case P::Int8:
      return any_of({P::Int16, P::Int32, P::Int64});
    case P::Int16:
      return any_of({P::Int32, P::Int64});
    case P::UInt16:
      return any_of({P::Int32, P::Int64, P::UInt32, P::UInt64});
    case P::Int32:
      return any_of({P::Int64});
    case P::UInt32:
      return any_of({P::Int64, P::UInt64});
    case P::Float32:
      return any_of({P::Float64});
    default:
      return false;
  }
}

// Small and large forms of one kind, with the bound widened to 32 bits.
template <typename Small, typename Large>
std::optional<std::uint32_t> bound_of(const TI& id) {
  if (const auto* s = std::get_if<Small>(&id.value)) return s->bound;
  if (const auto* l = std::get_if<Large>(&id.value)) return l->bound;
  return std::nullopt;
}

struct Collection {
  std::vector<std::uint32_t> bounds;  // one for sequences and maps, one per dimension for arrays
  const TI* element = nullptr;
  const TI* key = nullptr;  // maps only
};

template <typename Small, typename Large>
std::optional<Collection> collection_of(const TI& id) {
  Collection out;
  if (const auto* s = std::get_if<Small>(&id.value)) {
    out.element = &*s->element;
    if constexpr (requires { s->bounds; }) {
      out.bounds.assign(s->bounds.begin(), s->bounds.end());
    } else {
      out.bounds = {s->bound};
    }
    if constexpr (requires { s->key; }) out.key = &*s->key;
    return out;
  }
  if (const auto* l = std::get_if<Large>(&id.value)) {
    out.element = &*l->element;
    if constexpr (requires { l->bounds; }) {
      out.bounds = l->bounds;
    } else {
      out.bounds = {l->bound};
    }
    if constexpr (requires { l->key; }) out.key = &*l->key;
    return out;
  }
  return std::nullopt;
}

enum class Extensibility { Final, Appendable, Mutable };

Extensibility extensibility_of(std::uint16_t struct_flags) {
  if (struct_flags & final_flag) return Extensibility::Final;
  if (struct_flags & mutable_flag) return Extensibility::Mutable;
  return Extensibility::Appendable;
}

class Checker {
 public:
  Checker(const TypeRegistry& registry, const AssignabilityOptions& options)
      : registry_(registry), options_(options) {}

  AssignabilityResult identifiers(const TI& writer, const TI& reader) {
    if (writer == reader) return {};
    // Recursive types, or a peer's deeply nested ones, must not exhaust the stack.
    if (depth_ >= assignability_depth_limit) return fail("type nesting too deep");
    ++depth_;
    auto result = resolve_and_compare(writer, reader);
    --depth_;
    return result;
  }

  AssignabilityResult objects(const MinimalTypeObject& w, const MinimalTypeObject& r) {
    if (const auto* we = std::get_if<MinimalEnumeratedType>(&w.value)) {
      const auto* re = std::get_if<MinimalEnumeratedType>(&r.value);
      if (re == nullptr) return fail("type kinds do not match");
      return enums(*we, *re);
    }
    if (const auto* ws = std::get_if<MinimalStructType>(&w.value)) {
      const auto* rs = std::get_if<MinimalStructType>(&r.value);
      if (rs == nullptr) return fail("type kinds do not match");
      return structs(*ws, *rs);
    }
    return fail("type kinds do not match");
  }

 private:
  AssignabilityResult resolve_and_compare(const TI& writer, const TI& reader) {
    const std::size_t limit = options_.alias_step_limit;
    auto w = resolve_alias_chain(writer, registry_, limit);
    if (!w) return fail("writer alias resolution failed", w.error() == ResolveError::UnknownHash);
    auto r = resolve_alias_chain(reader, registry_, limit);
    if (!r) return fail("reader alias resolution failed", r.error() == ResolveError::UnknownHash);
    if (*w == *r) return {};
    return resolved(*w, *r);
  }

  AssignabilityResult resolved(const TI& w, const TI& r) {
    if (const auto* wp = std::get_if<TI::Primitive>(&w.value)) {
      const auto* rp = std::get_if<TI::Primitive>(&r.value);
      if (rp == nullptr) return fail("kinds do not match");
      return primitives(wp->kind, rp->kind);
    }
    if (auto wb = bound_of<TI::String8Small, TI::String8Large>(w)) {
      auto rb = bound_of<TI::String8Small, TI::String8Large>(r);
      if (!rb) return fail("kinds do not match");
      if (bound_exceeds(*wb, *rb, options_.ignore_string_bounds))
        return fail("writer string8 bound exceeds reader bound");
      return {};
    }
    if (auto wb = bound_of<TI::String16Small, TI::String16Large>(w)) {
      auto rb = bound_of<TI::String16Small, TI::String16Large>(r);
      if (!rb) return fail("kinds do not match");
      if (bound_exceeds(*wb, *rb, options_.ignore_string_bounds))
        return fail("writer string16 bound exceeds reader bound");
      return {};
    }
    if (auto ws = collection_of<TI::PlainSequenceSmall, TI::PlainSequenceLarge>(w)) {
      auto rs = collection_of<TI::PlainSequenceSmall, TI::PlainSequenceLarge>(r);
      if (!rs) return fail("kinds do not match");
      if (bound_exceeds(ws->bounds[0], rs->bounds[0], options_.ignore_sequence_bounds))
        return fail("writer sequence bound exceeds reader bound");
      return identifiers(*ws->element, *rs->element);
    }
    if (auto wa = collection_of<TI::PlainArraySmall, TI::PlainArrayLarge>(w)) {
      auto ra = collection_of<TI::PlainArraySmall, TI::PlainArrayLarge>(r);
      if (!ra) return fail("kinds do not match");
      if (wa->bounds != ra->bounds) return fail("array bounds differ");
      return identifiers(*wa->element, *ra->element);
    }
    if (auto wm = collection_of<TI::PlainMapSmall, TI::PlainMapLarge>(w)) {
      auto rm = collection_of<TI::PlainMapSmall, TI::PlainMapLarge>(r);
      if (!rm) return fail("kinds do not match");
      if (bound_exceeds(wm->bounds[0], rm->bounds[0], options_.ignore_sequence_bounds))
        return fail("writer map bound exceeds reader bound");
      Verdict verdict;
      if (!verdict.add(identifiers(*wm->key, *rm->key)))
        verdict.add(identifiers(*wm->element, *rm->element));
      return verdict.result();
    }
    if (const auto* wh = std::get_if<TI::EquivalenceHashMinimal>(&w.value)) {
      const auto* rh = std::get_if<TI::EquivalenceHashMinimal>(&r.value);
      if (rh == nullptr) return fail("kinds do not match");
      return hashes(wh->hash, rh->hash);
    }
    return fail("kinds do not match");
  }

  // A bound of 0 is unbounded.
  static bool bound_exceeds(std::uint32_t writer, std::uint32_t reader, bool ignored) {
    return writer > reader && reader != 0 && !ignored;
  }

  AssignabilityResult primitives(P w, P r) const {
    if (w == r) return {};
    if (!options_.allow_type_coercion) return fail("primitive kinds differ (no coercion allowed)");
    if (!widens(w, r)) return fail("primitive coercion not widening-safe");
    return {};
  }

  AssignabilityResult hashes(const EquivalenceHash& w, const EquivalenceHash& r) {
    if (w == r) return {};
    const std::pair key{w, r};
    if (proven_.contains(key)) return {};
    // A pair met again inside its own comparison: the types refer to each other.
    if (!in_progress_.insert(key).second) return fail("recursive type reference");
    const auto* wo = registry_.get_minimal(w);
    const auto* ro = registry_.get_minimal(r);
    auto result = wo != nullptr && ro != nullptr ? objects(*wo, *ro)
                  : wo == nullptr                ? fail("writer alias resolution failed", true)
                                                 : fail("reader alias resolution failed", true);
    in_progress_.erase(key);
    // Successes are kept, so types shared by many members are compared once.
    if (result) proven_.insert(key);
    return result;
  }

  AssignabilityResult enums(const MinimalEnumeratedType& w, const MinimalEnumeratedType& r) const {
    if (w.bit_bound != r.bit_bound) return fail("enum bit_bound mismatch");
    if (w.literals.empty()) return {};
    const bool by_value_only = options_.ignore_enum_literal_names ||
                               (w.enum_flags & final_flag) != 0 || (r.enum_flags & final_flag) != 0;
    for (const auto& literal : w.literals) {
      const bool known = std::ranges::any_of(r.literals, [&](const auto& candidate) {
        return candidate.value == literal.value &&
               (by_value_only || candidate.name_hash == literal.name_hash);
      });
      if (!known) return fail("enum writer literal unknown in reader");
    }
    return {};
  }

  bool names_differ(const MinimalStructMember& w, const MinimalStructMember& r) const {
    return !options_.ignore_member_names && w.name_hash != r.name_hash;
  }

  // Members paired by position: all of them (final) or the reader's (appendable).
  AssignabilityResult positional(std::span<const MinimalStructMember> w,
                                 std::span<const MinimalStructMember> r, const char* name_differs) {
    Verdict verdict;
    for (std::size_t i = 0; i < r.size(); ++i) {
      if (names_differ(w[i], r[i])) return fail(name_differs);
      if (verdict.add(identifiers(w[i].member_type, r[i].member_type))) break;
    }
    return verdict.result();
  }

  AssignabilityResult structs(const MinimalStructType& w, const MinimalStructType& r) {
    const Extensibility kind = extensibility_of(w.struct_flags);
    if (kind != extensibility_of(r.struct_flags)) return fail("extensibility mismatch");
    switch (kind) {
      case Extensibility::Final:
        if (w.members.size() != r.members.size()) return fail("final struct member count mismatch");
        return positional(w.members, r.members, "final struct member name-hash differs");
      case Extensibility::Appendable:
        if (w.members.size() < r.members.size())
          return fail("appendable: writer has fewer members than reader");
        return positional(w.members, r.members, "appendable: member name-hash differs");
      case Extensibility::Mutable:
        break;
    }
    Verdict verdict;
    for (const auto& member : r.members) {
      const auto found =
          std::ranges::find(w.members, member.member_id, &MinimalStructMember::member_id);
      if (found == w.members.end()) {
        if (member.member_flags & optional_member_flag) continue;
        return fail("mutable: reader member missing in writer");
      }
      if (names_differ(*found, member))
        return fail("mutable: member name-hash differs despite id match");
      if (verdict.add(identifiers(found->member_type, member.member_type))) break;
    }
    return verdict.result();
  }

  const TypeRegistry& registry_;
  const AssignabilityOptions& options_;
  std::size_t depth_ = 0;
  std::set<std::pair<EquivalenceHash, EquivalenceHash>> in_progress_;
  std::set<std::pair<EquivalenceHash, EquivalenceHash>> proven_;
};

}  // namespace

AssignabilityResult is_assignable(const TypeIdentifier& writer, const TypeIdentifier& reader,
                                  const TypeRegistry& registry,
                                  const AssignabilityOptions& options) {
  return Checker(registry, options).identifiers(writer, reader);
}

AssignabilityResult check_minimal_types(const MinimalTypeObject& writer,
                                        const MinimalTypeObject& reader,
                                        const TypeRegistry& registry,
                                        const AssignabilityOptions& options) {
  return Checker(registry, options).objects(writer, reader);
}

}  // namespace nimbrel::types
