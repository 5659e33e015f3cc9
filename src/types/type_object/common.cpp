#include "types/type_object/common.hpp"

#include <cstring>

namespace nimbrel::types {

using cdr::BufferReader;
using cdr::BufferWriter;
using cdr::CdrDecodeError;
using cdr::CdrEncodeError;
using cdr::EncodeResult;

namespace {

constexpr std::array<const char*, 4> placement_names = {"BEFORE_DECLARATION", "AFTER_DECLARATION",
                                                        "BEGIN_FILE", "END_FILE"};

template <typename T>
DecodeStatus store(const cdr::DecodeResult<T>& read, T& out) {
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

EncodeResult encode_count(BufferWriter& w, std::size_t count, const char* too_long) {
  if (count > std::numeric_limits<std::uint32_t>::max())
    return std::unexpected(CdrEncodeError{.message = too_long});
  w.write_u32(static_cast<std::uint32_t>(count));
  return {};
}

EncodeResult encode_field(BufferWriter& w, const NameHash& hash) {
  w.write_bytes(std::as_bytes(std::span(hash)));
  return {};
}

EncodeResult encode_field(BufferWriter& w, const UnionLabels& labels) {
  if (auto ok =
          encode_count(w, labels.values.size(), "union label sequence length exceeds u32::MAX");
      !ok)
    return ok;
  for (std::int32_t label : labels.values)
    w.write_i32(label);
  return {};
}

EncodeResult encode_field(BufferWriter& w, const VerbatimPlacement& placement) {
  return w.write_string(placement.text());
}

EncodeResult encode_field(BufferWriter& w, const OptionalAppliedAnnotationSeq& seq) {
  return encode_field(w, seq.annotations);
}

EncodeResult encode_field(BufferWriter& w, const AppliedBuiltinTypeAnnotations& a) {
  return encode_field(w, a.verbatim);
}

EncodeResult encode_opaque(BufferWriter& w, const std::vector<std::uint8_t>& bytes,
                           const char* too_long) {
  if (auto ok = encode_count(w, bytes.size(), too_long); !ok) return ok;
  w.write_bytes(std::as_bytes(std::span(bytes)));
  return {};
}

DecodeStatus decode_field(BufferReader& r, std::uint8_t& v) {
  return store(r.read_u8(), v);
}
DecodeStatus decode_field(BufferReader& r, std::uint16_t& v) {
  return store(r.read_u16(), v);
}
DecodeStatus decode_field(BufferReader& r, std::uint32_t& v) {
  return store(r.read_u32(), v);
}
DecodeStatus decode_field(BufferReader& r, std::int32_t& v) {
  return store(r.read_i32(), v);
}

DecodeStatus decode_field(BufferReader& r, std::string& s) {
  auto text = r.read_string();
  if (!text) return std::unexpected(text.error());
  s = std::move(*text);
  return {};
}

DecodeStatus decode_field(BufferReader& r, TypeIdentifier& id) {
  // Each embedded identifier starts its own nesting count.
  auto decoded = TypeIdentifier::decode_with_depth(r, 0);
  if (!decoded) return std::unexpected(decoded.error());
  id = std::move(*decoded);
  return {};
}

DecodeStatus decode_field(BufferReader& r, NameHash& hash) {
  auto raw = r.read_bytes(hash.size());
  if (!raw) return std::unexpected(raw.error());
  std::memcpy(hash.data(), raw->data(), hash.size());
  return {};
}

DecodeStatus decode_field(BufferReader& r, UnionLabels& labels) {
  return decode_field(r, labels.values);
}

DecodeStatus decode_field(BufferReader& r, VerbatimPlacement& placement) {
  std::string text;
  if (auto ok = decode_field(r, text); !ok) return ok;
  placement = VerbatimPlacement::from_text(std::move(text));
  return {};
}

DecodeStatus decode_field(BufferReader& r, OptionalAppliedAnnotationSeq& seq) {
  return decode_last_of(r, seq.annotations);
}

DecodeStatus decode_field(BufferReader& r, AppliedBuiltinTypeAnnotations& a) {
  return decode_last_of(r, a.verbatim);
}

DecodeStatus decode_opaque(BufferReader& r, std::vector<std::uint8_t>& bytes) {
  auto length = r.read_u32();
  if (!length) return std::unexpected(length.error());
  // read_bytes checks the length against the input before anything is copied.
  auto raw = r.read_bytes(*length);
  if (!raw) return std::unexpected(raw.error());
  const auto* first = reinterpret_cast<const std::uint8_t*>(raw->data());
  bytes.assign(first, first + raw->size());
  return {};
}

DecodeStatus decode_presence_at_most_one(BufferReader& r, bool& present) {
  if (auto aligned = r.align(4); !aligned) return aligned;
  const std::size_t at = r.position();
  auto count = r.read_u32();
  if (!count) return std::unexpected(count.error());
  if (*count > 1) {
    return std::unexpected(CdrDecodeError{.kind = CdrDecodeError::Kind::InvalidOptional,
                                          .offset = at,
                                          .limit = 1,
                                          .value = *count,
                                          .message = "presence count above 1"});
  }
  present = *count == 1;
  return {};
}

cdr::DecodeResult<std::size_t> decode_type_kind_index(BufferReader& r) {
  const std::size_t at = r.position();
  auto code = r.read_u8();
  if (!code) return std::unexpected(code.error());
  const auto* it = std::ranges::find(type_kind_codes, *code);
  if (it == type_kind_codes.end()) {
    return std::unexpected(
        CdrDecodeError{.kind = CdrDecodeError::Kind::InvalidValue, .offset = at, .value = *code});
  }
  return static_cast<std::size_t>(it - type_kind_codes.begin());
}

}  // namespace nimbrel::types
