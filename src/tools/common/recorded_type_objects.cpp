#include "tools/common/recorded_type_objects.hpp"

#include <algorithm>

#include "cdr/buffer.hpp"
#include "types/type_object_xcdr2.hpp"

namespace nimbrel::tools {

std::optional<std::vector<std::byte>> from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<std::byte> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int high = digit(hex[2 * i]);
    const int low = digit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out[i] = static_cast<std::byte>(high << 4 | low);
  }
  return out;
}

std::optional<types::TypeIdentifier> identifier_from_hex(std::string_view hex) {
  const auto bytes = from_hex(hex);
  if (!bytes || bytes->empty()) return std::nullopt;
  cdr::BufferReader reader(*bytes, true);
  auto id = types::TypeIdentifier::decode(reader);
  if (!id) return std::nullopt;
  return std::move(*id);
}

std::string_view metadata_value(const recorder::StringPairs& pairs, std::string_view key) {
  const auto it = std::ranges::find_if(pairs, [&](const auto& p) { return p.first == key; });
  return it == pairs.end() ? std::string_view{} : std::string_view(it->second);
}

std::vector<RecordedTypeObject> recorded_type_objects(
    const std::vector<recorder::McapMetadata>& metadata, std::size_t first) {
  std::vector<RecordedTypeObject> out;
  for (std::size_t i = first; i < metadata.size(); ++i) {
    const auto& record = metadata[i];
    if (record.name != type_object_metadata) continue;
    if (metadata_value(record.values, "encoding") != "xcdr2") continue;
    auto id = identifier_from_hex(metadata_value(record.values, "type_identifier"));
    auto bytes = from_hex(metadata_value(record.values, "data"));
    if (!id || !bytes || !types::xcdr2_matches_identifier(*bytes, *id)) continue;
    out.push_back({std::move(*id), std::move(*bytes)});
  }
  return out;
}

}  // namespace nimbrel::tools
