#include "types/detail/sample_scalars.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "types/detail/json_text.hpp"

namespace nimbrel::types::detail {
namespace {

using Kind = SampleJsonError::Kind;

bool is_signed(PrimitiveKind kind) {
  return kind == PrimitiveKind::Int8 || kind == PrimitiveKind::Int16 ||
         kind == PrimitiveKind::Int32 || kind == PrimitiveKind::Int64;
}

std::int64_t sign_extend(std::uint64_t v, unsigned bits) {
  if (bits == 0 || bits >= 64) return static_cast<std::int64_t>(v);
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  return static_cast<std::int64_t>((v ^ sign) - sign);
}

// Bytes of a CDR string after its length; the closing NUL is dropped when present.
std::expected<std::span<const std::byte>, SampleJsonError> string_bytes(XcdrCursor& in,
                                                                        std::uint32_t bound,
                                                                        std::size_t unit) {
  auto length = in.read_u32();
  if (!length) return std::unexpected(length.error());
  if (*length > in.left()) {
    in.unread(4);
    return in.fail(Kind::Truncated, "string of " + std::to_string(*length) + " bytes past the end");
  }
  auto bytes = in.read_bytes(*length, 1);
  if (!bytes) return bytes;
  if (unit == 1 && !bytes->empty() && bytes->back() == std::byte{0})
    *bytes = bytes->first(bytes->size() - 1);
  if (bytes->size() % unit != 0) return in.fail(Kind::Malformed, "wide string of odd length");
  if (bound != 0 && bytes->size() / unit > bound)
    return in.fail(Kind::Malformed, "string longer than its bound " + std::to_string(bound));
  return bytes;
}

}  // namespace

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

std::size_t holder_size(unsigned bits) {
  if (bits <= 8) return 1;
  if (bits <= 16) return 2;
  if (bits <= 32) return 4;
  return 8;
}

SampleResult read_primitive(XcdrCursor& in, std::string& out, PrimitiveKind kind,
                            std::int64_t* integral) {
  const std::size_t size = primitive_size(kind);
  if (kind == PrimitiveKind::Float128) {
    auto bytes = in.read_bytes(size, size);
    if (!bytes) return std::unexpected(bytes.error());
    static constexpr char digits[] = "0123456789abcdef";
    out += "\"0x";
    for (std::size_t i = 0; i < size; ++i) {
      const auto b = static_cast<unsigned>((*bytes)[in.little_endian() ? size - 1 - i : i]);
      out += digits[b >> 4];
      out += digits[b & 0x0f];
    }
    out += '"';
    return {};
  }
  auto raw = in.read_uint(size);
  if (!raw) return std::unexpected(raw.error());
  const std::uint64_t v = *raw;
  const std::int64_t as_signed =
      is_signed(kind) ? sign_extend(v, 8 * unsigned(size)) : static_cast<std::int64_t>(v);
  switch (kind) {
    case PrimitiveKind::Boolean:
      if (v > 1) {
        in.unread(size);
        return in.fail(Kind::Malformed, "boolean " + std::to_string(v));
      }
      out += v ? "true" : "false";
      break;
    case PrimitiveKind::Float32:
      append_json_float(out, std::bit_cast<float>(static_cast<std::uint32_t>(v)));
      return {};
    case PrimitiveKind::Float64:
      append_json_double(out, std::bit_cast<double>(v));
      return {};
    case PrimitiveKind::Char8:
    case PrimitiveKind::Char16:
      // A char8 is taken as Latin-1: one byte, one code point.
      append_json_code_point(out, static_cast<std::uint32_t>(v));
      break;
    case PrimitiveKind::UInt64:
      append_json_uint(out, v);
      break;
    default:
      append_json_int(out, as_signed);
      break;
  }
  if (integral != nullptr) *integral = as_signed;
  return {};
}

SampleResult read_string8(XcdrCursor& in, std::string& out, std::uint32_t bound) {
  auto bytes = string_bytes(in, bound, 1);
  if (!bytes) return std::unexpected(bytes.error());
  append_json_string(out, *bytes);
  return {};
}

// Wide strings: a byte length, then UTF-16 code units without a terminator.
SampleResult read_string16(XcdrCursor& in, std::string& out, std::uint32_t bound) {
  auto bytes = string_bytes(in, bound, 2);
  if (!bytes) return std::unexpected(bytes.error());
  std::vector<std::uint16_t> units(bytes->size() / 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    const auto a = static_cast<std::uint16_t>((*bytes)[2 * i]);
    const auto b = static_cast<std::uint16_t>((*bytes)[2 * i + 1]);
    units[i] = static_cast<std::uint16_t>(in.little_endian() ? a | (b << 8) : (a << 8) | b);
  }
  if (!units.empty() && units.back() == 0) units.pop_back();
  append_json_utf16(out, units);
  return {};
}

SampleResult read_enum(XcdrCursor& in, std::string& out, const CompleteEnumeratedType& type,
                       std::int64_t* numeric) {
  const std::size_t size = holder_size(type.bit_bound);
  auto raw = in.read_uint(size);
  if (!raw) return std::unexpected(raw.error());
  const auto v = sign_extend(*raw, 8 * unsigned(size));
  for (const auto& literal : type.literals) {
    if (literal.value != v) continue;
    append_json_string(out, literal.detail.name);
    if (numeric != nullptr) *numeric = v;
    return {};
  }
  in.unread(size);
  return in.fail(Kind::UnknownValue, "unknown enum value " + std::to_string(v));
}

SampleResult read_bitmask(XcdrCursor& in, std::string& out, const CompleteBitmaskType& type) {
  const std::size_t size = holder_size(type.bit_bound);
  auto raw = in.read_uint(size);
  if (!raw) return std::unexpected(raw.error());
  std::uint64_t known = 0;
  out += '[';
  bool first = true;
  for (const auto& flag : type.flags) {
    if (flag.position >= 64) continue;
    const std::uint64_t bit = std::uint64_t{1} << flag.position;
    known |= bit;
    if (!(*raw & bit)) continue;
    if (!first) out += ',';
    first = false;
    append_json_string(out, flag.detail.name);
  }
  out += ']';
  if (*raw & ~known) {
    in.unread(size);
    return in.fail(Kind::UnknownValue, "unknown bitmask bits " + std::to_string(*raw & ~known));
  }
  return {};
}

SampleResult read_bitset(XcdrCursor& in, std::string& out, const CompleteBitsetType& type) {
  unsigned bits = 0;
  for (const auto& f : type.fields_seq)
    bits = std::max(bits, unsigned{f.position} + f.bitcount);
  if (bits > 64) return in.fail(Kind::Unsupported, "bitset of " + std::to_string(bits) + " bits");
  auto raw = in.read_uint(holder_size(bits));
  if (!raw) return std::unexpected(raw.error());
  out += '{';
  for (std::size_t i = 0; i < type.fields_seq.size(); ++i) {
    const auto& f = type.fields_seq[i];
    if (i) out += ',';
    append_json_string(out, f.detail.name);
    out += ':';
    const unsigned count = std::min(f.bitcount, std::uint8_t{64});
    const std::uint64_t mask = count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const std::uint64_t v = f.position >= 64 ? 0 : (*raw >> f.position) & mask;
    const auto kind = primitive_kind_from_wire(f.holder_type);
    if (kind == PrimitiveKind::Boolean)
      out += v ? "true" : "false";
    else if (kind && is_signed(*kind))
      append_json_int(out, sign_extend(v, count));
    else
      append_json_uint(out, v);
  }
  out += '}';
  return {};
}

}  // namespace nimbrel::types::detail
