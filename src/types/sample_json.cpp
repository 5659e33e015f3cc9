#include "types/sample_json.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>
#include <vector>

#include "types/detail/json_text.hpp"
#include "types/detail/type_text.hpp"

namespace nimbrel::types {
namespace {

using detail::appendable_flag;
using detail::default_case_flag;
using Kind = SampleJsonError::Kind;
using Result = std::expected<void, SampleJsonError>;
using TI = TypeIdentifier;

constexpr std::size_t header_size = 4;
constexpr std::uint16_t must_understand_pid_flag = 0x4000;
constexpr std::uint16_t pid_mask = 0x3fff;
constexpr std::uint16_t pid_extended = 0x3f01;
constexpr std::uint16_t pid_list_end = 0x3f02;
constexpr std::uint16_t pid_ignore = 0x3f03;
constexpr std::uint32_t member_id_mask = 0x0fffffff;
constexpr std::uint32_t emheader_must_understand = 0x80000000u;
constexpr std::uint32_t extended_must_understand = 0x40000000u;

enum class Extensibility : std::uint8_t { Final, Appendable, Mutable };

// Types without a flag take the default extensibility, appendable.
Extensibility extensibility_of(std::uint16_t flags) {
  if (flags & final_flag) return Extensibility::Final;
  if (flags & mutable_flag) return Extensibility::Mutable;
  return Extensibility::Appendable;
}

std::size_t primitive_size(PrimitiveKind kind) {
  switch (kind) {
    case PrimitiveKind::Boolean:
    case PrimitiveKind::Byte:
    case PrimitiveKind::Int8:
    case PrimitiveKind::UInt8:
    case PrimitiveKind::Char8:
      return 1;
    case PrimitiveKind::Int16:
    case PrimitiveKind::UInt16:
    case PrimitiveKind::Char16:
      return 2;
    case PrimitiveKind::Int32:
    case PrimitiveKind::UInt32:
    case PrimitiveKind::Float32:
      return 4;
    case PrimitiveKind::Int64:
    case PrimitiveKind::UInt64:
    case PrimitiveKind::Float64:
      return 8;
    case PrimitiveKind::Float128:
      return 16;
  }
  return 1;
}

bool is_signed(PrimitiveKind kind) {
  return kind == PrimitiveKind::Int8 || kind == PrimitiveKind::Int16 ||
         kind == PrimitiveKind::Int32 || kind == PrimitiveKind::Int64;
}

// Enums, bitmasks and bitsets travel as the smallest integer their bit bound fits in.
std::size_t holder_size(unsigned bits) {
  if (bits <= 8) return 1;
  if (bits <= 16) return 2;
  if (bits <= 32) return 4;
  return 8;
}

std::int64_t sign_extend(std::uint64_t v, unsigned bits) {
  if (bits == 0 || bits >= 64) return static_cast<std::int64_t>(v);
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  return static_cast<std::int64_t>((v ^ sign) - sign);
}

// Undoes a path extension when the member or element it names is done.
class PathScope {
 public:
  PathScope(std::string& path, const std::string& name) : path_(path), size_(path.size()) {
    if (!path_.empty()) path_ += '.';
    path_ += name;
  }
  PathScope(std::string& path, std::size_t index) : path_(path), size_(path.size()) {
    path_ += '[' + std::to_string(index) + ']';
  }
  PathScope(const PathScope&) = delete;
  PathScope& operator=(const PathScope&) = delete;
  ~PathScope() { path_.resize(size_); }

 private:
  std::string& path_;
  std::size_t size_;
};

class Decoder {
 public:
  Decoder(const TypeRegistry& registry, std::span<const std::byte> body, bool little_endian,
          bool xcdr2, const SampleJsonLimits& limits)
      : registry_(registry),
        body_(body),
        end_(body.size()),
        little_endian_(little_endian),
        xcdr2_(xcdr2),
        limits_(limits) {}

  std::expected<std::string, SampleJsonError> run(const TypeIdentifier& top) {
    if (auto ok = value(top, 0); !ok) return std::unexpected(ok.error());
    if (out_.size() > limits_.max_output) return std::unexpected(output_limit());
    return std::move(out_);
  }

 private:
  // ---- Errors and cursor ----------------------------------------------------------------------

  std::unexpected<SampleJsonError> fail(Kind kind, std::string detail) const {
    return std::unexpected(SampleJsonError{kind, pos_ + header_size, path_, std::move(detail)});
  }
  std::unexpected<SampleJsonError> truncated() const { return fail(Kind::Truncated, "truncated"); }
  SampleJsonError output_limit() const {
    return fail(Kind::Limit, "JSON longer than " + std::to_string(limits_.max_output) + " bytes")
        .error();
  }

  std::size_t left() const { return end_ - pos_; }

  // XCDR2 aligns nothing past 4 bytes; XCDR1 up to 8, from the origin of the current body.
  Result align(std::size_t size) {
    const std::size_t a = std::min<std::size_t>(size, xcdr2_ ? 4 : 8);
    const std::size_t pad = (a - (pos_ - origin_) % a) % a;
    if (pad > left()) return truncated();
    pos_ += pad;
    return {};
  }

  std::expected<std::uint64_t, SampleJsonError> read_uint(std::size_t size) {
    if (auto ok = align(size); !ok) return std::unexpected(ok.error());
    if (size > left()) return truncated();
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) {
      const std::size_t shift = 8 * (little_endian_ ? i : size - 1 - i);
      v |= static_cast<std::uint64_t>(body_[pos_ + i]) << shift;
    }
    pos_ += size;
    return v;
  }

  std::expected<std::uint32_t, SampleJsonError> read_u32() {
    auto v = read_uint(4);
    if (!v) return std::unexpected(v.error());
    return static_cast<std::uint32_t>(*v);
  }

  // Runs `body` over the next `length` bytes and goes on after them, whatever it consumed.
  template <typename Body>
  Result within(std::size_t length, bool new_origin, Body&& body) {
    if (length > left())
      return fail(Kind::Truncated, "length " + std::to_string(length) + " past the end");
    const std::size_t saved_end = end_, saved_origin = origin_, stop = pos_ + length;
    end_ = stop;
    if (new_origin) origin_ = pos_;
    auto ok = body();
    end_ = saved_end;
    origin_ = saved_origin;
    if (!ok) return ok;
    pos_ = stop;
    return {};
  }

  // An XCDR2 DHEADER around `body` when `delimited`, nothing otherwise.
  template <typename Body>
  Result maybe_delimited(bool delimited, Body&& body) {
    if (!xcdr2_ || !delimited) return body();
    auto length = read_u32();
    if (!length) return std::unexpected(length.error());
    return within(*length, /*new_origin=*/false, body);
  }

  // ---- Types ----------------------------------------------------------------------------------

  std::expected<const CompleteTypeObject*, SampleJsonError> complete(
      const EquivalenceHash& hash) const {
    if (auto it = registry_.complete.find(hash); it != registry_.complete.end()) return &it->second;
    if (registry_.minimal.contains(hash))
      return fail(Kind::UnknownType,
                  "only the minimal type, without names, for hash " + detail::hash_hex(hash));
    return fail(Kind::UnknownType, "no complete type for hash " + detail::hash_hex(hash));
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
    if (const auto* p = std::get_if<TI::Primitive>(&at->value)) return primitive_size(p->kind);
    if (std::holds_alternative<TI::String8Small>(at->value) ||
        std::holds_alternative<TI::String8Large>(at->value) ||
        std::holds_alternative<TI::String16Small>(at->value) ||
        std::holds_alternative<TI::String16Large>(at->value))
      return 4;
    const CompleteTypeObject* object = object_of(at);
    if (object == nullptr) return 1;
    if (const auto* e = std::get_if<CompleteEnumeratedType>(&object->value))
      return holder_size(e->bit_bound);
    if (const auto* b = std::get_if<CompleteBitmaskType>(&object->value))
      return holder_size(b->bit_bound);
    return 1;
  }

  // XCDR2 puts a DHEADER before collections of anything but primitives, enums and bitmasks.
  bool needs_dheader(const TypeIdentifier& id) const {
    const TypeIdentifier* at = unaliased(id);
    if (at != nullptr && std::holds_alternative<TI::Primitive>(at->value)) return false;
    const CompleteTypeObject* object = object_of(at);
    return object == nullptr || !(std::holds_alternative<CompleteEnumeratedType>(object->value) ||
                                  std::holds_alternative<CompleteBitmaskType>(object->value));
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
      return fail(Kind::Limit, "nested deeper than " + std::to_string(limits_.max_depth));
    if (out_.size() > limits_.max_output) return std::unexpected(output_limit());
    return std::visit(
        [&](const auto& v) -> Result {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, TI::Primitive>) {
            return primitive(v.kind, nullptr);
          } else if constexpr (std::is_same_v<V, TI::String8Small> ||
                               std::is_same_v<V, TI::String8Large>) {
            return string8(v.bound);
          } else if constexpr (std::is_same_v<V, TI::String16Small> ||
                               std::is_same_v<V, TI::String16Large>) {
            return string16(v.bound);
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
            return fail(Kind::UnknownType, "only the minimal type, without names, for hash " +
                                               detail::hash_hex(v.hash));
          } else {
            return fail(Kind::Unsupported,
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
            return bitset(t);
          } else if constexpr (std::is_same_v<T, CompleteSequenceType>) {
            return sequence(t.element.type_id, t.bound, depth);
          } else if constexpr (std::is_same_v<T, CompleteArrayType>) {
            return array(t.element.type_id, t.bounds, depth);
          } else if constexpr (std::is_same_v<T, CompleteMapType>) {
            return map(t.key.type_id, t.element.type_id, t.bound, depth);
          } else if constexpr (std::is_same_v<T, CompleteEnumeratedType>) {
            return enumerated(t, nullptr);
          } else if constexpr (std::is_same_v<T, CompleteBitmaskType>) {
            return bitmask(t);
          } else {
            return fail(Kind::Unsupported, "an annotation type as data");
          }
        },
        object.value);
  }

  // Writes the value; `integral` also receives it when the kind is an integer, char or boolean.
  Result primitive(PrimitiveKind kind, std::int64_t* integral) {
    const std::size_t size = primitive_size(kind);
    if (kind == PrimitiveKind::Float128) {
      if (auto ok = align(size); !ok) return ok;
      if (size > left()) return truncated();
      static constexpr char digits[] = "0123456789abcdef";
      out_ += "\"0x";
      for (std::size_t i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned>(body_[pos_ + (little_endian_ ? size - 1 - i : i)]);
        out_ += digits[b >> 4];
        out_ += digits[b & 0x0f];
      }
      out_ += '"';
      pos_ += size;
      return {};
    }
    auto raw = read_uint(size);
    if (!raw) return std::unexpected(raw.error());
    const std::uint64_t v = *raw;
    const std::int64_t as_signed =
        is_signed(kind) ? sign_extend(v, 8 * unsigned(size)) : static_cast<std::int64_t>(v);
    switch (kind) {
      case PrimitiveKind::Boolean:
        if (v > 1) {
          pos_ -= size;
          return fail(Kind::Malformed, "boolean " + std::to_string(v));
        }
        out_ += v ? "true" : "false";
        break;
      case PrimitiveKind::Float32:
        detail::append_json_float(out_, std::bit_cast<float>(static_cast<std::uint32_t>(v)));
        return {};
      case PrimitiveKind::Float64:
        detail::append_json_double(out_, std::bit_cast<double>(v));
        return {};
      case PrimitiveKind::Char8:
      case PrimitiveKind::Char16:
        // A char8 is taken as Latin-1: one byte, one code point.
        detail::append_json_code_point(out_, static_cast<std::uint32_t>(v));
        break;
      case PrimitiveKind::UInt64:
        detail::append_json_uint(out_, v);
        break;
      default:
        detail::append_json_int(out_, as_signed);
        break;
    }
    if (integral != nullptr) *integral = as_signed;
    return {};
  }

  // Bytes of a CDR string after its length; the closing NUL is dropped when present.
  std::expected<std::span<const std::byte>, SampleJsonError> string_bytes(std::uint32_t bound,
                                                                          std::size_t unit) {
    auto length = read_u32();
    if (!length) return std::unexpected(length.error());
    if (*length > left()) {
      pos_ -= 4;
      return fail(Kind::Truncated, "string of " + std::to_string(*length) + " bytes past the end");
    }
    auto bytes = body_.subspan(pos_, *length);
    pos_ += *length;
    if (unit == 1 && !bytes.empty() && bytes.back() == std::byte{0})
      bytes = bytes.first(bytes.size() - 1);
    if (bytes.size() % unit != 0) return fail(Kind::Malformed, "wide string of odd length");
    if (bound != 0 && bytes.size() / unit > bound)
      return fail(Kind::Malformed, "string longer than its bound " + std::to_string(bound));
    return bytes;
  }

  Result string8(std::uint32_t bound) {
    auto bytes = string_bytes(bound, 1);
    if (!bytes) return std::unexpected(bytes.error());
    detail::append_json_string(out_, *bytes);
    return {};
  }

  // Wide strings: a byte length, then UTF-16 code units without a terminator.
  Result string16(std::uint32_t bound) {
    auto bytes = string_bytes(bound, 2);
    if (!bytes) return std::unexpected(bytes.error());
    std::vector<std::uint16_t> units(bytes->size() / 2);
    for (std::size_t i = 0; i < units.size(); ++i) {
      const auto a = static_cast<std::uint16_t>((*bytes)[2 * i]);
      const auto b = static_cast<std::uint16_t>((*bytes)[2 * i + 1]);
      units[i] = static_cast<std::uint16_t>(little_endian_ ? a | (b << 8) : (a << 8) | b);
    }
    if (!units.empty() && units.back() == 0) units.pop_back();
    detail::append_json_utf16(out_, units);
    return {};
  }

  Result enumerated(const CompleteEnumeratedType& t, std::int64_t* numeric) {
    const std::size_t size = holder_size(t.bit_bound);
    auto raw = read_uint(size);
    if (!raw) return std::unexpected(raw.error());
    const auto v = sign_extend(*raw, 8 * unsigned(size));
    for (const auto& literal : t.literals) {
      if (literal.value != v) continue;
      detail::append_json_string(out_, literal.detail.name);
      if (numeric != nullptr) *numeric = v;
      return {};
    }
    pos_ -= size;
    return fail(Kind::UnknownValue, "unknown enum value " + std::to_string(v));
  }

  Result bitmask(const CompleteBitmaskType& t) {
    const std::size_t size = holder_size(t.bit_bound);
    auto raw = read_uint(size);
    if (!raw) return std::unexpected(raw.error());
    std::uint64_t known = 0;
    out_ += '[';
    bool first = true;
    for (const auto& flag : t.flags) {
      if (flag.position >= 64) continue;
      const std::uint64_t bit = std::uint64_t{1} << flag.position;
      known |= bit;
      if (!(*raw & bit)) continue;
      if (!first) out_ += ',';
      first = false;
      detail::append_json_string(out_, flag.detail.name);
    }
    out_ += ']';
    if (*raw & ~known) {
      pos_ -= size;
      return fail(Kind::UnknownValue, "unknown bitmask bits " + std::to_string(*raw & ~known));
    }
    return {};
  }

  Result bitset(const CompleteBitsetType& t) {
    unsigned bits = 0;
    for (const auto& f : t.fields_seq)
      bits = std::max(bits, unsigned{f.position} + f.bitcount);
    if (bits > 64) return fail(Kind::Unsupported, "bitset of " + std::to_string(bits) + " bits");
    auto raw = read_uint(holder_size(bits));
    if (!raw) return std::unexpected(raw.error());
    out_ += '{';
    for (std::size_t i = 0; i < t.fields_seq.size(); ++i) {
      const auto& f = t.fields_seq[i];
      if (i) out_ += ',';
      detail::append_json_string(out_, f.detail.name);
      out_ += ':';
      const unsigned count = std::min(f.bitcount, std::uint8_t{64});
      const std::uint64_t mask = count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
      const std::uint64_t v = (*raw >> f.position) & mask;
      const auto kind = primitive_kind_from_wire(f.holder_type);
      if (kind == PrimitiveKind::Boolean)
        out_ += v ? "true" : "false";
      else if (kind && is_signed(*kind))
        detail::append_json_int(out_, sign_extend(v, count));
      else
        detail::append_json_uint(out_, v);
    }
    out_ += '}';
    return {};
  }

  Result count_fits(std::uint64_t count, std::size_t element_size, std::uint32_t bound) {
    if (bound != 0 && count > bound)
      return fail(Kind::Malformed,
                  std::to_string(count) + " elements past the bound " + std::to_string(bound));
    if (count > left() / std::max<std::size_t>(element_size, 1))
      return fail(Kind::Truncated, std::to_string(count) + " elements past the end");
    return {};
  }

  Result sequence(const TypeIdentifier& element, std::uint32_t bound, unsigned depth) {
    return maybe_delimited(needs_dheader(element), [&]() -> Result {
      auto count = read_u32();
      if (!count) return std::unexpected(count.error());
      if (auto ok = count_fits(*count, min_size(element), bound); !ok) return ok;
      out_ += '[';
      for (std::uint32_t i = 0; i < *count; ++i) {
        if (i) out_ += ',';
        PathScope scope(path_, i);
        if (auto ok = value(element, depth + 1); !ok) return ok;
      }
      out_ += ']';
      return {};
    });
  }

  Result array(const TypeIdentifier& element, const std::vector<std::uint32_t>& bounds,
               unsigned depth) {
    return maybe_delimited(needs_dheader(element), [&]() -> Result {
      std::uint64_t total = 1;
      for (auto b : bounds) {
        if (b == 0 || total > left()) return fail(Kind::Malformed, "array bound 0 or too large");
        total *= b;
      }
      if (bounds.empty()) return fail(Kind::Malformed, "array without dimensions");
      if (auto ok = count_fits(total, min_size(element), 0); !ok) return ok;
      return dimension(element, bounds, 0, depth);
    });
  }

  Result dimension(const TypeIdentifier& element, const std::vector<std::uint32_t>& bounds,
                   std::size_t d, unsigned depth) {
    out_ += '[';
    for (std::uint32_t i = 0; i < bounds[d]; ++i) {
      if (i) out_ += ',';
      PathScope scope(path_, i);
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
    return maybe_delimited(needs_dheader(key) || needs_dheader(element), [&]() -> Result {
      auto count = read_u32();
      if (!count) return std::unexpected(count.error());
      if (auto ok = count_fits(*count, min_size(key) + min_size(element), bound); !ok) return ok;
      out_ += by_name ? '{' : '[';
      for (std::uint32_t i = 0; i < *count; ++i) {
        if (i) out_ += ',';
        PathScope scope(path_, i);
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
      if (depth > limits_.max_depth) return fail(Kind::Limit, "inheritance too deep");
      const CompleteTypeObject* base = object_of(unaliased(t.base_type));
      const auto* s = base != nullptr ? std::get_if<CompleteStructType>(&base->value) : nullptr;
      if (s == nullptr) {
        if (const auto* h = std::get_if<TI::EquivalenceHashComplete>(&t.base_type.value);
            h != nullptr && base == nullptr) {
          auto missing = complete(h->hash);
          if (!missing) return std::unexpected(missing.error());
        }
        return fail(Kind::Unsupported, "a base type that is not a struct");
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
    return maybe_delimited(delimited, [&]() -> Result {
      out_ += '{';
      for (std::size_t i = 0; i < members.size(); ++i) {
        // A writer of an older, shorter version of the type ends early.
        if (xcdr2_ && delimited && left() == 0) break;
        const auto& m = *members[i];
        if (i) out_ += ',';
        key(m.detail.name);
        PathScope scope(path_, m.detail.name);
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
    if (xcdr2_) {
      auto flag = read_uint(1);
      if (!flag) return std::unexpected(flag.error());
      if (*flag > 1) {
        --pos_;
        return fail(Kind::Malformed, "presence flag " + std::to_string(*flag));
      }
      if (*flag == 0) {
        out_ += "null";
        return {};
      }
      return value(type, depth + 1);
    }
    auto header = parameter_header();
    if (!header) return std::unexpected(header.error());
    if (header->length == 0) {
      out_ += "null";
      return {};
    }
    return within(header->length, /*new_origin=*/true, [&] { return value(type, depth + 1); });
  }

  struct Parameter {
    std::uint32_t id = 0;
    bool must_understand = false;
    std::size_t length = 0;
  };

  // An XCDR1 parameter header, short or extended.
  std::expected<Parameter, SampleJsonError> parameter_header() {
    auto pid = read_uint(2);
    if (!pid) return std::unexpected(pid.error());
    auto length = read_uint(2);
    if (!length) return std::unexpected(length.error());
    Parameter p{static_cast<std::uint32_t>(*pid & pid_mask), (*pid & must_understand_pid_flag) != 0,
                static_cast<std::size_t>(*length)};
    if (p.id != pid_extended) return p;
    auto id = read_u32();
    if (!id) return std::unexpected(id.error());
    auto extended_length = read_u32();
    if (!extended_length) return std::unexpected(extended_length.error());
    return Parameter{*id & member_id_mask, (*id & extended_must_understand) != 0, *extended_length};
  }

  // Calls `on_member(id)` for each member of a mutable type, over exactly that member's bytes;
  // it answers whether it knew the id. Unknown members are skipped unless they must be understood.
  template <typename OnMember>
  Result each_member(OnMember&& on_member) {
    auto visit = [&](std::uint32_t id, bool must_understand, std::size_t length,
                     bool new_origin) -> Result {
      return within(length, new_origin, [&]() -> Result {
        auto known = on_member(id);
        if (!known) return std::unexpected(known.error());
        if (!*known && must_understand)
          return fail(Kind::UnknownValue,
                      "unknown must-understand member id " + std::to_string(id));
        return {};
      });
    };
    if (!xcdr2_) {
      for (;;) {
        if (auto ok = align(4); !ok) return ok;
        if (left() == 0) return {};  // a top-level list may end with the data
        auto p = parameter_header();
        if (!p) return std::unexpected(p.error());
        if (p->id == pid_list_end) return {};
        if (p->id == pid_ignore) {
          if (auto ok = within(p->length, true, []() -> Result { return {}; }); !ok) return ok;
          continue;
        }
        if (auto ok = visit(p->id, p->must_understand, p->length, true); !ok) return ok;
      }
    }
    auto length = read_u32();
    if (!length) return std::unexpected(length.error());
    return within(*length, /*new_origin=*/false, [&]() -> Result {
      while (left() > 0) {
        auto em = read_u32();
        if (!em) return std::unexpected(em.error());
        const unsigned lc = (*em >> 28) & 7;
        std::size_t size = std::size_t{1} << lc;
        if (lc == 4) {
          auto next = read_u32();
          if (!next) return std::unexpected(next.error());
          size = *next;
        } else if (lc > 4) {
          // NEXTINT is the member's own first word (a length or DHEADER): peek, do not consume.
          auto next = read_u32();
          if (!next) return std::unexpected(next.error());
          pos_ -= 4;
          size = 4 + std::size_t{*next} * (lc == 5 ? 1 : lc == 6 ? 4 : 8);
        }
        if (auto ok =
                visit(*em & member_id_mask, (*em & emheader_must_understand) != 0, size, false);
            !ok)
          return ok;
      }
      return {};
    });
  }

  // Members arrive in any order; each is written as it comes, then the object is put in the
  // declared order, absent members as null.
  Result mutable_structure(const std::vector<const CompleteStructMember*>& members,
                           unsigned depth) {
    const std::size_t start = out_.size();
    constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::vector<std::pair<std::size_t, std::size_t>> spans(members.size(), {none, none});
    auto ok = each_member([&](std::uint32_t id) -> std::expected<bool, SampleJsonError> {
      const auto it = std::find_if(members.begin(), members.end(),
                                   [&](const auto* m) { return m->member_id == id; });
      if (it == members.end()) return false;
      auto& span = spans[static_cast<std::size_t>(it - members.begin())];
      PathScope scope(path_, (*it)->detail.name);
      if (span.first != none) return fail(Kind::Malformed, "member repeated");
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
    PathScope scope(path_, std::string("discriminator"));
    const TypeIdentifier* at = unaliased(type);
    if (const auto* p = at != nullptr ? std::get_if<TI::Primitive>(&at->value) : nullptr) {
      const auto kind = p->kind;
      if (kind == PrimitiveKind::Float32 || kind == PrimitiveKind::Float64 ||
          kind == PrimitiveKind::Float128)
        return fail(Kind::Unsupported, "a floating-point discriminator");
      return primitive(kind, &v);
    }
    const CompleteTypeObject* object = object_of(at);
    if (const auto* e = object ? std::get_if<CompleteEnumeratedType>(&object->value) : nullptr)
      return enumerated(*e, &v);
    if (const auto* h = at ? std::get_if<TI::EquivalenceHashComplete>(&at->value) : nullptr;
        h != nullptr && object == nullptr) {
      auto missing = complete(h->hash);
      if (!missing) return std::unexpected(missing.error());
    }
    return fail(Kind::Unsupported, "a discriminator of this kind");
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
    return maybe_delimited(extensibility == Extensibility::Appendable, [&]() -> Result {
      out_ += "{\"discriminator\":";
      std::int64_t d = 0;
      if (auto ok = discriminator(t.discriminator.type_id, d); !ok) return ok;
      if (const auto* m = selected(t, d)) {
        out_ += ',';
        key(m->detail.name);
        PathScope scope(path_, m->detail.name);
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
    auto ok = each_member([&](std::uint32_t id) -> std::expected<bool, SampleJsonError> {
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
      PathScope scope(path_, member->detail.name);
      if (auto read = value(member->common.type_id, depth + 1); !read)
        return std::unexpected(read.error());
      member_done = true;
      return true;
    });
    if (!ok) return ok;
    if (!seen) return fail(Kind::Malformed, "union without its discriminator");
    out_ += '}';
    return {};
  }

  const TypeRegistry& registry_;
  std::span<const std::byte> body_;
  std::size_t pos_ = 0;
  std::size_t end_;         // reads stop here: the body's end or that of a delimited value
  std::size_t origin_ = 0;  // alignment is counted from here
  bool little_endian_;
  bool xcdr2_;
  SampleJsonLimits limits_;
  std::string out_{};
  std::string path_{};
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
    return std::unexpected(SampleJsonError{
        Kind::Unsupported,
        0,
        {},
        "encapsulation " + std::to_string(static_cast<unsigned>(sample[0]) * 256 + kind)});
  const std::size_t padding = static_cast<std::size_t>(sample[3]) & 3;
  if (padding > sample.size() - header_size)
    return std::unexpected(
        SampleJsonError{Kind::Malformed, 3, {}, "more padding than the sample holds"});
  const auto body = sample.subspan(header_size, sample.size() - header_size - padding);
  return Decoder(registry, body, (kind & 1) != 0, kind >= 6, limits).run(top);
}

}  // namespace nimbrel::types
