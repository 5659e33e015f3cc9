// The walker behind the standard forms of type objects and type information: it codes a record
// through its `standard_layout` over its `fields`. XCDR2 is written and read; Fast DDS's XCDR1
// flavour is only read. Annotation parameter values travel in the model as opaque bytes, kept
// here in one order-free shape: the kind byte, then the value little-endian without padding
// (strings as a u32 length and their bytes); no bytes at all when the kind is 0.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cdr/buffer.hpp"
#include "types/type_identifier.hpp"
#include "types/type_object/common.hpp"

namespace nimbrel::types::detail {

using cdr::BufferReader;
using cdr::BufferWriter;

enum class Form : std::uint8_t { Xcdr2, FastDds };

template <typename T>
concept StandardRecord = WireRecord<T> && requires {
  typename T::standard_layout;
};

// ---- Leaves ------------------------------------------------------------------------------------

CodecResult<void> put(BufferWriter& w, std::uint8_t v);
CodecResult<void> put(BufferWriter& w, std::uint16_t v);
CodecResult<void> put(BufferWriter& w, std::uint32_t v);
CodecResult<void> put(BufferWriter& w, std::int32_t v);
CodecResult<void> put(BufferWriter& w, const std::string& v);
CodecResult<void> put(BufferWriter& w, const TypeIdentifier& v);
CodecResult<void> put(BufferWriter& w, const NameHash& v);
CodecResult<void> put(BufferWriter& w, const UnionLabels& v);
CodecResult<void> put(BufferWriter& w, const std::vector<std::uint32_t>& v);
CodecResult<void> put(BufferWriter& w, const VerbatimPlacement& v);
CodecResult<void> put(BufferWriter& w, const OptionalAppliedAnnotationSeq& v);
CodecResult<void> put(BufferWriter& w, const AppliedBuiltinTypeAnnotations& v);
CodecResult<void> put(BufferWriter& w, const AppliedBuiltinMemberAnnotations& v);
CodecResult<void> put_parameter_value(BufferWriter& w, const std::vector<std::uint8_t>& bytes);
CodecResult<void> put_presence(BufferWriter& w, bool present);

CodecResult<void> get(BufferReader& r, Form f, std::uint8_t& v);
CodecResult<void> get(BufferReader& r, Form f, std::uint16_t& v);
CodecResult<void> get(BufferReader& r, Form f, std::uint32_t& v);
CodecResult<void> get(BufferReader& r, Form f, std::int32_t& v);
CodecResult<void> get(BufferReader& r, Form f, std::string& v);
CodecResult<void> get(BufferReader& r, Form f, TypeIdentifier& v);
CodecResult<void> get(BufferReader& r, Form f, NameHash& v);
CodecResult<void> get(BufferReader& r, Form f, UnionLabels& v);
CodecResult<void> get(BufferReader& r, Form f, std::vector<std::uint32_t>& v);
CodecResult<void> get(BufferReader& r, Form f, VerbatimPlacement& v);
CodecResult<void> get(BufferReader& r, Form f, OptionalAppliedAnnotationSeq& v);
CodecResult<void> get(BufferReader& r, Form f, AppliedBuiltinTypeAnnotations& v);
CodecResult<void> get(BufferReader& r, Form f, AppliedBuiltinMemberAnnotations& v);
CodecResult<void> get(BufferReader& r, Form f, std::optional<std::string>& v);
CodecResult<void> get_parameter_value(BufferReader& r, Form f, std::vector<std::uint8_t>& bytes);
// XCDR2's one-byte flag, which fails unless it is 0 or 1; Fast DDS writes every optional member.
CodecResult<void> get_presence(BufferReader& r, Form f, bool& present);

// A DHEADER: the end of what it delimits, checked against the input.
CodecResult<std::size_t> get_dheader(BufferReader& r);
// Fails when the content ran past `end`; skips what a newer writer appended before it.
CodecResult<void> close_dheader(BufferReader& r, std::size_t end);

template <typename Tag>
CodecResult<void> put(BufferWriter& w, const Opaque<Tag>& v) {
  return put_parameter_value(w, v.bytes);
}
template <typename Tag>
CodecResult<void> get(BufferReader& r, Form f, Opaque<Tag>& v) {
  return get_parameter_value(r, f, v.bytes);
}

// Only annotation parameter values stand behind a std::optional in the model.
template <typename T>
CodecResult<void> put(BufferWriter& w, const std::optional<T>& v) {
  if (auto ok = put_presence(w, v.has_value()); !ok) return ok;
  if (!v) return {};
  return put(w, *v);
}
template <typename Tag>
CodecResult<void> get(BufferReader& r, Form f, std::optional<Opaque<Tag>>& v) {
  v.reset();
  bool present = false;
  if (auto ok = get_presence(r, f, present); !ok) return ok;
  if (!present) return {};
  Opaque<Tag> value;
  if (auto ok = get(r, f, value); !ok) return ok;
  // Fast DDS writes an absent value as kind 0.
  if (f == Form::FastDds && value.bytes.empty()) return {};
  v = std::move(value);
  return {};
}

// Fast DDS's parameters open with a CDR encapsulation header, CDR_BE (00 00) or CDR_LE (00 01);
// `decode` reads what follows it from a reader whose origin is past it. Offsets of errors count
// from the parameter's start; up to three bytes of padding may follow.
template <typename T, typename Decode>
CodecResult<T> decode_encapsulated(std::span<const std::byte> value, Decode decode) {
  if (value.size() < 4) return std::unexpected(CodecError::eof(4, 0));
  const auto id0 = static_cast<std::uint8_t>(value[0]);
  const auto id1 = static_cast<std::uint8_t>(value[1]);
  if (id0 != 0 || id1 > 1) {
    return std::unexpected(CodecError{.kind = CodecError::Kind::UnsupportedEncapsulation,
                                      .encapsulation = {id0, id1}});
  }
  BufferReader r(value.subspan(4), /*little_endian=*/id1 == 1);
  CodecResult<T> out = decode(r);
  if (out && r.remaining() > 3)
    out = std::unexpected(CodecError::malformed("bytes after the value", r.position()));
  if (!out) {
    CodecError error = out.error();
    error.offset += 4;
    return std::unexpected(error);
  }
  return out;
}

// ---- Appendable nesting ------------------------------------------------------------------------

// Writes what `body` writes behind its DHEADER. The body starts 4-aligned and XCDR2 aligns no
// wider than 4, so a fresh writer pads it exactly as the outer one would.
template <typename Body>
CodecResult<void> put_delimited(BufferWriter& w, Body body) {
  BufferWriter inner(w.little_endian());
  if (auto ok = body(inner); !ok) return ok;
  if (inner.size() > std::numeric_limits<std::uint32_t>::max())
    return std::unexpected(CodecError::out_of_range("DHEADER length exceeds u32::MAX"));
  w.write_u32(static_cast<std::uint32_t>(inner.size()));
  w.write_bytes(inner.bytes());
  return {};
}

template <typename Body>
CodecResult<void> get_delimited(BufferReader& r, Form f, Body body) {
  if (f != Form::Xcdr2) return body();
  auto end = get_dheader(r);
  if (!end) return std::unexpected(end.error());
  if (auto ok = body(); !ok) return ok;
  return close_dheader(r, *end);
}

// ---- Sequences of records ----------------------------------------------------------------------

template <StandardRecord T>
CodecResult<void> put(BufferWriter& w, const T& record);
template <StandardRecord T>
CodecResult<void> get(BufferReader& r, Form f, T& record);

// Elements that are not primitive put a DHEADER before the count.
template <typename T>
CodecResult<void> put(BufferWriter& w, const std::vector<T>& seq) {
  return put_delimited(w, [&](BufferWriter& inner) -> CodecResult<void> {
    if (auto ok = encode_count(inner, seq.size()); !ok) return ok;
    for (const T& element : seq)
      if (auto ok = put(inner, element); !ok) return ok;
    return {};
  });
}

template <typename T>
CodecResult<void> get(BufferReader& r, Form f, std::vector<T>& seq) {
  return get_delimited(r, f, [&]() -> CodecResult<void> {
    auto count = r.read_u32();
    if (!count) return std::unexpected(count.error());
    seq.clear();
    // Every element takes at least one byte, so a forged count runs out of input, not memory.
    seq.reserve(std::min<std::size_t>({*count, r.remaining(), max_sequence_reservation}));
    for (std::uint32_t i = 0; i < *count; ++i) {
      T element{};
      if (auto ok = get(r, f, element); !ok) return ok;
      seq.push_back(std::move(element));
    }
    return {};
  });
}

// ---- Records through their layout --------------------------------------------------------------

template <typename R>
using FieldsOf = decltype(R::fields(std::declval<R&>()));

template <template <typename...> typename Group, std::size_t... I>
Group<Part<I>...> all_parts(std::index_sequence<I...>);

template <typename R, typename Layout>
struct Expanded {
  using type = Layout;
};
template <typename R>
struct Expanded<R, FinalFields> {
  using type =
      decltype(all_parts<FinalGroup>(std::make_index_sequence<std::tuple_size_v<FieldsOf<R>>>{}));
};
template <typename R>
struct Expanded<R, AppendableFields> {
  using type = decltype(all_parts<AppendableGroup>(
      std::make_index_sequence<std::tuple_size_v<FieldsOf<R>>>{}));
};

// Groups nest in each other, so both are declared before either is defined.
template <typename R, typename... Parts>
CodecResult<void> put_part(BufferWriter& w, const R& r, AppendableGroup<Parts...>);
template <typename R, typename... Parts>
CodecResult<void> get_part(BufferReader& r, Form f, R& rec, AppendableGroup<Parts...>);

template <typename R, std::size_t I>
CodecResult<void> put_part(BufferWriter& w, const R& r, Part<I>) {
  return put(w, std::get<I>(R::fields(r)));
}
template <typename R, std::size_t I>
CodecResult<void> put_part(BufferWriter& w, const R& r, OptionalPart<I>) {
  w.write_u8(1);
  return put(w, std::get<I>(R::fields(r)));
}
template <typename R, std::size_t I>
CodecResult<void> put_part(BufferWriter& w, const R& r, NonEmptyPart<I>) {
  const auto& seq = std::get<I>(R::fields(r));
  w.write_u8(seq.empty() ? 0 : 1);
  if (seq.empty()) return {};
  return put(w, seq);
}
template <typename R, typename... Parts>
CodecResult<void> put_part([[maybe_unused]] BufferWriter& w, [[maybe_unused]] const R& r,
                           FinalGroup<Parts...>) {
  CodecResult<void> result{};
  (void)((result = put_part(w, r, Parts{})) && ...);
  return result;
}
template <typename R, typename... Parts>
CodecResult<void> put_part(BufferWriter& w, const R& r, AppendableGroup<Parts...>) {
  return put_delimited(
      w, [&](BufferWriter& inner) { return put_part(inner, r, FinalGroup<Parts...>{}); });
}

template <typename R, std::size_t I>
CodecResult<void> get_part(BufferReader& r, Form f, R& rec, Part<I>) {
  return get(r, f, std::get<I>(R::fields(rec)));
}
template <typename R, std::size_t I>
CodecResult<void> get_part(BufferReader& r, Form f, R& rec, OptionalPart<I>) {
  auto& field = std::get<I>(R::fields(rec));
  bool present = false;
  if (auto ok = get_presence(r, f, present); !ok) return ok;
  field = {};
  if (!present) return {};
  return get(r, f, field);
}
template <typename R, std::size_t I>
CodecResult<void> get_part(BufferReader& r, Form f, R& rec, NonEmptyPart<I>) {
  auto& seq = std::get<I>(R::fields(rec));
  bool present = false;
  if (auto ok = get_presence(r, f, present); !ok) return ok;
  seq.clear();
  if (!present) return {};
  return get(r, f, seq);
}
template <typename R, typename... Parts>
CodecResult<void> get_part([[maybe_unused]] BufferReader& r, [[maybe_unused]] Form f,
                           [[maybe_unused]] R& rec, FinalGroup<Parts...>) {
  CodecResult<void> result{};
  (void)((result = get_part(r, f, rec, Parts{})) && ...);
  return result;
}
template <typename R, typename... Parts>
CodecResult<void> get_part(BufferReader& r, Form f, R& rec, AppendableGroup<Parts...>) {
  return get_delimited(r, f, [&] { return get_part(r, f, rec, FinalGroup<Parts...>{}); });
}

// The plain record codec, beside the overloads that wrap some records as optional members.
template <StandardRecord T>
CodecResult<void> put_record(BufferWriter& w, const T& record) {
  return put_part(w, record, typename Expanded<T, typename T::standard_layout>::type{});
}
template <StandardRecord T>
CodecResult<void> get_record(BufferReader& r, Form f, T& record) {
  return get_part(r, f, record, typename Expanded<T, typename T::standard_layout>::type{});
}

template <StandardRecord T>
CodecResult<void> put(BufferWriter& w, const T& record) {
  return put_record(w, record);
}
template <StandardRecord T>
CodecResult<void> get(BufferReader& r, Form f, T& record) {
  return get_record(r, f, record);
}

}  // namespace nimbrel::types::detail
