#include "rtps/property_list.hpp"

#include <algorithm>
#include <limits>

#include "cdr/buffer.hpp"

namespace nimbrel::rtps {

namespace {

// Two strings of at least a length field and a NUL each.
constexpr std::size_t min_property_size = 10;

std::size_t align4(std::size_t n) {
  return (n + 3) / 4 * 4;
}

WireResult<void> check_property(const WireProperty& property) {
  if (property.name.size() > WirePropertyList::max_property_string_len ||
      property.value.size() > WirePropertyList::max_property_string_len) {
    return std::unexpected(
        WireError::malformed("PropertyList: string exceeds MAX_PROPERTY_STRING_LEN"));
  }
  // An inner NUL would end the text early for every reader.
  if (property.name.find('\0') != std::string::npos ||
      property.value.find('\0') != std::string::npos) {
    return std::unexpected(WireError::malformed("PropertyList: string contains inner null byte"));
  }
  return {};
}

}  // namespace

WireResult<void> write_cdr_string(WireWriter& writer, std::string_view text) {
  if (text.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(WireError::malformed("CDR string length exceeds u32::MAX"));
  }
  writer.write_u32(static_cast<std::uint32_t>(text.size() + 1));
  writer.write_bytes(text_bytes(text));
  writer.write_u8(0);
  return {};
}

WireResult<Decoded<std::string>> read_cdr_string(std::span<const std::byte> bytes,
                                                 std::size_t offset, bool little_endian) {
  WireReader r(bytes, little_endian);
  r.seek(offset);
  if (offset > bytes.size() || !r.has(4)) return std::unexpected(WireError::eof(4, offset));
  const std::uint32_t length = *r.read_u32();
  if (length == 0) {
    return std::unexpected(WireError::malformed("CDR string length 0 (missing null terminator)"));
  }
  if (length > WirePropertyList::max_property_string_len) {
    return std::unexpected(WireError::malformed("CDR string exceeds MAX_PROPERTY_STRING_LEN"));
  }
  auto raw = r.read_bytes(length);
  if (!raw) return std::unexpected(WireError::eof(length, offset + 4));
  if (raw->back() != std::byte{0}) {
    return std::unexpected(WireError::malformed("CDR string missing null terminator"));
  }
  const auto text = raw->first(length - 1);
  if (!cdr::is_valid_utf8(text)) {
    return std::unexpected(WireError::malformed("CDR string is not valid UTF-8"));
  }
  return Decoded<std::string>{std::string(reinterpret_cast<const char*>(text.data()), text.size()),
                              r.position()};
}

WireResult<std::vector<std::byte>> WirePropertyList::encode(bool little_endian) const {
  if (properties.size() > max_properties) {
    return std::unexpected(WireError::malformed("PropertyList: exceeds MAX_PROPERTIES"));
  }
  std::vector<std::byte> out;
  WireWriter w(out, little_endian);
  w.write_u32(static_cast<std::uint32_t>(properties.size()));
  for (const auto& property : properties) {
    if (auto ok = check_property(property); !ok) return std::unexpected(ok.error());
    for (const auto* text : {&property.name, &property.value}) {
      if (auto ok = write_cdr_string(w, *text); !ok) return std::unexpected(ok.error());
      w.pad_to(4);
    }
  }
  w.write_u32(0);  // binary properties are never sent
  return out;
}

WireResult<WirePropertyList> WirePropertyList::decode(std::span<const std::byte> bytes,
                                                      bool little_endian) {
  // Offsets run past the end when padding is cut off, so the next read names where it was due.
  const auto u32_at = [&](std::size_t at) -> WireResult<std::uint32_t> {
    if (at > bytes.size()) return std::unexpected(WireError::eof(4, at));
    WireReader r(bytes, little_endian);
    r.seek(at);
    return r.read_u32();
  };
  const auto string_at = [&](std::size_t& at) -> WireResult<std::string> {
    auto s = read_cdr_string(bytes, at, little_endian);
    if (!s) return std::unexpected(s.error());
    at = align4(s->end);
    return std::move(s->value);
  };

  const auto count = u32_at(0);
  if (!count) return std::unexpected(count.error());
  if (*count > max_properties) {
    return std::unexpected(WireError::malformed("PropertyList: count exceeds MAX_PROPERTIES"));
  }
  std::size_t pos = 4;
  WirePropertyList list;
  list.properties.reserve(std::min<std::size_t>(*count, (bytes.size() - pos) / min_property_size));
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto name = string_at(pos);
    if (!name) return std::unexpected(name.error());
    auto value = string_at(pos);
    if (!value) return std::unexpected(value.error());
    list.properties.push_back({std::move(*name), std::move(*value)});
  }

  const auto binary_count = u32_at(pos);
  if (!binary_count) return std::unexpected(binary_count.error());
  if (*binary_count > max_properties) {
    return std::unexpected(
        WireError::malformed("PropertyList: binary count exceeds MAX_PROPERTIES"));
  }
  pos += 4;
  for (std::uint32_t i = 0; i < *binary_count; ++i) {
    if (auto name = string_at(pos); !name) return std::unexpected(name.error());
    const auto length = u32_at(pos);
    if (!length) return std::unexpected(length.error());
    if (*length > max_binary_value_len) {
      return std::unexpected(WireError::malformed("PropertyList: binary value exceeds cap"));
    }
    pos += 4;
    if (*length > bytes.size() - pos) return std::unexpected(WireError::eof(*length, pos));
    pos = align4(pos + *length);
  }
  return list;
}

}  // namespace nimbrel::rtps
