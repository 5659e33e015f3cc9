#include "types/type_object/common.hpp"

#include <cstring>

namespace nimbrel::types {

using cdr::BufferReader;
using cdr::BufferWriter;

namespace {

constexpr std::array<const char*, 4> placement_names = {"BEFORE_DECLARATION", "AFTER_DECLARATION",
                                                        "BEGIN_FILE", "END_FILE"};

template <typename T>
CodecResult<void> store(const CodecResult<T>& read, T& out) {
  if (!read) return std::unexpected(read.error());
  out = *read;
  return {};
}

}  // namespace

VerbatimPlacement VerbatimPlacement::from_text(std::string text) {
  for (std::size_t i = 0; i < placement_names.size(); ++i)
    if (text == placement_names[i]) return {.kind = static_cast<Kind>(i)};
  return {.kind = Kind::Other, .other_text = std::move(text)};
}

std::string VerbatimPlacement::text() const {
  if (kind == Kind::Other) return other_text;
  return placement_names[static_cast<std::size_t>(kind)];
}

CodecResult<void> encode_count(BufferWriter& w, std::size_t count, const char* too_long) {
  if (count > std::numeric_limits<std::uint32_t>::max())
    return std::unexpected(CodecError::out_of_range(too_long));
  w.write_u32(static_cast<std::uint32_t>(count));
  return {};
}

CodecResult<void> encode_field(BufferWriter& w, const NameHash& hash) {
  w.write_bytes(std::as_bytes(std::span(hash)));
  return {};
}

CodecResult<void> encode_field(BufferWriter& w, const UnionLabels& labels) {
  if (auto ok =
          encode_count(w, labels.values.size(), "union label sequence length exceeds u32::MAX");
      !ok)
    return ok;
  for (std::int32_t label : labels.values)
    w.write_i32(label);
  return {};
}

CodecResult<void> encode_field(BufferWriter& w, const VerbatimPlacement& placement) {
  return w.write_string(placement.text());
}

CodecResult<void> encode_field(BufferWriter& w, const OptionalAppliedAnnotationSeq& seq) {
  return encode_field(w, seq.annotations);
}

CodecResult<void> encode_field(BufferWriter& w, const AppliedBuiltinTypeAnnotations& a) {
  return encode_field(w, a.verbatim);
}

CodecResult<void> encode_opaque(BufferWriter& w, const std::vector<std::uint8_t>& bytes,
                                const char* too_long) {
  if (auto ok = encode_count(w, bytes.size(), too_long); !ok) return ok;
  w.write_bytes(std::as_bytes(std::span(bytes)));
  return {};
}

CodecResult<void> decode_field(BufferReader& r, std::uint8_t& v) {
  return store(r.read_u8(), v);
}
CodecResult<void> decode_field(BufferReader& r, std::uint16_t& v) {
  return store(r.read_u16(), v);
}
CodecResult<void> decode_field(BufferReader& r, std::uint32_t& v) {
  return store(r.read_u32(), v);
}
CodecResult<void> decode_field(BufferReader& r, std::int32_t& v) {
  return store(r.read_i32(), v);
}

CodecResult<void> decode_field(BufferReader& r, std::string& s) {
  auto text = r.read_string();
  if (!text) return std::unexpected(text.error());
  s = std::move(*text);
  return {};
}

CodecResult<void> decode_field(BufferReader& r, TypeIdentifier& id) {
  // Each embedded identifier starts its own nesting count.
  auto decoded = TypeIdentifier::decode(r, 0);
  if (!decoded) return std::unexpected(decoded.error());
  id = std::move(*decoded);
  return {};
}

CodecResult<void> decode_field(BufferReader& r, NameHash& hash) {
  auto raw = r.read_bytes(hash.size());
  if (!raw) return std::unexpected(raw.error());
  std::memcpy(hash.data(), raw->data(), hash.size());
  return {};
}

CodecResult<void> decode_field(BufferReader& r, UnionLabels& labels) {
  return decode_field(r, labels.values);
}

CodecResult<void> decode_field(BufferReader& r, VerbatimPlacement& placement) {
  std::string text;
  if (auto ok = decode_field(r, text); !ok) return ok;
  placement = VerbatimPlacement::from_text(std::move(text));
  return {};
}

CodecResult<void> decode_field(BufferReader& r, OptionalAppliedAnnotationSeq& seq) {
  return decode_last_of(r, seq.annotations);
}

CodecResult<void> decode_field(BufferReader& r, AppliedBuiltinTypeAnnotations& a) {
  return decode_last_of(r, a.verbatim);
}

CodecResult<void> decode_opaque(BufferReader& r, std::vector<std::uint8_t>& bytes) {
  auto length = r.read_u32();
  if (!length) return std::unexpected(length.error());
  // read_bytes checks the length against the input before anything is copied.
  auto raw = r.read_bytes(*length);
  if (!raw) return std::unexpected(raw.error());
  const auto* first = reinterpret_cast<const std::uint8_t*>(raw->data());
  bytes.assign(first, first + raw->size());
  return {};
}

CodecResult<void> decode_presence_at_most_one(BufferReader& r, bool& present) {
  if (auto aligned = r.align(4); !aligned) return aligned;
  const std::size_t at = r.position();
  auto count = r.read_u32();
  if (!count) return std::unexpected(count.error());
  if (*count > 1) {
    return std::unexpected(
        CodecError::with_message(CodecError::Kind::InvalidOptional, "presence count above 1", at));
  }
  present = *count == 1;
  return {};
}

CodecResult<std::size_t> decode_type_kind_index(BufferReader& r) {
  const std::size_t at = r.position();
  auto code = r.read_u8();
  if (!code) return std::unexpected(code.error());
  const auto* it = std::ranges::find(type_kind_codes, *code);
  if (it == type_kind_codes.end()) {
    return std::unexpected(CodecError::invalid_value(*code, at));
  }
  return static_cast<std::size_t>(it - type_kind_codes.begin());
}

}  // namespace nimbrel::types
