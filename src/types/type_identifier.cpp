#include "types/type_identifier.hpp"

#include <algorithm>
#include <limits>

namespace nimbrel::types {

using cdr::BufferReader;
using cdr::BufferWriter;

namespace {

// Discriminators of the TypeIdentifier union, DDS-XTypes 1.3 section 7.3.4.2.
namespace disc {
constexpr std::uint8_t none = 0x00;
constexpr std::uint8_t string8_small = 0x70;
constexpr std::uint8_t string8_large = 0x71;
constexpr std::uint8_t string16_small = 0x72;
constexpr std::uint8_t string16_large = 0x73;
constexpr std::uint8_t plain_sequence_small = 0x80;
constexpr std::uint8_t plain_sequence_large = 0x81;
constexpr std::uint8_t plain_array_small = 0x90;
constexpr std::uint8_t plain_array_large = 0x91;
constexpr std::uint8_t plain_map_small = 0xA0;
constexpr std::uint8_t plain_map_large = 0xA1;
constexpr std::uint8_t strongly_connected_component = 0xB0;
constexpr std::uint8_t ek_minimal = 0xF1;
constexpr std::uint8_t ek_complete = 0xF2;
}  // namespace disc

// Indexed by PrimitiveKind.
constexpr std::array<std::uint8_t, 15> primitive_wire_codes = {
    0x01,  // Boolean
    0x02,  // Byte
    0x0C,  // Int8
    0x03,  // Int16
    0x04,  // Int32
    0x05,  // Int64
    0x0D,  // UInt8
    0x06,  // UInt16
    0x07,  // UInt32
    0x08,  // UInt64
    0x09,  // Float32
    0x0A,  // Float64
    0x0B,  // Float128
    0x10,  // Char8
    0x11,  // Char16
};

const CodecError array_dimensions_error =
    CodecError::out_of_range("plain array dimensions length exceeds u32::MAX");
const CodecError scc_error = CodecError::out_of_range("SCC scc_length/scc_index invalid");

template <typename T>
std::unexpected<CodecError> fail(const CodecResult<T>& result) {
  return std::unexpected(result.error());
}

void write_hash(BufferWriter& writer, const EquivalenceHash& hash) {
  writer.write_bytes(std::as_bytes(std::span(hash.bytes)));
}

CodecResult<EquivalenceHash> read_hash(BufferReader& reader) {
  auto raw = reader.read_bytes(EquivalenceHash::size);
  if (!raw) return fail(raw);
  EquivalenceHash hash;
  std::ranges::transform(*raw, hash.bytes.begin(),
                         [](std::byte b) { return std::to_integer<std::uint8_t>(b); });
  return hash;
}

struct DiscriminatorOf {
  std::uint8_t operator()(const TypeIdentifier::None&) const { return disc::none; }
  std::uint8_t operator()(const TypeIdentifier::Primitive& p) const {
    return primitive_kind_to_wire(p.kind);
  }
  std::uint8_t operator()(const TypeIdentifier::String8Small&) const { return disc::string8_small; }
  std::uint8_t operator()(const TypeIdentifier::String8Large&) const { return disc::string8_large; }
  std::uint8_t operator()(const TypeIdentifier::String16Small&) const {
    return disc::string16_small;
  }
  std::uint8_t operator()(const TypeIdentifier::String16Large&) const {
    return disc::string16_large;
  }
  std::uint8_t operator()(const TypeIdentifier::PlainSequenceSmall&) const {
    return disc::plain_sequence_small;
  }
  std::uint8_t operator()(const TypeIdentifier::PlainSequenceLarge&) const {
    return disc::plain_sequence_large;
  }
  std::uint8_t operator()(const TypeIdentifier::PlainArraySmall&) const {
    return disc::plain_array_small;
  }
  std::uint8_t operator()(const TypeIdentifier::PlainArrayLarge&) const {
    return disc::plain_array_large;
  }
  std::uint8_t operator()(const TypeIdentifier::PlainMapSmall&) const {
    return disc::plain_map_small;
  }
  std::uint8_t operator()(const TypeIdentifier::PlainMapLarge&) const {
    return disc::plain_map_large;
  }
  std::uint8_t operator()(const TypeIdentifier::StronglyConnectedComponent&) const {
    return disc::strongly_connected_component;
  }
  std::uint8_t operator()(const TypeIdentifier::EquivalenceHashMinimal&) const {
    return disc::ek_minimal;
  }
  std::uint8_t operator()(const TypeIdentifier::EquivalenceHashComplete&) const {
    return disc::ek_complete;
  }
  std::uint8_t operator()(const TypeIdentifier::Unknown& u) const { return u.discriminator; }
};

// Writes the payload that follows the discriminator. Checks that can fail run before the
// discriminator goes out, so a failed encode leaves no half identifier behind.
struct PayloadEncoder {
  BufferWriter& w;

  CodecResult<void> operator()(const TypeIdentifier::None&) const { return {}; }
  CodecResult<void> operator()(const TypeIdentifier::Primitive&) const { return {}; }
  CodecResult<void> operator()(const TypeIdentifier::Unknown&) const { return {}; }
  CodecResult<void> operator()(const TypeIdentifier::String8Small& s) const {
    w.write_u8(s.bound);
    return {};
  }
  CodecResult<void> operator()(const TypeIdentifier::String8Large& s) const {
    w.write_u32(s.bound);
    return {};
  }
  CodecResult<void> operator()(const TypeIdentifier::String16Small& s) const {
    w.write_u8(s.bound);
    return {};
  }
  CodecResult<void> operator()(const TypeIdentifier::String16Large& s) const {
    w.write_u32(s.bound);
    return {};
  }
  CodecResult<void> operator()(const TypeIdentifier::PlainSequenceSmall& s) const {
    s.header.encode(w);
    w.write_u8(s.bound);
    return s.element->encode(w);
  }
  CodecResult<void> operator()(const TypeIdentifier::PlainSequenceLarge& s) const {
    s.header.encode(w);
    w.write_u32(s.bound);
    return s.element->encode(w);
  }
  CodecResult<void> operator()(const TypeIdentifier::PlainArraySmall& a) const {
    a.header.encode(w);
    w.write_u32(static_cast<std::uint32_t>(a.bounds.size()));
    w.write_bytes(std::as_bytes(std::span(a.bounds)));
    return a.element->encode(w);
  }
  CodecResult<void> operator()(const TypeIdentifier::PlainArrayLarge& a) const {
    a.header.encode(w);
    w.write_u32(static_cast<std::uint32_t>(a.bounds.size()));
    for (std::uint32_t bound : a.bounds)
      w.write_u32(bound);
    return a.element->encode(w);
  }
  CodecResult<void> operator()(const TypeIdentifier::PlainMapSmall& m) const {
    m.header.encode(w);
    w.write_u8(m.bound);
    if (auto element = m.element->encode(w); !element) return element;
    w.write_u16(m.key_flags);
    return m.key->encode(w);
  }
  CodecResult<void> operator()(const TypeIdentifier::PlainMapLarge& m) const {
    m.header.encode(w);
    w.write_u32(m.bound);
    if (auto element = m.element->encode(w); !element) return element;
    w.write_u16(m.key_flags);
    return m.key->encode(w);
  }
  CodecResult<void> operator()(const TypeIdentifier::StronglyConnectedComponent& scc) const {
    // The hash goes out bare, without the kind byte of its own.
    write_hash(w, scc.hash);
    w.write_i32(scc.scc_length);
    w.write_i32(scc.scc_index);
    return {};
  }
  CodecResult<void> operator()(const TypeIdentifier::EquivalenceHashMinimal& h) const {
    write_hash(w, h.hash);
    return {};
  }
  CodecResult<void> operator()(const TypeIdentifier::EquivalenceHashComplete& h) const {
    write_hash(w, h.hash);
    return {};
  }
};

CodecResult<void> check_encodable(const TypeIdentifier::Value& value) {
  if (const auto* a = std::get_if<TypeIdentifier::PlainArraySmall>(&value)) {
    if (a->bounds.size() > std::numeric_limits<std::uint32_t>::max())
      return std::unexpected(array_dimensions_error);
  } else if (const auto* l = std::get_if<TypeIdentifier::PlainArrayLarge>(&value)) {
    if (l->bounds.size() > std::numeric_limits<std::uint32_t>::max())
      return std::unexpected(array_dimensions_error);
  } else if (const auto* scc = std::get_if<TypeIdentifier::StronglyConnectedComponent>(&value)) {
    if (scc->scc_length < 0 ||
        static_cast<std::uint32_t>(scc->scc_index) >= static_cast<std::uint32_t>(scc->scc_length))
      return std::unexpected(scc_error);
  }
  return {};
}

CodecResult<TypeIdentifier> decode_element(BufferReader& reader, unsigned depth) {
  return TypeIdentifier::decode(reader, depth + 1);
}

template <typename Seq, typename ReadBound>
CodecResult<TypeIdentifier> decode_sequence(BufferReader& reader, unsigned depth,
                                            ReadBound read_bound) {
  auto header = PlainCollectionHeader::decode(reader);
  if (!header) return fail(header);
  auto bound = read_bound();
  if (!bound) return fail(bound);
  auto element = decode_element(reader, depth);
  if (!element) return fail(element);
  return TypeIdentifier{Seq{.header = *header, .bound = *bound, .element = std::move(*element)}};
}

template <typename Map, typename ReadBound>
CodecResult<TypeIdentifier> decode_map(BufferReader& reader, unsigned depth, ReadBound read_bound) {
  auto header = PlainCollectionHeader::decode(reader);
  if (!header) return fail(header);
  auto bound = read_bound();
  if (!bound) return fail(bound);
  auto element = decode_element(reader, depth);
  if (!element) return fail(element);
  auto key_flags = reader.read_u16();
  if (!key_flags) return fail(key_flags);
  auto key = decode_element(reader, depth);
  if (!key) return fail(key);
  return TypeIdentifier{Map{.header = *header,
                            .bound = *bound,
                            .element = std::move(*element),
                            .key_flags = *key_flags,
                            .key = std::move(*key)}};
}

CodecResult<TypeIdentifier> decode_array_small(BufferReader& reader, unsigned depth) {
  auto header = PlainCollectionHeader::decode(reader);
  if (!header) return fail(header);
  auto count = reader.read_u32();
  if (!count) return fail(count);
  // read_bytes checks the count against the input before anything is copied.
  auto raw = reader.read_bytes(*count);
  if (!raw) return fail(raw);
  std::vector<std::uint8_t> bounds(raw->size());
  std::ranges::transform(*raw, bounds.begin(),
                         [](std::byte b) { return std::to_integer<std::uint8_t>(b); });
  auto element = decode_element(reader, depth);
  if (!element) return fail(element);
  return TypeIdentifier{TypeIdentifier::PlainArraySmall{
      .header = *header, .bounds = std::move(bounds), .element = std::move(*element)}};
}

CodecResult<TypeIdentifier> decode_array_large(BufferReader& reader, unsigned depth) {
  auto header = PlainCollectionHeader::decode(reader);
  if (!header) return fail(header);
  auto count = reader.read_u32();
  if (!count) return fail(count);
  std::vector<std::uint32_t> bounds;
  // A forged count must not reserve more than the input could possibly hold.
  bounds.reserve(std::min<std::size_t>({*count, reader.remaining() / 4, 4096}));
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto bound = reader.read_u32();
    if (!bound) return fail(bound);
    bounds.push_back(*bound);
  }
  auto element = decode_element(reader, depth);
  if (!element) return fail(element);
  return TypeIdentifier{TypeIdentifier::PlainArrayLarge{
      .header = *header, .bounds = std::move(bounds), .element = std::move(*element)}};
}

CodecResult<TypeIdentifier> decode_scc(BufferReader& reader) {
  auto hash = read_hash(reader);
  if (!hash) return fail(hash);
  auto length = reader.read_i32();
  if (!length) return fail(length);
  auto index = reader.read_i32();
  if (!index) return fail(index);
  return TypeIdentifier{TypeIdentifier::StronglyConnectedComponent{
      .hash = *hash, .scc_length = *length, .scc_index = *index}};
}

template <typename Alternative>
CodecResult<TypeIdentifier> decode_hash(BufferReader& reader) {
  auto hash = read_hash(reader);
  if (!hash) return fail(hash);
  return TypeIdentifier{Alternative{.hash = *hash}};
}

}  // namespace

std::uint8_t primitive_kind_to_wire(PrimitiveKind kind) {
  return primitive_wire_codes[static_cast<std::size_t>(kind)];
}

std::optional<PrimitiveKind> primitive_kind_from_wire(std::uint8_t code) {
  const auto* it = std::ranges::find(primitive_wire_codes, code);
  if (it == primitive_wire_codes.end()) return std::nullopt;
  return static_cast<PrimitiveKind>(it - primitive_wire_codes.begin());
}

void PlainCollectionHeader::encode(BufferWriter& writer) const {
  writer.write_u8(equivalence_kind);
  writer.write_u16(element_flags);
}

CodecResult<PlainCollectionHeader> PlainCollectionHeader::decode(BufferReader& reader) {
  auto kind = reader.read_u8();
  if (!kind) return fail(kind);
  auto flags = reader.read_u16();
  if (!flags) return fail(flags);
  return PlainCollectionHeader{.equivalence_kind = *kind, .element_flags = *flags};
}

std::uint8_t TypeIdentifier::discriminator() const {
  return std::visit(DiscriminatorOf{}, value);
}

CodecResult<void> TypeIdentifier::encode(BufferWriter& writer) const {
  if (auto ok = check_encodable(value); !ok) return ok;
  writer.write_u8(discriminator());
  return std::visit(PayloadEncoder{writer}, value);
}

CodecResult<TypeIdentifier> TypeIdentifier::decode(BufferReader& reader, unsigned depth) {
  if (depth >= type_identifier_depth_limit) {
    return std::unexpected(CodecError{.kind = CodecError::Kind::DepthLimitExceeded,
                                      .offset = reader.position(),
                                      .limit = type_identifier_depth_limit});
  }
  auto code = reader.read_u8();
  if (!code) return fail(code);
  if (auto kind = primitive_kind_from_wire(*code)) return TypeIdentifier{Primitive{*kind}};
  switch (*code) {
    case disc::none:
      return TypeIdentifier{None{}};
    case disc::string8_small:
    case disc::string16_small: {
      auto bound = reader.read_u8();
      if (!bound) return fail(bound);
      if (*code == disc::string8_small) return TypeIdentifier{String8Small{*bound}};
      return TypeIdentifier{String16Small{*bound}};
    }
    case disc::string8_large:
    case disc::string16_large: {
      auto bound = reader.read_u32();
      if (!bound) return fail(bound);
      if (*code == disc::string8_large) return TypeIdentifier{String8Large{*bound}};
      return TypeIdentifier{String16Large{*bound}};
    }
    case disc::plain_sequence_small:
      return decode_sequence<PlainSequenceSmall>(reader, depth, [&] { return reader.read_u8(); });
    case disc::plain_sequence_large:
      return decode_sequence<PlainSequenceLarge>(reader, depth, [&] { return reader.read_u32(); });
    case disc::plain_array_small:
      return decode_array_small(reader, depth);
    case disc::plain_array_large:
      return decode_array_large(reader, depth);
    case disc::plain_map_small:
      return decode_map<PlainMapSmall>(reader, depth, [&] { return reader.read_u8(); });
    case disc::plain_map_large:
      return decode_map<PlainMapLarge>(reader, depth, [&] { return reader.read_u32(); });
    case disc::strongly_connected_component:
      return decode_scc(reader);
    case disc::ek_minimal:
      return decode_hash<EquivalenceHashMinimal>(reader);
    case disc::ek_complete:
      return decode_hash<EquivalenceHashComplete>(reader);
    default:
      // Unassigned codes, 0x0E and 0x0F included, are carried rather than rejected.
      return TypeIdentifier{Unknown{*code}};
  }
}

}  // namespace nimbrel::types
