#include "tools/rec/recorded_types.hpp"

#include <algorithm>

#include "cdr/buffer.hpp"
#include "types/sample_json.hpp"
#include "types/type_object_xcdr2.hpp"

namespace nimbrel::rec {
namespace {

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

std::optional<types::TypeIdentifier> identifier_of(std::string_view hex) {
  const auto bytes = from_hex(hex);
  if (!bytes || bytes->empty()) return std::nullopt;
  cdr::BufferReader reader(*bytes, true);
  auto id = types::TypeIdentifier::decode(reader);
  if (!id) return std::nullopt;
  return std::move(*id);
}

std::string_view value_of(const recorder::StringPairs& pairs, std::string_view key) {
  const auto it = std::ranges::find_if(pairs, [&](const auto& p) { return p.first == key; });
  return it == pairs.end() ? std::string_view{} : std::string_view(it->second);
}

}  // namespace

void RecordedTypes::take(const std::vector<recorder::McapMetadata>& metadata) {
  for (; taken_ < metadata.size(); ++taken_) {
    const auto& record = metadata[taken_];
    if (record.name != type_object_metadata) continue;
    if (value_of(record.values, "encoding") != "xcdr2") continue;
    const auto id = identifier_of(value_of(record.values, "type_identifier"));
    const auto bytes = from_hex(value_of(record.values, "data"));
    if (!id || !bytes || !types::xcdr2_matches_identifier(*bytes, *id)) continue;
    auto object = types::decode_xcdr2(*bytes);
    if (!object) continue;
    if (const auto* minimal = std::get_if<types::MinimalTypeObject>(&object->value)) {
      if (const auto* hash = std::get_if<types::TypeIdentifier::EquivalenceHashMinimal>(&id->value))
        registry_.minimal.emplace(hash->hash, *minimal);
    } else if (const auto* hash =
                   std::get_if<types::TypeIdentifier::EquivalenceHashComplete>(&id->value)) {
      registry_.complete.emplace(hash->hash, std::get<types::CompleteTypeObject>(object->value));
    }
  }
}

std::expected<std::string, std::string> RecordedTypes::decode(
    const recorder::McapChannel& channel, std::span<const std::byte> sample) const {
  const auto named = value_of(channel.metadata, "dds.type_identifier");
  if (named.empty()) return std::unexpected("no type recorded for this channel");
  const auto top = identifier_of(named);
  if (!top) return std::unexpected("dds.type_identifier is no type identifier");
  auto json = types::decode_sample_json(*top, registry_, sample);
  if (!json) return std::unexpected(types::to_string(json.error()));
  return std::move(*json);
}

}  // namespace nimbrel::rec
