// What minimal and complete XTypes type objects share (DDS-XTypes 1.3 section 7.3.4.5): the
// applied annotation records, the core of a union member, and the plain CDR field codec both
// forms are written with. A record lists its fields once, in wire order, through a static
// `fields`; `encode_field` and `decode_field` walk that list, so the two directions cannot drift.
// That private wire form has no DHEADER or EMHEADER: optionals are a presence count, sequences a
// count. The standard forms (type_object_xcdr2.hpp) nest the same fields differently; each record
// states that nesting once, in `standard_layout`, over the positions of its `fields`.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "cdr/buffer.hpp"
#include "types/type_identifier.hpp"

namespace nimbrel::types {

// ---- Standard layout vocabulary ----------------------------------------------------------------
// The model flattens the standard declarations' nested headers and bodies; these say where they
// were. Final groups add nothing on the wire, appendable ones a DHEADER in XCDR2.
template <std::size_t I>
struct Part {};  // field I, coded as its type says
template <std::size_t I>
struct OptionalPart {};  // field I as an optional member that the model always holds
template <std::size_t I>
struct NonEmptyPart {};  // field I, a sequence, as an optional member present when not empty
template <typename... Parts>
struct FinalGroup {};
template <typename... Parts>
struct AppendableGroup {};
struct FinalFields {};       // every field in order, in one final record
struct AppendableFields {};  // every field in order, in one appendable record

// Storage reserved for a sequence before its elements are read, whatever the count claims.
inline constexpr std::size_t max_sequence_reservation = 4096;

// The first four bytes of the MD5 of a member name; carried, never computed.
using NameHash = std::array<std::uint8_t, 4>;

// A byte string carried uninterpreted: length u32 then the bytes. The tag names the encoding
// error, which differs by where the value stands.
template <typename Tag>
struct Opaque {
  std::vector<std::uint8_t> bytes;
  friend bool operator==(const Opaque&, const Opaque&) = default;
};
struct ParameterValueTag {
  static constexpr const char* too_long = "annotation parameter value exceeds u32::MAX bytes";
};
struct MemberValueTag {
  static constexpr const char* too_long = "annotation value exceeds u32::MAX";
};
struct DefaultValueTag {
  static constexpr const char* too_long = "annotation default value exceeds u32::MAX";
};
using ParameterValue = Opaque<ParameterValueTag>;
using MemberAnnotationValue = Opaque<MemberValueTag>;
using AnnotationDefaultValue = Opaque<DefaultValueTag>;

// Union case labels: a sequence with its own encoding error text.
struct UnionLabels {
  std::vector<std::int32_t> values;
  friend bool operator==(const UnionLabels&, const UnionLabels&) = default;
};

struct AppliedAnnotationParameter {
  using standard_layout = AppendableFields;
  NameHash name_hash{};
  ParameterValue value{};
  static auto fields(auto& self) { return std::tie(self.name_hash, self.value); }
  friend bool operator==(const AppliedAnnotationParameter&,
                         const AppliedAnnotationParameter&) = default;
};

struct AppliedAnnotation {
  using standard_layout = AppendableGroup<Part<0>, NonEmptyPart<1>>;
  TypeIdentifier annotation_type{};
  std::vector<AppliedAnnotationParameter> parameters{};
  static auto fields(auto& self) { return std::tie(self.annotation_type, self.parameters); }
  friend bool operator==(const AppliedAnnotation&, const AppliedAnnotation&) = default;
};

// Decoded leniently: a presence count n > 1 reads n sequences and keeps the last.
struct OptionalAppliedAnnotationSeq {
  std::optional<std::vector<AppliedAnnotation>> annotations{};
  friend bool operator==(const OptionalAppliedAnnotationSeq&,
                         const OptionalAppliedAnnotationSeq&) = default;
};

// The four placements of DDS-XTypes 1.3 section 7.3.1.2.1.10, or any other text as read.
struct VerbatimPlacement {
  enum class Kind : std::uint8_t { BeforeDeclaration, AfterDeclaration, BeginFile, EndFile, Other };
  Kind kind = Kind::BeforeDeclaration;
  std::string other_text{};  // only for Other

  static VerbatimPlacement from_text(std::string text);
  std::string text() const;
  friend bool operator==(const VerbatimPlacement&, const VerbatimPlacement&) = default;
};

struct AppliedVerbatimAnnotation {
  using standard_layout = FinalFields;
  VerbatimPlacement placement{};
  std::string language{};
  std::string text{};
  static auto fields(auto& self) { return std::tie(self.placement, self.language, self.text); }
  friend bool operator==(const AppliedVerbatimAnnotation&,
                         const AppliedVerbatimAnnotation&) = default;
};

// Decoded leniently, like OptionalAppliedAnnotationSeq.
struct AppliedBuiltinTypeAnnotations {
  std::optional<AppliedVerbatimAnnotation> verbatim{};
  friend bool operator==(const AppliedBuiltinTypeAnnotations&,
                         const AppliedBuiltinTypeAnnotations&) = default;
};

// Each optional is strict: a presence count other than 0 or 1 fails.
struct AppliedBuiltinMemberAnnotations {
  using standard_layout = AppendableFields;
  std::optional<std::string> unit{};
  std::optional<MemberAnnotationValue> min{};
  std::optional<MemberAnnotationValue> max{};
  std::optional<std::string> hash_id{};
  static auto fields(auto& self) { return std::tie(self.unit, self.min, self.max, self.hash_id); }
  friend bool operator==(const AppliedBuiltinMemberAnnotations&,
                         const AppliedBuiltinMemberAnnotations&) = default;
};

struct CommonUnionMember {
  using standard_layout = FinalFields;
  std::uint32_t member_id = 0;
  std::uint16_t member_flags = 0;
  TypeIdentifier type_id{};
  UnionLabels label_seq{};
  static auto fields(auto& self) {
    return std::tie(self.member_id, self.member_flags, self.type_id, self.label_seq);
  }
  friend bool operator==(const CommonUnionMember&, const CommonUnionMember&) = default;
};

// Discriminators of the type object union, indexed by alternative (DDS-XTypes 1.3 TK_ codes).
inline constexpr std::array<std::uint8_t, 10> type_kind_codes = {
    0x30,  // Alias
    0x42,  // Annotation
    0x50,  // Struct
    0x51,  // Union
    0x52,  // Bitset
    0x60,  // Sequence
    0x61,  // Array
    0x62,  // Map
    0x40,  // Enumerated
    0x41,  // Bitmask
};

// Struct, enum and bitmask flag bits the assignability rules look at.
inline constexpr std::uint16_t final_flag = 0x0001;
inline constexpr std::uint16_t mutable_flag = 0x0004;
inline constexpr std::uint16_t optional_member_flag = 0x0008;

// ---- Field codec -------------------------------------------------------------------------------

template <typename T>
concept WireRecord = requires(const T& t) {
  T::fields(t);
};

inline CodecResult<void> encode_field(cdr::BufferWriter& w, std::uint8_t v) {
  w.write_u8(v);
  return {};
}
inline CodecResult<void> encode_field(cdr::BufferWriter& w, std::uint16_t v) {
  w.write_u16(v);
  return {};
}
inline CodecResult<void> encode_field(cdr::BufferWriter& w, std::uint32_t v) {
  w.write_u32(v);
  return {};
}
inline CodecResult<void> encode_field(cdr::BufferWriter& w, std::int32_t v) {
  w.write_i32(v);
  return {};
}
inline CodecResult<void> encode_field(cdr::BufferWriter& w, const std::string& s) {
  return w.write_string(s);
}
inline CodecResult<void> encode_field(cdr::BufferWriter& w, const TypeIdentifier& id) {
  return id.encode(w);
}
CodecResult<void> encode_field(cdr::BufferWriter& w, const NameHash& hash);
CodecResult<void> encode_field(cdr::BufferWriter& w, const UnionLabels& labels);
CodecResult<void> encode_field(cdr::BufferWriter& w, const VerbatimPlacement& placement);
CodecResult<void> encode_field(cdr::BufferWriter& w, const OptionalAppliedAnnotationSeq& seq);
CodecResult<void> encode_field(cdr::BufferWriter& w, const AppliedBuiltinTypeAnnotations& a);
CodecResult<void> encode_opaque(cdr::BufferWriter& w, const std::vector<std::uint8_t>& bytes,
                                const char* too_long);
// Pads to 4 and writes the count, or fails with `too_long` before writing anything.
CodecResult<void> encode_count(cdr::BufferWriter& w, std::size_t count,
                               const char* too_long = "sequence length exceeds u32::MAX");

CodecResult<void> decode_field(cdr::BufferReader& r, std::uint8_t& v);
CodecResult<void> decode_field(cdr::BufferReader& r, std::uint16_t& v);
CodecResult<void> decode_field(cdr::BufferReader& r, std::uint32_t& v);
CodecResult<void> decode_field(cdr::BufferReader& r, std::int32_t& v);
CodecResult<void> decode_field(cdr::BufferReader& r, std::string& s);
CodecResult<void> decode_field(cdr::BufferReader& r, TypeIdentifier& id);
CodecResult<void> decode_field(cdr::BufferReader& r, NameHash& hash);
CodecResult<void> decode_field(cdr::BufferReader& r, UnionLabels& labels);
CodecResult<void> decode_field(cdr::BufferReader& r, VerbatimPlacement& placement);
CodecResult<void> decode_field(cdr::BufferReader& r, OptionalAppliedAnnotationSeq& seq);
CodecResult<void> decode_field(cdr::BufferReader& r, AppliedBuiltinTypeAnnotations& a);
CodecResult<void> decode_opaque(cdr::BufferReader& r, std::vector<std::uint8_t>& bytes);

template <typename Tag>
CodecResult<void> encode_field(cdr::BufferWriter& w, const Opaque<Tag>& o) {
  return encode_opaque(w, o.bytes, Tag::too_long);
}
template <typename Tag>
CodecResult<void> decode_field(cdr::BufferReader& r, Opaque<Tag>& o) {
  return decode_opaque(r, o.bytes);
}

template <WireRecord T>
CodecResult<void> encode_field(cdr::BufferWriter& w, const T& record);
template <WireRecord T>
CodecResult<void> decode_field(cdr::BufferReader& r, T& record);

// Decodes `count` values one after another, handing each to `keep`; stops at the first error.
template <typename T, typename Keep>
CodecResult<void> decode_each(cdr::BufferReader& r, std::uint32_t count, Keep keep) {
  for (std::uint32_t i = 0; i < count; ++i) {
    T value{};
    if (auto ok = decode_field(r, value); !ok) return ok;
    keep(std::move(value));
  }
  return {};
}

template <typename T>
CodecResult<void> encode_field(cdr::BufferWriter& w, const std::vector<T>& seq) {
  if (auto ok = encode_count(w, seq.size()); !ok) return ok;
  for (const T& element : seq)
    if (auto ok = encode_field(w, element); !ok) return ok;
  return {};
}

template <typename T>
CodecResult<void> decode_field(cdr::BufferReader& r, std::vector<T>& seq) {
  auto count = r.read_u32();
  if (!count) return std::unexpected(count.error());
  seq.clear();
  // A forged count reserves no more than the input could hold, and never more than the cap.
  seq.reserve(std::min<std::size_t>({*count, r.remaining(), max_sequence_reservation}));
  return decode_each<T>(r, *count, [&](T&& element) { seq.push_back(std::move(element)); });
}

template <typename T>
CodecResult<void> encode_field(cdr::BufferWriter& w, const std::optional<T>& value) {
  w.write_u32(value ? 1 : 0);
  if (!value) return {};
  return encode_field(w, *value);
}

CodecResult<void> decode_presence_at_most_one(cdr::BufferReader& r, bool& present);

template <typename T>
CodecResult<void> decode_field(cdr::BufferReader& r, std::optional<T>& value) {
  bool present = false;
  if (auto ok = decode_presence_at_most_one(r, present); !ok) return ok;
  value.reset();
  if (!present) return {};
  T decoded{};
  if (auto ok = decode_field(r, decoded); !ok) return ok;
  value = std::move(decoded);
  return {};
}

// Any presence count is taken as it is: n values are read and the last one is kept.
template <typename T>
CodecResult<void> decode_last_of(cdr::BufferReader& r, std::optional<T>& value) {
  auto count = r.read_u32();
  if (!count) return std::unexpected(count.error());
  value.reset();
  // Every value is at least four bytes long, so a forged count ends at the input's end.
  return decode_each<T>(r, *count, [&](T&& decoded) { value = std::move(decoded); });
}

template <WireRecord T>
CodecResult<void> encode_field(cdr::BufferWriter& w, const T& record) {
  CodecResult<void> result{};
  std::apply([&](const auto&... field) { (void)((result = encode_field(w, field)) && ...); },
             T::fields(record));
  return result;
}

template <WireRecord T>
CodecResult<void> decode_field(cdr::BufferReader& r, T& record) {
  CodecResult<void> result{};
  std::apply([&](auto&... field) { (void)((result = decode_field(r, field)) && ...); },
             T::fields(record));
  return result;
}

// A type object union: the kind byte from `type_kind_codes`, then the alternative.
template <typename Variant>
CodecResult<void> encode_type_kind(cdr::BufferWriter& w, const Variant& value) {
  w.write_u8(type_kind_codes[value.index()]);
  return std::visit([&](const auto& alternative) { return encode_field(w, alternative); }, value);
}

template <typename Variant, std::size_t... I>
CodecResult<Variant> decode_alternative(cdr::BufferReader& r, std::size_t index,
                                        std::index_sequence<I...>) {
  CodecResult<Variant> out{};
  auto decode_as = [&]<std::size_t K>() {
    std::variant_alternative_t<K, Variant> alternative{};
    if (auto ok = decode_field(r, alternative); !ok) {
      out = std::unexpected(ok.error());
    } else {
      out = Variant{std::in_place_index<K>, std::move(alternative)};
    }
  };
  (void)((index == I ? (decode_as.template operator()<I>(), true) : false) || ...);
  return out;
}

// Fails with InvalidValue carrying the byte when it names no alternative.
CodecResult<std::size_t> decode_type_kind_index(cdr::BufferReader& r);

template <typename Variant>
CodecResult<Variant> decode_type_kind(cdr::BufferReader& r) {
  auto index = decode_type_kind_index(r);
  if (!index) return std::unexpected(index.error());
  return decode_alternative<Variant>(r, *index,
                                     std::make_index_sequence<std::variant_size_v<Variant>>{});
}

}  // namespace nimbrel::types
