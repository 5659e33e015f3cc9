#include "types/sample_json.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "types/detail/json_text.hpp"
#include "types/detail/sample_scalars.hpp"
#include "types/detail/type_text.hpp"
#include "types/detail/xcdr_cursor.hpp"

namespace nimbrel::types {
namespace {

using detail::appendable_flag;
using detail::default_case_flag;
using Kind = SampleJsonError::Kind;
using Result = detail::SampleResult;
using detail::PathScope;
using TI = TypeIdentifier;

constexpr std::size_t header_size = 4;
enum class Extensibility : std::uint8_t { Final, Appendable, Mutable };

// Types without a flag take the default extensibility, appendable.
Extensibility extensibility_of(std::uint16_t flags) {
  if (flags & final_flag) return Extensibility::Final;
  if (flags & mutable_flag) return Extensibility::Mutable;
  return Extensibility::Appendable;
}

std::string encapsulation_text(std::span<const std::byte> sample) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x%02x", static_cast<unsigned>(sample[0]),
                static_cast<unsigned>(sample[1]));
  return text;
}

class Decoder {
 public:
  Decoder(const TypeRegistry& registry, detail::XcdrCursor in, const SampleJsonLimits& limits)
      : registry_(registry), in_(std::move(in)), limits_(limits) {}

  std::expected<std::string, SampleJsonError> run(const TypeIdentifier& top) {
    if (auto ok = value(top, 0); !ok) return std::unexpected(ok.error());
    if (out_.size() > limits_.max_output) return std::unexpected(output_limit());
    return std::move(out_);
  }

 private:
  SampleJsonError output_limit() const {
    return in_
        .fail(Kind::Limit, "JSON longer than " + std::to_string(limits_.max_output) + " bytes")
        .error();
  }

  // ---- Types ----------------------------------------------------------------------------------

  std::expected<const CompleteTypeObject*, SampleJsonError> complete(
      const EquivalenceHash& hash) const {
    if (auto it = registry_.complete.find(hash); it != registry_.complete.end()) return &it->second;
    if (registry_.minimal.contains(hash))
      return in_.fail(Kind::UnknownType,
                      "only the minimal type, without names, for hash " + detail::hash_hex(hash));
    return in_.fail(Kind::UnknownType, "no complete type for hash " + detail::hash_hex(hash));
  }

  // What an identifier stands for once aliases are followed; null when that is not known.
  const TypeIdentifier* unaliased(const TypeIdentifier& id) const {
    const TypeIdentifier* at = &id;
    for (unsigned hops = 0; hops <= limits_.max_depth; ++hops) {
      const auto* hash = std::get_if<TI::EquivalenceHashComplete>(&at->value);
      if (hash == nullptr) return at;
      auto it = registry_.complete.find(hash->hash);
      if (it == registry_.complete.end()) return at;
      const auto* alias = std::get_if<CompleteAliasType>(&it->second.value);
      if (alias == nullptr) return at;
      at = &alias->related_type;
    }
    return nullptr;
  }

  const CompleteTypeObject* object_of(const TypeIdentifier* id) const {
    if (id == nullptr) return nullptr;
    const auto* hash = std::get_if<TI::EquivalenceHashComplete>(&id->value);
    if (hash == nullptr) return nullptr;
    auto it = registry_.complete.find(hash->hash);
    return it == registry_.complete.end() ? nullptr : &it->second;
  }

  // The fewest bytes one element can take, at least 1, so a count can be checked against the
  // bytes left by division before anything is read.
  std::size_t min_size(const TypeIdentifier& id) const {
    const TypeIdentifier* at = unaliased(id);
    if (at == nullptr) return 1;
    if (const auto* p = std::get_if<TI::Primitive>(&at->value))
      return detail::primitive_size(p->kind);
    if (is_string(*at)) return 4;
    const CompleteTypeObject* object = object_of(at);
    if (object == nullptr) return 1;
    if (const auto* e = std::get_if<CompleteEnumeratedType>(&object->value))
      return detail::holder_size(e->bit_bound);
    if (const auto* b = std::get_if<CompleteBitmaskType>(&object->value))
      return detail::holder_size(b->bit_bound);
    return 1;
  }

  // XCDR2 puts a DHEADER before collections of anything but primitives: enums and bitmasks
  // get one too (as Cyclone DDS writes them).
  bool needs_dheader(const TypeIdentifier& id) const {
    const TypeIdentifier* at = unaliased(id);
    return at == nullptr || !std::holds_alternative<TI::Primitive>(at->value);
  }

  bool is_string(const TypeIdentifier& id) const {
    const TypeIdentifier* at = unaliased(id);
    return at != nullptr && (std::holds_alternative<TI::String8Small>(at->value) ||
                             std::holds_alternative<TI::String8Large>(at->value) ||
                             std::holds_alternative<TI::String16Small>(at->value) ||
                             std::holds_alternative<TI::String16Large>(at->value));
  }

  // ---- Values ---------------------------------------------------------------------------------

  Result value(const TypeIdentifier& id, unsigned depth) {
    if (depth > limits_.max_depth)
      return in_.fail(Kind::Limit, "nested deeper than " + std::to_string(limits_.max_depth));
    if (out_.size() > limits_.max_output) return std::unexpected(output_limit());
    return std::visit(
        [&](const auto& v) -> Result {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, TI::Primitive>) {
            return detail::read_primitive(in_, out_, v.kind);
          } else if constexpr (std::is_same_v<V, TI::String8Small> ||
                               std::is_same_v<V, TI::String8Large>) {
            return detail::read_string8(in_, out_, v.bound);
          } else if constexpr (std::is_same_v<V, TI::String16Small> ||
                               std::is_same_v<V, TI::String16Large>) {
            return detail::read_string16(in_, out_, v.bound);
          } else if constexpr (std::is_same_v<V, TI::PlainSequenceSmall> ||
                               std::is_same_v<V, TI::PlainSequenceLarge>) {
            return sequence(*v.element, v.bound, depth);
          } else if constexpr (std::is_same_v<V, TI::PlainArraySmall> ||
                               std::is_same_v<V, TI::PlainArrayLarge>) {
            return array(*v.element, std::vector<std::uint32_t>(v.bounds.begin(), v.bounds.end()),
                         depth);
          } else if constexpr (std::is_same_v<V, TI::PlainMapSmall> ||
                               std::is_same_v<V, TI::PlainMapLarge>) {
            return map(*v.key, *v.element, v.bound, depth);
          } else if constexpr (std::is_same_v<V, TI::EquivalenceHashComplete>) {
            auto object = complete(v.hash);
            if (!object) return std::unexpected(object.error());
            return complete_value(**object, depth);
          } else if constexpr (std::is_same_v<V, TI::EquivalenceHashMinimal>) {
            return in_.fail(Kind::UnknownType, "only the minimal type, without names, for hash " +
                                                   detail::hash_hex(v.hash));
          } else {
            return in_.fail(Kind::Unsupported,
                            "type identifier kind " + std::to_string(id.discriminator()));
          }
        },
        id.value);
  }

  Result complete_value(const CompleteTypeObject& object, unsigned depth) {
    return std::visit(
        [&](const auto& t) -> Result {
          using T = std::decay_t<decltype(t)>;
          if constexpr (std::is_same_v<T, CompleteAliasType>) {
            return value(t.related_type, depth + 1);
          } else if constexpr (std::is_same_v<T, CompleteStructType>) {
            return structure(t, depth);
          } else if constexpr (std::is_same_v<T, CompleteUnionType>) {
            return union_value(t, depth);
          } else if constexpr (std::is_same_v<T, CompleteBitsetType>) {
            return detail::read_bitset(in_, out_, t);
          } else if constexpr (std::is_same_v<T, CompleteSequenceType>) {
            return sequence(t.element.type_id, t.bound, depth);
          } else if constexpr (std::is_same_v<T, CompleteArrayType>) {
            return array(t.element.type_id, t.bounds, depth);
          } else if constexpr (std::is_same_v<T, CompleteMapType>) {
            return map(t.key.type_id, t.element.type_id, t.bound, depth);
          } else if constexpr (std::is_same_v<T, CompleteEnumeratedType>) {
            return detail::read_enum(in_, out_, t);
          } else if constexpr (std::is_same_v<T, CompleteBitmaskType>) {
            return detail::read_bitmask(in_, out_, t);
          } else {
            return in_.fail(Kind::Unsupported, "an annotation type as data");
          }
        },
        object.value);
  }

  Result count_fits(std::uint64_t count, std::size_t element_size, std::uint32_t bound) {
    if (bound != 0 && count > bound)
      return in_.fail(Kind::Malformed,
                      std::to_string(count) + " elements past the bound " + std::to_string(bound));
    if (count > in_.left() / std::max<std::size_t>(element_size, 1))
      return in_.fail(Kind::Truncated, std::to_string(count) + " elements past the end");
    return {};
  }

  Result sequence(const TypeIdentifier& element, std::uint32_t bound, unsigned depth) {
    return in_.maybe_delimited(needs_dheader(element), [&]() -> Result {
      auto count = in_.read_u32();
      if (!count) return std::unexpected(count.error());
      if (auto ok = count_fits(*count, min_size(element), bound); !ok) return ok;
      out_ += '[';
      for (std::uint32_t i = 0; i < *count; ++i) {
        if (i) out_ += ',';
        PathScope scope(in_.path(), i);
        if (auto ok = value(element, depth + 1); !ok) return ok;
      }
      out_ += ']';
      return {};
    });
  }

  Result array(const TypeIdentifier& element, const std::vector<std::uint32_t>& bounds,
               unsigned depth) {
    return in_.maybe_delimited(needs_dheader(element), [&]() -> Result {
      std::uint64_t total = 1;
      for (auto b : bounds) {
        if (b == 0 || total > in_.left())
          return in_.fail(Kind::Malformed, "array bound 0 or too large");
        total *= b;
      }
      if (bounds.empty()) return in_.fail(Kind::Malformed, "array without dimensions");
      // Each dimension is a level of recursion too.
      if (depth + bounds.size() > limits_.max_depth)
        return in_.fail(Kind::Limit, "nested deeper than " + std::to_string(limits_.max_depth));
      if (auto ok = count_fits(total, min_size(element), 0); !ok) return ok;
      return dimension(element, bounds, 0, depth);
    });
  }

  Result dimension(const TypeIdentifier& element, const std::vector<std::uint32_t>& bounds,
                   std::size_t d, unsigned depth) {
    out_ += '[';
    for (std::uint32_t i = 0; i < bounds[d]; ++i) {
      if (i) out_ += ',';
      PathScope scope(in_.path(), i);
      auto ok = d + 1 == bounds.size() ? value(element, depth + 1)
                                       : dimension(element, bounds, d + 1, depth);
      if (!ok) return ok;
    }
    out_ += ']';
    return {};
  }

  Result map(const TypeIdentifier& key, const TypeIdentifier& element, std::uint32_t bound,
             unsigned depth) {
    const bool by_name = is_string(key);
    return in_.maybe_delimited(needs_dheader(key) || needs_dheader(element), [&]() -> Result {
      auto count = in_.read_u32();
      if (!count) return std::unexpected(count.error());
      if (auto ok = count_fits(*count, min_size(key) + min_size(element), bound); !ok) return ok;
      out_ += by_name ? '{' : '[';
      for (std::uint32_t i = 0; i < *count; ++i) {
        if (i) out_ += ',';
        PathScope scope(in_.path(), i);
        if (!by_name) out_ += "{\"key\":";
        if (auto ok = value(key, depth + 1); !ok) return ok;
        out_ += by_name ? ":" : ",\"value\":";
        if (auto ok = value(element, depth + 1); !ok) return ok;
        if (!by_name) out_ += '}';
      }
      out_ += by_name ? '}' : ']';
      return {};
    });
  }

  // ---- Structs and unions ---------------------------------------------------------------------

  // Base members first, as they are serialized.
  Result flatten(const CompleteStructType& t, std::vector<const CompleteStructMember*>& members,
                 unsigned depth) {
    if (!std::holds_alternative<TI::None>(t.base_type.value)) {
      if (depth > limits_.max_depth) return in_.fail(Kind::Limit, "inheritance too deep");
      const CompleteTypeObject* base = object_of(unaliased(t.base_type));
      const auto* s = base != nullptr ? std::get_if<CompleteStructType>(&base->value) : nullptr;
      if (s == nullptr) {
        if (const auto* h = std::get_if<TI::EquivalenceHashComplete>(&t.base_type.value);
            h != nullptr && base == nullptr) {
          auto missing = complete(h->hash);
          if (!missing) return std::unexpected(missing.error());
        }
        return in_.fail(Kind::Unsupported, "a base type that is not a struct");
      }
      if (auto ok = flatten(*s, members, depth + 1); !ok) return ok;
    }
    for (const auto& m : t.members)
      members.push_back(&m);
    return {};
  }

  void key(const std::string& name) {
    detail::append_json_string(out_, name);
    out_ += ':';
  }

  Result structure(const CompleteStructType& t, unsigned depth) {
    std::vector<const CompleteStructMember*> members;
    if (auto ok = flatten(t, members, depth); !ok) return ok;
    const auto extensibility = extensibility_of(t.struct_flags);
    if (extensibility == Extensibility::Mutable) return mutable_structure(members, depth);
    const bool delimited = extensibility == Extensibility::Appendable;
    return in_.maybe_delimited(delimited, [&]() -> Result {
      out_ += '{';
      for (std::size_t i = 0; i < members.size(); ++i) {
        // A writer of an older, shorter version of the type ends early.
        if (in_.xcdr2() && delimited && in_.left() == 0) break;
        const auto& m = *members[i];
        if (i) out_ += ',';
        key(m.detail.name);
        PathScope scope(in_.path(), m.detail.name);
        auto ok = (m.member_flags & optional_member_flag) ? optional(m.member_type, depth)
                                                          : value(m.member_type, depth + 1);
        if (!ok) return ok;
      }
      out_ += '}';
      return {};
    });
  }

  // XCDR2: a presence byte. XCDR1: a parameter header whose length 0 means absent.
  Result optional(const TypeIdentifier& type, unsigned depth) {
    if (in_.xcdr2()) {
      auto flag = in_.read_uint(1);
      if (!flag) return std::unexpected(flag.error());
      if (*flag > 1) {
        in_.unread(1);
        return in_.fail(Kind::Malformed, "presence flag " + std::to_string(*flag));
      }
      if (*flag == 0) {
        out_ += "null";
        return {};
      }
      return value(type, depth + 1);
    }
    auto header = in_.parameter_header();
    if (!header) return std::unexpected(header.error());
    if (header->length == 0) {
      out_ += "null";
      return {};
    }
    return in_.within(header->length, /*new_origin=*/true, [&] { return value(type, depth + 1); });
  }

  // Members arrive in any order; each is written as it comes, then the object is put in the
  // declared order, absent members as null.
  Result mutable_structure(const std::vector<const CompleteStructMember*>& members,
                           unsigned depth) {
    const std::size_t start = out_.size();
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::vector<std::pair<std::size_t, std::size_t>> spans(members.size(), {none, none});
    auto ok = in_.each_member([&](std::uint32_t id) -> std::expected<bool, SampleJsonError> {
      const auto it = std::find_if(members.begin(), members.end(),
                                   [&](const auto* m) { return m->member_id == id; });
      if (it == members.end()) return false;
      auto& span = spans[static_cast<std::size_t>(it - members.begin())];
      PathScope scope(in_.path(), (*it)->detail.name);
      if (span.first != none) return in_.fail(Kind::Malformed, "member repeated");
      span.first = out_.size();
      if (auto decoded = value((*it)->member_type, depth + 1); !decoded)
        return std::unexpected(decoded.error());
      span.second = out_.size();
      return true;
    });
    if (!ok) return ok;
    const std::string parts = out_.substr(start);
    out_.resize(start);
    out_ += '{';
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i) out_ += ',';
      key(members[i]->detail.name);
      if (spans[i].first == none)
        out_ += "null";
      else
        out_.append(parts, spans[i].first - start, spans[i].second - spans[i].first);
    }
    out_ += '}';
    return {};
  }

  Result discriminator(const TypeIdentifier& type, std::int64_t& v) {
    PathScope scope(in_.path(), std::string("discriminator"));
    const TypeIdentifier* at = unaliased(type);
    if (const auto* p = at != nullptr ? std::get_if<TI::Primitive>(&at->value) : nullptr) {
      const auto kind = p->kind;
      if (kind == PrimitiveKind::Float32 || kind == PrimitiveKind::Float64 ||
          kind == PrimitiveKind::Float128)
        return in_.fail(Kind::Unsupported, "a floating-point discriminator");
      return detail::read_primitive(in_, out_, kind, &v);
    }
    const CompleteTypeObject* object = object_of(at);
    if (const auto* e = object ? std::get_if<CompleteEnumeratedType>(&object->value) : nullptr)
      return detail::read_enum(in_, out_, *e, &v);
    if (const auto* h = at ? std::get_if<TI::EquivalenceHashComplete>(&at->value) : nullptr;
        h != nullptr && object == nullptr) {
      auto missing = complete(h->hash);
      if (!missing) return std::unexpected(missing.error());
    }
    return in_.fail(Kind::Unsupported, "a discriminator of this kind");
  }

  static const CompleteUnionMember* selected(const CompleteUnionType& t, std::int64_t v) {
    const CompleteUnionMember* fallback = nullptr;
    for (const auto& m : t.members) {
      for (auto label : m.common.label_seq.values)
        if (label == v) return &m;
      if (m.common.member_flags & default_case_flag) fallback = &m;
    }
    return fallback;
  }

  Result union_value(const CompleteUnionType& t, unsigned depth) {
    const auto extensibility = extensibility_of(t.union_flags);
    if (extensibility == Extensibility::Mutable) return mutable_union(t, depth);
    return in_.maybe_delimited(extensibility == Extensibility::Appendable, [&]() -> Result {
      out_ += "{\"discriminator\":";
      std::int64_t d = 0;
      if (auto ok = discriminator(t.discriminator.type_id, d); !ok) return ok;
      if (const auto* m = selected(t, d)) {
        out_ += ',';
        key(m->detail.name);
        PathScope scope(in_.path(), m->detail.name);
        if (auto ok = value(m->common.type_id, depth + 1); !ok) return ok;
      }
      out_ += '}';
      return {};
    });
  }

  // The discriminator is member 0; the selected member comes after it.
  Result mutable_union(const CompleteUnionType& t, unsigned depth) {
    out_ += "{\"discriminator\":";
    bool seen = false;
    const CompleteUnionMember* member = nullptr;
    bool member_done = false;
    auto ok = in_.each_member([&](std::uint32_t id) -> std::expected<bool, SampleJsonError> {
      if (id == 0 && !seen) {
        std::int64_t d = 0;
        if (auto read = discriminator(t.discriminator.type_id, d); !read)
          return std::unexpected(read.error());
        seen = true;
        member = selected(t, d);
        return true;
      }
      if (member == nullptr || member_done || member->common.member_id != id) return false;
      out_ += ',';
      key(member->detail.name);
      PathScope scope(in_.path(), member->detail.name);
      if (auto read = value(member->common.type_id, depth + 1); !read)
        return std::unexpected(read.error());
      member_done = true;
      return true;
    });
    if (!ok) return ok;
    if (!seen) return in_.fail(Kind::Malformed, "union without its discriminator");
    out_ += '}';
    return {};
  }

  const TypeRegistry& registry_;
  detail::XcdrCursor in_;
  SampleJsonLimits limits_;
  std::string out_{};
};

}  // namespace

std::string to_string(const SampleJsonError& error) {
  std::string out = error.detail + " at offset " + std::to_string(error.offset);
  if (!error.path.empty()) out += " in " + error.path;
  return out;
}

std::expected<std::string, SampleJsonError> decode_sample_json(const TypeIdentifier& top,
                                                               const TypeRegistry& registry,
                                                               std::span<const std::byte> sample,
                                                               const SampleJsonLimits& limits) {
  if (sample.size() < header_size)
    return std::unexpected(SampleJsonError{Kind::Truncated, 0, {}, "truncated"});
  const auto kind = static_cast<unsigned>(sample[1]);
  // 0-3: CDR and PL_CDR; 6-11: CDR2, D_CDR2 and PL_CDR2. Each type's own extensibility says
  // which headers its members carry, so only the version and the byte order matter here.
  if (sample[0] != std::byte{0} || kind > 0x0b || (kind > 3 && kind < 6))
    return std::unexpected(
        SampleJsonError{Kind::Unsupported, 0, {}, "encapsulation " + encapsulation_text(sample)});
  const std::size_t padding = static_cast<std::size_t>(sample[3]) & 3;
  if (padding > sample.size() - header_size)
    return std::unexpected(
        SampleJsonError{Kind::Malformed, 3, {}, "more padding than the sample holds"});
  const auto body = sample.subspan(header_size, sample.size() - header_size - padding);
  return Decoder(registry, detail::XcdrCursor(body, header_size, (kind & 1) != 0, kind >= 6),
                 limits)
      .run(top);
}

}  // namespace nimbrel::types
