#include "tools/replay/keyedness.hpp"

namespace nimbrel::replay {

bool choose_keyed(const std::map<rtps::Guid, rtps::SubscriptionBuiltinTopicData>& readers,
                  const std::string& topic, const std::string& type) {
  std::size_t keyed = 0;
  std::size_t keyless = 0;
  for (const auto& [guid, reader] : readers) {
    if (reader.topic_name != topic || reader.type_name != type) continue;
    if (guid.entity_id.entity_kind == rtps::EntityKind::UserReaderNoKey) ++keyless;
    if (guid.entity_id.entity_kind == rtps::EntityKind::UserReaderWithKey) ++keyed;
  }
  return keyless <= keyed;
}

std::size_t readers_of(const std::map<rtps::Guid, rtps::SubscriptionBuiltinTopicData>& readers,
                       const std::string& topic, const std::string& type) {
  std::size_t n = 0;
  for (const auto& [guid, reader] : readers) {
    if (reader.topic_name == topic && reader.type_name == type) ++n;
  }
  return n;
}

}  // namespace nimbrel::replay
