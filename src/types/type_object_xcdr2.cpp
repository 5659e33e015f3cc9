#include "types/type_object_xcdr2.hpp"

#include <algorithm>
#include <array>

#include "foundation/md5.hpp"
#include "types/detail/standard_codec.hpp"

namespace nimbrel::types {

namespace {

using detail::Form;

// The standard TK_ codes, by alternative as type_kind_codes orders them; the private form numbers
// annotations, structures, unions and bitsets differently.
constexpr std::array<std::uint8_t, 10> standard_kind_codes = {0x30, 0x50, 0x51, 0x52, 0x53,
                                                              0x60, 0x61, 0x62, 0x40, 0x41};
constexpr std::size_t annotation_index = 1;

template <typename Alternative>
CodecResult<void> put_alternative(cdr::BufferWriter& w, const Alternative& alternative) {
  if constexpr (detail::StandardRecord<Alternative>) {
    return detail::put_record(w, alternative);
  } else {
    return std::unexpected(
        CodecError::out_of_range("annotation type objects have no standard form"));
  }
}

// Minimal and complete objects are final unions: the kind byte, then the alternative.
template <typename Object>
CodecResult<void> put_object(cdr::BufferWriter& w, const Object& object) {
  w.write_u8(standard_kind_codes[object.value.index()]);
  return std::visit([&](const auto& alternative) { return put_alternative(w, alternative); },
                    object.value);
}

template <typename Variant, std::size_t... I>
CodecResult<Variant> get_alternative(cdr::BufferReader& r, Form f, std::size_t index,
                                     std::index_sequence<I...>) {
  CodecResult<Variant> out{};
  auto get_as = [&]<std::size_t K>() {
    using Alternative = std::variant_alternative_t<K, Variant>;
    if constexpr (detail::StandardRecord<Alternative>) {
      Alternative alternative{};
      if (auto ok = detail::get_record(r, f, alternative); !ok) {
        out = std::unexpected(ok.error());
      } else {
        out = Variant{std::in_place_index<K>, std::move(alternative)};
      }
    }
  };
  (void)((index == I ? (get_as.template operator()<I>(), true) : false) || ...);
  return out;
}

template <typename Object>
CodecResult<TypeObject> get_object(cdr::BufferReader& r, Form f) {
  const std::size_t at = r.position();
  auto code = r.read_u8();
  if (!code) return std::unexpected(code.error());
  const auto* found = std::ranges::find(standard_kind_codes, *code);
  if (found == standard_kind_codes.end())
    return std::unexpected(CodecError::invalid_value(*code, at));
  const auto index = static_cast<std::size_t>(found - standard_kind_codes.begin());
  if (index == annotation_index)
    return std::unexpected(CodecError::unsupported("annotation type object", at));
  using Variant = typename Object::Value;
  auto value = get_alternative<Variant>(r, f, index,
                                        std::make_index_sequence<std::variant_size_v<Variant>>{});
  if (!value) return std::unexpected(value.error());
  return TypeObject{Object{std::move(*value)}};
}

// The equivalence kind, then the minimal or complete object.
CodecResult<TypeObject> get_tagged(cdr::BufferReader& r, Form f) {
  const std::size_t at = r.position();
  auto kind = r.read_u8();
  if (!kind) return std::unexpected(kind.error());
  if (*kind == ek_minimal) return get_object<MinimalTypeObject>(r, f);
  if (*kind == ek_complete) return get_object<CompleteTypeObject>(r, f);
  return std::unexpected(CodecError::invalid_value(*kind, at));
}

CodecResult<TypeObject> whole(cdr::BufferReader& r, CodecResult<TypeObject> object) {
  if (object && r.remaining() != 0)
    return std::unexpected(CodecError::malformed("bytes after the type object", r.position()));
  return object;
}

}  // namespace

CodecResult<void> encode_xcdr2(cdr::BufferWriter& writer, const TypeObject& object) {
  // The object is an appendable union, so it opens with a DHEADER.
  return detail::put_delimited(writer, [&](cdr::BufferWriter& inner) -> CodecResult<void> {
    if (const auto* minimal = std::get_if<MinimalTypeObject>(&object.value)) {
      inner.write_u8(ek_minimal);
      return put_object(inner, *minimal);
    }
    inner.write_u8(ek_complete);
    return put_object(inner, std::get<CompleteTypeObject>(object.value));
  });
}

CodecResult<TypeObject> decode_xcdr2(cdr::BufferReader& reader) {
  CodecResult<TypeObject> out{};
  auto ok = detail::get_delimited(reader, Form::Xcdr2, [&]() -> CodecResult<void> {
    out = get_tagged(reader, Form::Xcdr2);
    if (!out) return std::unexpected(out.error());
    return {};
  });
  if (!ok) return std::unexpected(ok.error());
  return out;
}

CodecResult<std::vector<std::byte>> encode_xcdr2(const TypeObject& object, bool little_endian) {
  cdr::BufferWriter writer(little_endian);
  if (auto ok = encode_xcdr2(writer, object); !ok) return std::unexpected(ok.error());
  return std::move(writer).take();
}

CodecResult<TypeObject> decode_xcdr2(std::span<const std::byte> bytes, bool little_endian) {
  cdr::BufferReader reader(bytes, little_endian);
  return whole(reader, decode_xcdr2(reader));
}

CodecResult<TypeObject> decode_fastdds_type_object(std::span<const std::byte> parameter_value) {
  return detail::decode_encapsulated<TypeObject>(
      parameter_value, [](cdr::BufferReader& r) { return get_tagged(r, Form::FastDds); });
}

CodecResult<TypeIdentifier> type_identifier_of_xcdr2(std::span<const std::byte> encoded) {
  if (encoded.size() < 5) return std::unexpected(CodecError::eof(5, encoded.size()));
  const auto kind = static_cast<std::uint8_t>(encoded[4]);
  if (kind != ek_minimal && kind != ek_complete)
    return std::unexpected(CodecError::invalid_value(kind, 4));
  const Md5Digest digest = md5(encoded);
  EquivalenceHash hash;
  std::copy_n(digest.begin(), hash.size, hash.bytes.begin());
  if (kind == ek_minimal) return TypeIdentifier{TypeIdentifier::EquivalenceHashMinimal{hash}};
  return TypeIdentifier{TypeIdentifier::EquivalenceHashComplete{hash}};
}

bool xcdr2_matches_identifier(std::span<const std::byte> encoded, const TypeIdentifier& id) {
  auto computed = type_identifier_of_xcdr2(encoded);
  return computed && *computed == id;
}

}  // namespace nimbrel::types
