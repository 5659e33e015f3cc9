#include "types/idl_text.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "types/detail/type_text.hpp"

namespace nimbrel::types {
namespace {

using detail::appendable_flag;
using detail::default_case_flag;
constexpr std::uint16_t autoid_hash_flag = 0x0010;
constexpr std::uint16_t key_member_flag = 0x0020;
// Anonymous collections inside collections, and aliases of aliases, nest at most this deep.
constexpr unsigned spelling_depth_limit = 32;
// Named types that wait for their dependencies at once; bounds the stack a peer's chain costs.
constexpr unsigned definition_depth_limit = 256;

using Unexpected = std::unexpected<IdlTextError>;

Unexpected unwritable(std::string what) {
  return Unexpected{IdlTextError{IdlTextError::Kind::Unwritable, std::move(what)}};
}

const char* primitive_name(PrimitiveKind kind) {
  switch (kind) {
    case PrimitiveKind::Boolean:
      return "boolean";
    case PrimitiveKind::Byte:
      return "octet";
    case PrimitiveKind::Int8:
      return "int8";
    case PrimitiveKind::Int16:
      return "short";
    case PrimitiveKind::Int32:
      return "long";
    case PrimitiveKind::Int64:
      return "long long";
    case PrimitiveKind::UInt8:
      return "uint8";
    case PrimitiveKind::UInt16:
      return "unsigned short";
    case PrimitiveKind::UInt32:
      return "unsigned long";
    case PrimitiveKind::UInt64:
      return "unsigned long long";
    case PrimitiveKind::Float32:
      return "float";
    case PrimitiveKind::Float64:
      return "double";
    case PrimitiveKind::Float128:
      return "long double";
    case PrimitiveKind::Char8:
      return "char";
    case PrimitiveKind::Char16:
      return "wchar";
  }
  return "?";
}

bool is_identifier(const std::string& s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  for (char c : s)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  return true;
}

// IDL keywords, which collide with identifiers regardless of case; sorted for binary_search.
constexpr auto idl_keywords = std::to_array<std::string_view>({
    "abstract",   "alias",    "any",        "attribute",  "bitfield",  "bitmask",     "bitset",
    "boolean",    "case",     "char",       "component",  "connector", "const",       "consumes",
    "context",    "custom",   "default",    "double",     "emits",     "enum",        "eventtype",
    "exception",  "factory",  "false",      "finder",     "fixed",     "float",       "getraises",
    "getter",     "home",     "import",     "in",         "inout",     "int16",       "int32",
    "int64",      "int8",     "interface",  "local",      "long",      "manages",     "map",
    "mirrorport", "module",   "multiple",   "native",     "object",    "octet",       "oneway",
    "out",        "port",     "porttype",   "primarykey", "private",   "provides",    "public",
    "publishes",  "raises",   "readonly",   "sequence",   "setraises", "setter",      "short",
    "string",     "struct",   "supports",   "switch",     "true",      "truncatable", "typedef",
    "typeid",     "typename", "typeprefix", "uint16",     "uint32",    "uint64",      "uint8",
    "union",      "unsigned", "uses",       "valuebase",  "valuetype", "void",        "wchar",
    "wstring",
});

// A member or literal named like a keyword is written escaped, with a leading underscore.
std::expected<std::string, IdlTextError> checked_name(const std::string& name) {
  if (!is_identifier(name)) return unwritable("name \"" + name + "\"");
  std::string lower = name;
  for (auto& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (std::binary_search(idl_keywords.begin(), idl_keywords.end(), lower)) return "_" + name;
  return name;
}

// A peer's name goes into text that others parse: anything but plain identifiers is refused.
std::expected<std::vector<std::string>, IdlTextError> split_scoped(const std::string& name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto sep = name.find("::", start);
    auto part = checked_name(
        name.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
    if (!part) return unwritable("name \"" + name + "\"");
    parts.push_back(std::move(*part));
    if (sep == std::string::npos) return parts;
    start = sep + 2;
  }
}

std::string dims_of(const auto& bounds) {
  std::string out;
  for (auto b : bounds) {
    out += '[';
    out += std::to_string(b);
    out += ']';
  }
  return out;
}

std::string bounded(std::string type, std::uint32_t bound) {
  return bound == 0 ? type : type + "<" + std::to_string(bound) + ">";
}

struct Spelling {
  std::string type;
  std::string dims;  // array dimensions, written after the declared name
};

struct Declaration {
  std::vector<std::string> scope;
  std::string body;  // lines ending in '\n', unindented
};

class Writer {
 public:
  explicit Writer(const TypeRegistry& registry) : registry_(registry) {}

  std::expected<IdlText, IdlTextError> run(const TypeIdentifier& top) {
    const auto* hash = std::get_if<TypeIdentifier::EquivalenceHashComplete>(&top.value);
    if (hash == nullptr) {
      if (const auto* m = std::get_if<TypeIdentifier::EquivalenceHashMinimal>(&top.value))
        return minimal_only(m->hash);
      return unwritable("a top-level type that is not named by a hash");
    }
    auto object = lookup(hash->hash);
    if (!object) return Unexpected{object.error()};
    if (type_name(**object).empty()) return unwritable("an anonymous top-level type");
    auto name = spell_hashed(hash->hash, 0);
    if (!name) return Unexpected{name.error()};
    return IdlText{name->type, render()};
  }

 private:
  enum class State : std::uint8_t { Visiting, Done };

  static Unexpected minimal_only(const EquivalenceHash& hash) {
    return Unexpected{IdlTextError{IdlTextError::Kind::MinimalOnly, detail::hash_hex(hash)}};
  }

  std::expected<const CompleteTypeObject*, IdlTextError> lookup(const EquivalenceHash& hash) const {
    if (auto it = registry_.complete.find(hash); it != registry_.complete.end()) return &it->second;
    if (registry_.minimal.contains(hash)) return minimal_only(hash);
    return Unexpected{IdlTextError{IdlTextError::Kind::Missing, detail::hash_hex(hash)}};
  }

  static std::string type_name(const CompleteTypeObject& object) {
    return std::visit(
        [](const auto& v) -> std::string {
          if constexpr (requires { v.detail.type_name; }) return v.detail.type_name;
          return {};
        },
        object.value);
  }

  std::expected<Spelling, IdlTextError> spell(const TypeIdentifier& id, unsigned depth) {
    if (depth > spelling_depth_limit) return unwritable("collections nested too deep");
    using TI = TypeIdentifier;
    return std::visit(
        [&](const auto& v) -> std::expected<Spelling, IdlTextError> {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, TI::Primitive>) {
            return Spelling{primitive_name(v.kind), {}};
          } else if constexpr (std::is_same_v<V, TI::String8Small> ||
                               std::is_same_v<V, TI::String8Large>) {
            return Spelling{bounded("string", v.bound), {}};
          } else if constexpr (std::is_same_v<V, TI::String16Small> ||
                               std::is_same_v<V, TI::String16Large>) {
            return Spelling{bounded("wstring", v.bound), {}};
          } else if constexpr (std::is_same_v<V, TI::PlainSequenceSmall> ||
                               std::is_same_v<V, TI::PlainSequenceLarge>) {
            return spell_sequence(*v.element, v.bound, depth);
          } else if constexpr (std::is_same_v<V, TI::PlainArraySmall> ||
                               std::is_same_v<V, TI::PlainArrayLarge>) {
            return spell_array(*v.element, dims_of(v.bounds), depth);
          } else if constexpr (std::is_same_v<V, TI::PlainMapSmall> ||
                               std::is_same_v<V, TI::PlainMapLarge>) {
            return spell_map(*v.key, *v.element, v.bound, depth);
          } else if constexpr (std::is_same_v<V, TI::EquivalenceHashComplete>) {
            return spell_hashed(v.hash, depth);
          } else if constexpr (std::is_same_v<V, TI::EquivalenceHashMinimal>) {
            return minimal_only(v.hash);
          } else if constexpr (std::is_same_v<V, TI::StronglyConnectedComponent>) {
            return unwritable("a strongly connected component identifier");
          } else {
            return unwritable("type identifier kind " + std::to_string(id.discriminator()));
          }
        },
        id.value);
  }

  std::expected<Spelling, IdlTextError> spell_sequence(const TypeIdentifier& element,
                                                       std::uint32_t bound, unsigned depth) {
    auto e = spell_element(element, depth);
    if (!e) return Unexpected{e.error()};
    return Spelling{"sequence<" + *e + (bound ? ", " + std::to_string(bound) : "") + ">", {}};
  }

  std::expected<Spelling, IdlTextError> spell_array(const TypeIdentifier& element,
                                                    const std::string& dims, unsigned depth) {
    auto e = spell(element, depth + 1);
    if (!e) return e;
    return Spelling{e->type, dims + e->dims};
  }

  std::expected<Spelling, IdlTextError> spell_map(const TypeIdentifier& key,
                                                  const TypeIdentifier& element,
                                                  std::uint32_t bound, unsigned depth) {
    auto k = spell_element(key, depth);
    if (!k) return Unexpected{k.error()};
    auto e = spell_element(element, depth);
    if (!e) return Unexpected{e.error()};
    return Spelling{"map<" + *k + ", " + *e + (bound ? ", " + std::to_string(bound) : "") + ">",
                    {}};
  }

  std::expected<Spelling, IdlTextError> spell_hashed(const EquivalenceHash& hash, unsigned depth) {
    auto object = lookup(hash);
    if (!object) return Unexpected{object.error()};
    const auto& value = (*object)->value;
    if (const auto* s = std::get_if<CompleteSequenceType>(&value))
      return spell_sequence(s->element.type_id, s->bound, depth);
    if (const auto* a = std::get_if<CompleteArrayType>(&value))
      return spell_array(a->element.type_id, dims_of(a->bounds), depth);
    if (const auto* m = std::get_if<CompleteMapType>(&value))
      return spell_map(m->key.type_id, m->element.type_id, m->bound, depth);
    if (std::holds_alternative<CompleteAnnotationType>(value))
      return unwritable("an annotation type used as a data type");
    auto parts = split_scoped(type_name(**object));
    if (!parts) return Unexpected{parts.error()};
    if (auto ok = define(hash); !ok) return Unexpected{ok.error()};
    std::string scoped;
    for (const auto& part : *parts)
      scoped += (scoped.empty() ? "" : "::") + part;
    return Spelling{scoped, {}};
  }

  // An array has no spelling inside sequence<> or map<>: it gets a typedef of its own, named
  // after what it stands for and shared by every use of the same spelling.
  std::expected<std::string, IdlTextError> spell_element(const TypeIdentifier& id, unsigned depth) {
    auto s = spell(id, depth + 1);
    if (!s) return Unexpected{s.error()};
    if (s->dims.empty()) return s->type;
    const std::string full = s->type + s->dims;
    std::string base = "anon_";
    for (char c : full) {
      if (is_identifier(std::string(1, c)) || (c >= '0' && c <= '9'))
        base += c;
      else if (base.back() != '_')
        base += '_';
    }
    if (base.back() == '_') base.pop_back();
    std::string name = base;
    for (int n = 2;; ++n) {
      auto [it, fresh] = anonymous_.emplace(name, full);
      if (fresh) {
        declarations_.push_back({{}, "typedef " + s->type + " " + name + s->dims + ";\n"});
        return name;
      }
      if (it->second == full) return name;
      name = base;
      name += '_';
      name += std::to_string(n);
    }
  }

  std::expected<void, IdlTextError> define(const EquivalenceHash& hash) {
    const auto found = registry_.complete.find(hash);
    if (found == registry_.complete.end()) return Unexpected{lookup(hash).error()};
    const CompleteTypeObject& object = found->second;
    auto parts = split_scoped(type_name(object));
    if (!parts) return Unexpected{parts.error()};
    const std::string simple = parts->back();
    parts->pop_back();
    if (auto it = state_.find(hash); it != state_.end()) {
      if (it->second == State::Done) return {};
      // A type that refers back to itself: declared ahead, defined once.
      const char* keyword = std::holds_alternative<CompleteStructType>(object.value)  ? "struct"
                            : std::holds_alternative<CompleteUnionType>(object.value) ? "union"
                                                                                      : nullptr;
      if (keyword == nullptr) return unwritable("the recursive " + type_name(object));
      if (forward_names_.insert(hash).second)
        forward_.push_back({std::move(*parts), std::string(keyword) + " " + simple + ";\n"});
      return {};
    }
    if (pending_ == definition_depth_limit) return unwritable("types nested too deep");
    state_[hash] = State::Visiting;
    ++pending_;
    const auto outer_scope = std::exchange(scope_, *parts);
    auto body = std::visit(
        [&](const auto& v) -> std::expected<std::string, IdlTextError> {
          // Anonymous collections are spelled where they are used, never defined on their own.
          if constexpr (requires { v.element; })
            return std::string{};
          else
            return write(v, simple);
        },
        object.value);
    scope_ = outer_scope;
    --pending_;
    if (!body) return Unexpected{body.error()};
    declarations_.push_back({std::move(*parts), std::move(*body)});
    state_[hash] = State::Done;
    return {};
  }

  static std::string extensibility(std::uint16_t flags) {
    if (flags & final_flag) return "@final\n";
    if (flags & appendable_flag) return "@appendable\n";
    if (flags & mutable_flag) return "@mutable\n";
    return {};
  }

  // The id the first member of a struct gets without @id: one past its base's last member.
  std::expected<std::uint32_t, IdlTextError> first_implicit_id(const TypeIdentifier& base,
                                                               unsigned depth) {
    if (std::holds_alternative<TypeIdentifier::None>(base.value)) return 0;
    if (depth > spelling_depth_limit) return unwritable("inheritance nested too deep");
    const auto* hash = std::get_if<TypeIdentifier::EquivalenceHashComplete>(&base.value);
    if (hash == nullptr) return unwritable("a base type that is not a struct");
    auto object = lookup(hash->hash);
    if (!object) return Unexpected{object.error()};
    const auto* s = std::get_if<CompleteStructType>(&(*object)->value);
    if (s == nullptr) return unwritable("a base type that is not a struct");
    if (s->members.empty()) return first_implicit_id(s->base_type, depth + 1);
    return s->members.back().member_id + 1;
  }

  std::expected<std::string, IdlTextError> write(const CompleteStructType& t,
                                                 const std::string& name) {
    std::string out = extensibility(t.struct_flags) + "struct " + name;
    if (!std::holds_alternative<TypeIdentifier::None>(t.base_type.value)) {
      auto base = spell(t.base_type, 0);
      if (!base) return Unexpected{base.error()};
      out += " : " + base->type;
    }
    out += " {\n";
    auto next_id = first_implicit_id(t.base_type, 0);
    if (!next_id) return Unexpected{next_id.error()};
    const bool hashed_ids = (t.struct_flags & autoid_hash_flag) != 0;
    for (const auto& m : t.members) {
      auto spelled = spell(m.member_type, 0);
      if (!spelled) return Unexpected{spelled.error()};
      auto member = checked_name(m.detail.name);
      if (!member) return Unexpected{member.error()};
      out += "  ";
      if (m.member_flags & key_member_flag) out += "@key ";
      if (m.member_flags & optional_member_flag) out += "@optional ";
      if (hashed_ids || m.member_id != *next_id) out += "@id(" + std::to_string(m.member_id) + ") ";
      out += spelled->type + " " + *member + spelled->dims + ";\n";
      *next_id = m.member_id + 1;
    }
    return out + "};\n";
  }

  // Case labels as the discriminator type spells its values. An enumerator belongs to the scope
  // around its enum: seen from within that scope its bare name resolves, for every parser.
  std::expected<std::string, IdlTextError> label(const TypeIdentifier& discriminator,
                                                 std::int32_t value,
                                                 const std::vector<std::string>& scope,
                                                 unsigned depth) {
    if (depth > spelling_depth_limit) return unwritable("aliases nested too deep");
    if (const auto* p = std::get_if<TypeIdentifier::Primitive>(&discriminator.value)) {
      if (p->kind == PrimitiveKind::Boolean) return value ? "TRUE" : "FALSE";
      if (p->kind != PrimitiveKind::Char8) return std::to_string(value);
      if (value >= 0x20 && value < 0x7f && value != '\'' && value != '\\')
        return "'" + std::string(1, static_cast<char>(value)) + "'";
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "'\\x%02x'", static_cast<unsigned>(value) & 0xffu);
      return std::string(escaped);
    }
    const auto* hash = std::get_if<TypeIdentifier::EquivalenceHashComplete>(&discriminator.value);
    if (hash == nullptr) return unwritable("a union discriminator of this kind");
    auto object = lookup(hash->hash);
    if (!object) return Unexpected{object.error()};
    if (const auto* a = std::get_if<CompleteAliasType>(&(*object)->value))
      return label(a->related_type, value, scope, depth + 1);
    const auto* e = std::get_if<CompleteEnumeratedType>(&(*object)->value);
    if (e == nullptr) return unwritable("a union discriminator of this kind");
    auto enum_scope = split_scoped(e->detail.type_name);
    if (!enum_scope) return Unexpected{enum_scope.error()};
    enum_scope->pop_back();
    const bool encloses = enum_scope->size() <= scope.size() &&
                          std::equal(enum_scope->begin(), enum_scope->end(), scope.begin());
    std::string prefix;
    for (const auto& part : *enum_scope)
      prefix += part + "::";
    for (const auto& literal : e->literals) {
      if (literal.value != value) continue;
      auto name = checked_name(literal.detail.name);
      if (!name) return Unexpected{name.error()};
      return (encloses ? "" : prefix) + *name;
    }
    return unwritable("case label " + std::to_string(value) + " outside " + e->detail.type_name);
  }

  std::expected<std::string, IdlTextError> write(const CompleteUnionType& t,
                                                 const std::string& name) {
    const auto scope = scope_;
    auto disc = spell(t.discriminator.type_id, 0);
    if (!disc) return Unexpected{disc.error()};
    std::string out =
        extensibility(t.union_flags) + "union " + name + " switch (" + disc->type + ") {\n";
    for (const auto& m : t.members) {
      for (auto value : m.common.label_seq.values) {
        auto l = label(t.discriminator.type_id, value, scope, 0);
        if (!l) return Unexpected{l.error()};
        out += "  case " + *l + ":\n";
      }
      if (m.common.member_flags & default_case_flag) out += "  default:\n";
      auto spelled = spell(m.common.type_id, 0);
      if (!spelled) return Unexpected{spelled.error()};
      auto member = checked_name(m.detail.name);
      if (!member) return Unexpected{member.error()};
      out += "    " + spelled->type + " " + *member + spelled->dims + ";\n";
    }
    return out + "};\n";
  }

  // Enum literals and bitmask flags: numbered one past the one before unless annotated.
  template <typename Literal>
  static std::expected<std::string, IdlTextError> write_literals(
      std::string out, std::uint16_t bit_bound, const std::vector<Literal>& literals,
      const std::string& annotation, auto number_of) {
    if (bit_bound != 32) out = "@bit_bound(" + std::to_string(bit_bound) + ")\n" + out;
    std::int64_t next = 0;
    for (std::size_t i = 0; i < literals.size(); ++i) {
      auto literal = checked_name(literals[i].detail.name);
      if (!literal) return Unexpected{literal.error()};
      const std::int64_t number = number_of(literals[i]);
      out += "  ";
      if (number != next) out += annotation + "(" + std::to_string(number) + ") ";
      out += *literal + (i + 1 < literals.size() ? ",\n" : "\n");
      next = number + 1;
    }
    return out + "};\n";
  }

  std::expected<std::string, IdlTextError> write(const CompleteEnumeratedType& t,
                                                 const std::string& name) {
    return write_literals("enum " + name + " {\n", t.bit_bound, t.literals, "@value",
                          [](const auto& l) { return std::int64_t{l.value}; });
  }

  std::expected<std::string, IdlTextError> write(const CompleteBitmaskType& t,
                                                 const std::string& name) {
    return write_literals("bitmask " + name + " {\n", t.bit_bound, t.flags, "@position",
                          [](const auto& f) { return std::int64_t{f.position}; });
  }

  std::expected<std::string, IdlTextError> write(const CompleteAliasType& t,
                                                 const std::string& name) {
    auto spelled = spell(t.related_type, 0);
    if (!spelled) return Unexpected{spelled.error()};
    return "typedef " + spelled->type + " " + name + spelled->dims + ";\n";
  }

  std::expected<std::string, IdlTextError> write(const CompleteBitsetType&, const std::string& n) {
    return unwritable("bitset " + n);
  }
  std::expected<std::string, IdlTextError> write(const CompleteAnnotationType&,
                                                 const std::string& n) {
    return unwritable("annotation " + n);
  }

  // Reopens modules as the order of declarations needs: dependencies stay ahead of their users.
  std::string render() const {
    std::string out;
    std::vector<std::string> open;
    auto emit = [&](const Declaration& d) {
      std::size_t common = 0;
      while (common < open.size() && common < d.scope.size() && open[common] == d.scope[common])
        ++common;
      while (open.size() > common) {
        open.pop_back();
        out += std::string(2 * open.size(), ' ') + "};\n";
      }
      while (open.size() < d.scope.size()) {
        out += std::string(2 * open.size(), ' ') + "module " + d.scope[open.size()] + " {\n";
        open.push_back(d.scope[open.size()]);
      }
      const std::string indent(2 * open.size(), ' ');
      std::size_t start = 0;
      while (start < d.body.size()) {
        const auto end = d.body.find('\n', start);
        out += indent + d.body.substr(start, end - start + 1);
        start = end + 1;
      }
    };
    for (const auto& d : forward_)
      emit(d);
    for (const auto& d : declarations_)
      emit(d);
    emit(Declaration{});
    return out;
  }

  const TypeRegistry& registry_;
  std::vector<std::string> scope_{};  // modules around the declaration being written
  unsigned pending_ = 0;              // definitions begun and not yet finished
  std::map<EquivalenceHash, State> state_{};
  std::map<std::string, std::string> anonymous_{};  // typedef name -> what it stands for
  std::set<EquivalenceHash> forward_names_{};
  std::vector<Declaration> forward_{};
  std::vector<Declaration> declarations_{};
};

}  // namespace

std::string to_string(const IdlTextError& error) {
  switch (error.kind) {
    case IdlTextError::Kind::MinimalOnly:
      return "type " + error.detail +
             " is known only in minimal form, which carries no names: no IDL can be written";
    case IdlTextError::Kind::Missing:
      return "type " + error.detail + " is not known";
    case IdlTextError::Kind::Unwritable:
      return "IDL cannot express " + error.detail;
  }
  return "IDL text error";
}

std::expected<IdlText, IdlTextError> to_idl_text(const TypeIdentifier& top,
                                                 const TypeRegistry& registry) {
  return Writer(registry).run(top);
}

}  // namespace nimbrel::types
