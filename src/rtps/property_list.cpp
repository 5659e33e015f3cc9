#include "rtps/property_list.hpp"

#include <algorithm>

namespace nimbrel::rtps {

namespace {

// Two strings of at least a length field and a NUL each.
constexpr std::size_t min_property_size = 10;

CodecResult<void> check_property(const WireProperty& property) {
  if (property.name.size() > WirePropertyList::max_property_string_len ||
      property.value.size() > WirePropertyList::max_property_string_len) {
    return std::unexpected(
        CodecError::resource_limit("PropertyList: string exceeds MAX_PROPERTY_STRING_LEN"));
  }
  // An inner NUL would end the text early for every reader.
  if (property.name.find('\0') != std::string::npos ||
      property.value.find('\0') != std::string::npos) {
    return std::unexpected(CodecError::malformed("PropertyList: string contains inner null byte"));
  }
  return {};
}

}  // namespace

CodecResult<std::string> read_property_string(WireReader& reader) {
  return reader.read_cdr_string(WirePropertyList::max_property_string_len,
                                "CDR string exceeds MAX_PROPERTY_STRING_LEN");
}

CodecResult<void> WirePropertyList::encode(WireWriter& w) const {
  if (properties.size() > max_properties) {
    return std::unexpected(CodecError::resource_limit("PropertyList: exceeds MAX_PROPERTIES"));
  }
  const std::size_t origin = w.size();
  w.write_u32(static_cast<std::uint32_t>(properties.size()));
  for (const auto& property : properties) {
    if (auto ok = check_property(property); !ok) return std::unexpected(ok.error());
    for (const auto* text : {&property.name, &property.value}) {
      if (auto ok = w.write_cdr_string(*text); !ok) return ok;
      w.pad_to(4, origin);
    }
  }
  w.write_u32(0);  // binary properties are never sent
  return {};
}

CodecResult<WirePropertyList> WirePropertyList::decode(WireReader& r) {
  // Padding cut off before a field makes its read name the offset where it was due.
  const auto string = [&]() -> CodecResult<std::string> {
    auto text = read_property_string(r);
    if (text) r.align_due(4);
    return text;
  };

  std::uint32_t count = 0;
  NIMBREL_READ_OR_RETURN(count, r.read_u32());
  if (count > max_properties) {
    return std::unexpected(
        CodecError::resource_limit("PropertyList: count exceeds MAX_PROPERTIES", r.position() - 4));
  }
  WirePropertyList list;
  list.properties.reserve(std::min<std::size_t>(count, r.remaining() / min_property_size));
  for (std::uint32_t i = 0; i < count; ++i) {
    WireProperty property;
    NIMBREL_READ_OR_RETURN(property.name, string());
    NIMBREL_READ_OR_RETURN(property.value, string());
    list.properties.push_back(std::move(property));
  }

  std::uint32_t binary_count = 0;
  NIMBREL_READ_OR_RETURN(binary_count, r.read_u32());
  if (binary_count > max_properties) {
    return std::unexpected(CodecError::resource_limit(
        "PropertyList: binary count exceeds MAX_PROPERTIES", r.position() - 4));
  }
  for (std::uint32_t i = 0; i < binary_count; ++i) {
    if (auto name = string(); !name) return std::unexpected(name.error());
    std::uint32_t length = 0;
    NIMBREL_READ_OR_RETURN(length, r.read_u32());
    if (length > max_binary_value_len) {
      return std::unexpected(
          CodecError::resource_limit("PropertyList: binary value exceeds cap", r.position() - 4));
    }
    if (auto value = r.read_bytes(length); !value) return std::unexpected(value.error());
    r.align_due(4);
  }
  return list;
}

}  // namespace nimbrel::rtps
