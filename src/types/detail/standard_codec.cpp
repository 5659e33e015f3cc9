#include "types/detail/standard_codec.hpp"

#include <array>
#include <cstring>
#include <limits>

namespace nimbrel::types::detail {

namespace {

template <typename T>
CodecResult<void> store(const CodecResult<T>& read, T& out) {
  if (!read) return std::unexpected(read.error());
  out = *read;
  return {};
}

// Annotation parameter value kinds with a fixed size (DDS-XTypes 1.3 TK_ codes).
struct FixedKind {
  std::uint8_t code;
  std::uint8_t size;
};
constexpr std::array<FixedKind, 16> fixed_kinds = {{
    {0x01, 1},
    {0x02, 1},
    {0x0C, 1},
    {0x0D, 1},
    {0x10, 1},
    {0x03, 2},
    {0x06, 2},
    {0x11, 2},
    {0x04, 4},
    {0x07, 4},
    {0x09, 4},
    {0x40, 4},
    {0x05, 8},
    {0x08, 8},
    {0x0A, 8},
    {0x0B, 16},
}};
constexpr std::uint8_t kind_string8 = 0x20;
constexpr std::uint8_t kind_string16 = 0x21;

std::size_t fixed_size(std::uint8_t code) {
  for (const FixedKind& k : fixed_kinds)
    if (k.code == code) return k.size;
  return 0;
}

// Copies a value between wire order and the little-endian shape kept in the model.
void copy_ordered(const std::byte* from, std::size_t n, bool little_endian,
                  std::vector<std::uint8_t>& out) {
  for (std::size_t i = 0; i < n; ++i)
    out.push_back(static_cast<std::uint8_t>(from[little_endian ? i : n - 1 - i]));
}

std::uint32_t read_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

const CodecError bad_parameter_value =
    CodecError::out_of_range("annotation parameter value does not match its kind");

}  // namespace

CodecResult<void> put(BufferWriter& w, std::uint8_t v) {
  w.write_u8(v);
  return {};
}
CodecResult<void> put(BufferWriter& w, std::uint16_t v) {
  w.write_u16(v);
  return {};
}
CodecResult<void> put(BufferWriter& w, std::uint32_t v) {
  w.write_u32(v);
  return {};
}
CodecResult<void> put(BufferWriter& w, std::int32_t v) {
  w.write_i32(v);
  return {};
}
CodecResult<void> put(BufferWriter& w, const std::string& v) {
  return w.write_string(v);
}
CodecResult<void> put(BufferWriter& w, const TypeIdentifier& v) {
  return v.encode(w);
}
CodecResult<void> put(BufferWriter& w, const NameHash& v) {
  return encode_field(w, v);
}
CodecResult<void> put(BufferWriter& w, const UnionLabels& v) {
  return encode_field(w, v);
}
CodecResult<void> put(BufferWriter& w, const std::vector<std::uint32_t>& v) {
  if (auto ok = encode_count(w, v.size()); !ok) return ok;
  for (std::uint32_t bound : v)
    w.write_u32(bound);
  return {};
}
CodecResult<void> put(BufferWriter& w, const VerbatimPlacement& v) {
  return w.write_string(v.text());
}

CodecResult<void> put_presence(BufferWriter& w, bool present) {
  w.write_u8(present ? 1 : 0);
  return {};
}

CodecResult<void> put(BufferWriter& w, const OptionalAppliedAnnotationSeq& v) {
  if (auto ok = put_presence(w, v.annotations.has_value()); !ok) return ok;
  if (!v.annotations) return {};
  return put(w, *v.annotations);
}

// The model folds the optional member and its one optional field into one presence.
CodecResult<void> put(BufferWriter& w, const AppliedBuiltinTypeAnnotations& v) {
  if (auto ok = put_presence(w, v.verbatim.has_value()); !ok) return ok;
  if (!v.verbatim) return {};
  return put_delimited(w, [&](BufferWriter& inner) -> CodecResult<void> {
    inner.write_u8(1);
    return put(inner, *v.verbatim);
  });
}

CodecResult<void> put(BufferWriter& w, const AppliedBuiltinMemberAnnotations& v) {
  const bool present = v.unit || v.min || v.max || v.hash_id;
  if (auto ok = put_presence(w, present); !ok) return ok;
  if (!present) return {};
  return put_record(w, v);
}

CodecResult<void> put_parameter_value(BufferWriter& w, const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) {
    w.write_u8(0);
    return {};
  }
  const std::uint8_t kind = bytes[0];
  w.write_u8(kind);
  const std::uint8_t* value = bytes.data() + 1;
  const std::size_t size = bytes.size() - 1;
  if (const std::size_t n = fixed_size(kind); n != 0) {
    if (size != n) return std::unexpected(bad_parameter_value);
    w.align(std::min<std::size_t>(n, 4));
    std::vector<std::uint8_t> ordered;
    copy_ordered(reinterpret_cast<const std::byte*>(value), n, w.little_endian(), ordered);
    w.write_bytes(std::as_bytes(std::span(ordered)));
    return {};
  }
  if (kind == kind_string8 || kind == kind_string16) {
    if (size < 4 || read_le32(value) != size - 4) return std::unexpected(bad_parameter_value);
    w.write_u32(static_cast<std::uint32_t>(size - 4));
    if (kind == kind_string8) {
      w.write_bytes(std::as_bytes(std::span(value + 4, size - 4)));
      return {};
    }
    if (size % 2 != 0) return std::unexpected(bad_parameter_value);
    std::vector<std::uint8_t> ordered;
    for (std::size_t i = 4; i < size; i += 2)
      copy_ordered(reinterpret_cast<const std::byte*>(value + i), 2, w.little_endian(), ordered);
    w.write_bytes(std::as_bytes(std::span(ordered)));
    return {};
  }
  if (size != 0) return std::unexpected(bad_parameter_value);
  return {};
}

CodecResult<void> get(BufferReader& r, Form, std::uint8_t& v) {
  return store(r.read_u8(), v);
}
CodecResult<void> get(BufferReader& r, Form, std::uint16_t& v) {
  return store(r.read_u16(), v);
}
CodecResult<void> get(BufferReader& r, Form, std::uint32_t& v) {
  return store(r.read_u32(), v);
}
CodecResult<void> get(BufferReader& r, Form, std::int32_t& v) {
  return store(r.read_i32(), v);
}
CodecResult<void> get(BufferReader& r, Form, std::string& v) {
  return decode_field(r, v);
}
CodecResult<void> get(BufferReader& r, Form, TypeIdentifier& v) {
  return decode_field(r, v);
}
CodecResult<void> get(BufferReader& r, Form, NameHash& v) {
  return decode_field(r, v);
}
CodecResult<void> get(BufferReader& r, Form, UnionLabels& v) {
  return decode_field(r, v);
}
CodecResult<void> get(BufferReader& r, Form, std::vector<std::uint32_t>& v) {
  return decode_field(r, v);
}
CodecResult<void> get(BufferReader& r, Form, VerbatimPlacement& v) {
  return decode_field(r, v);
}

CodecResult<void> get_presence(BufferReader& r, Form f, bool& present) {
  if (f == Form::FastDds) {
    present = true;
    return {};
  }
  const std::size_t at = r.position();
  auto flag = r.read_u8();
  if (!flag) return std::unexpected(flag.error());
  if (*flag > 1) {
    return std::unexpected(
        CodecError::with_message(CodecError::Kind::InvalidOptional, "presence flag above 1", at));
  }
  present = *flag == 1;
  return {};
}

CodecResult<std::size_t> get_dheader(BufferReader& r) {
  auto length = r.read_u32();
  if (!length) return std::unexpected(length.error());
  if (*length > r.remaining()) return std::unexpected(CodecError::eof(*length, r.position()));
  return r.position() + *length;
}

CodecResult<void> close_dheader(BufferReader& r, std::size_t end) {
  if (r.position() > end)
    return std::unexpected(CodecError::malformed("member runs past its DHEADER", end));
  if (auto skipped = r.read_bytes(end - r.position()); !skipped)
    return std::unexpected(skipped.error());
  return {};
}

CodecResult<void> get(BufferReader& r, Form f, OptionalAppliedAnnotationSeq& v) {
  v.annotations.reset();
  bool present = false;
  if (auto ok = get_presence(r, f, present); !ok) return ok;
  if (!present) return {};
  std::vector<AppliedAnnotation> annotations;
  if (auto ok = get(r, f, annotations); !ok) return ok;
  // Fast DDS always writes the sequence; empty means none.
  if (f == Form::FastDds && annotations.empty()) return {};
  v.annotations = std::move(annotations);
  return {};
}

CodecResult<void> get(BufferReader& r, Form f, AppliedBuiltinTypeAnnotations& v) {
  v.verbatim.reset();
  if (f == Form::FastDds) {
    // Always written, as three strings; all empty means none.
    AppliedVerbatimAnnotation verbatim;
    if (auto ok = get_record(r, f, verbatim); !ok) return ok;
    if (!verbatim.placement.text().empty() || !verbatim.language.empty() || !verbatim.text.empty())
      v.verbatim = std::move(verbatim);
    return {};
  }
  bool present = false;
  if (auto ok = get_presence(r, Form::Xcdr2, present); !ok) return ok;
  if (!present) return {};
  return get_delimited(r, f, [&]() -> CodecResult<void> {
    bool inner = false;
    if (auto ok = get_presence(r, Form::Xcdr2, inner); !ok) return ok;
    if (!inner) return {};
    AppliedVerbatimAnnotation verbatim;
    if (auto ok = get_record(r, f, verbatim); !ok) return ok;
    v.verbatim = std::move(verbatim);
    return {};
  });
}

CodecResult<void> get(BufferReader& r, Form f, AppliedBuiltinMemberAnnotations& v) {
  v = {};
  bool present = false;
  if (auto ok = get_presence(r, f, present); !ok) return ok;
  if (!present) return {};
  return get_record(r, f, v);
}

CodecResult<void> get(BufferReader& r, Form f, std::optional<std::string>& v) {
  v.reset();
  bool present = false;
  if (auto ok = get_presence(r, f, present); !ok) return ok;
  if (!present) return {};
  std::string text;
  if (auto ok = decode_field(r, text); !ok) return ok;
  // Fast DDS writes an absent string as an empty one.
  if (f == Form::FastDds && text.empty()) return {};
  v = std::move(text);
  return {};
}

CodecResult<void> get_parameter_value(BufferReader& r, Form f, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  const std::size_t at = r.position();
  auto kind = r.read_u8();
  if (!kind) return std::unexpected(kind.error());
  if (*kind == 0) return {};
  bytes.push_back(*kind);
  if (const std::size_t n = fixed_size(*kind); n != 0) {
    // XCDR1 aligns eight-byte values to eight, XCDR2 to four.
    if (auto ok = r.align(std::min<std::size_t>(n, f == Form::Xcdr2 ? 4 : 8)); !ok) return ok;
    auto raw = r.read_bytes(n);
    if (!raw) return std::unexpected(raw.error());
    copy_ordered(raw->data(), n, r.little_endian(), bytes);
    return {};
  }
  if (*kind == kind_string8 || *kind == kind_string16) {
    if (*kind == kind_string16 && f != Form::Xcdr2)
      return std::unexpected(CodecError::unsupported("wide string annotation value", at));
    auto length = r.read_u32();
    if (!length) return std::unexpected(length.error());
    if (*kind == kind_string16 && *length % 2 != 0)
      return std::unexpected(CodecError::invalid_value(*length, at));
    auto raw = r.read_bytes(*length);
    if (!raw) return std::unexpected(raw.error());
    for (int i = 0; i < 4; ++i)
      bytes.push_back(static_cast<std::uint8_t>(*length >> (8 * i)));
    const std::size_t unit = *kind == kind_string8 ? 1 : 2;
    for (std::size_t i = 0; i < raw->size(); i += unit)
      copy_ordered(raw->data() + i, unit, r.little_endian(), bytes);
    return {};
  }
  return {};
}

}  // namespace nimbrel::types::detail
