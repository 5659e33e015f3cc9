#include "dcps/matching/match_candidates.hpp"

namespace nimbrel::dcps {

std::vector<rtps::Locator> remote_user_locators(Participant& participant,
                                                const rtps::GuidPrefix& remote) {
  auto participants = participant.participants.lock();
  if (!participants) return {};
  const auto* known = (*participants)->find(remote);
  if (known == nullptr || !known->data.default_unicast_locator) return {};
  return {*known->data.default_unicast_locator};
}

std::vector<rtps::PublicationBuiltinTopicData> known_publications(Participant& participant,
                                                                  const std::string& topic,
                                                                  const std::string& type) {
  return cached_endpoints(
      participant, topic, type,
      [](const auto& cache) -> const auto& { return cache.publications(); });
}

}  // namespace nimbrel::dcps
