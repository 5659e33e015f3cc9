#include "tools/rec/recorded_types.hpp"

#include "tools/common/recorded_type_objects.hpp"
#include "types/sample_json.hpp"
#include "types/type_object_xcdr2.hpp"

namespace nimbrel::rec {

void RecordedTypes::take(const std::vector<recorder::McapMetadata>& metadata) {
  for (auto& recorded : tools::recorded_type_objects(metadata, taken_)) {
    auto object = types::decode_xcdr2(recorded.bytes);
    if (!object) continue;
    registry_.add(recorded.id, std::move(*object));
  }
  taken_ = metadata.size();
}

std::expected<std::string, std::string> RecordedTypes::decode(
    const recorder::McapChannel& channel, std::span<const std::byte> sample) const {
  const auto named = tools::metadata_value(channel.metadata, "dds.type_identifier");
  if (named.empty()) return std::unexpected("no type recorded for this channel");
  const auto top = tools::identifier_from_hex(named);
  if (!top) return std::unexpected("dds.type_identifier is no type identifier");
  auto json = types::decode_sample_json(*top, registry_, sample);
  if (!json) return std::unexpected(types::to_string(json.error()));
  return std::move(*json);
}

}  // namespace nimbrel::rec
