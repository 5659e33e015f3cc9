// The first half of matching a local user endpoint, shared by readers and writers: the remote
// endpoints SEDP has cached with the same topic and type name, copied out so that no lock is held
// while they are checked one by one.
#pragma once

#include <string>
#include <vector>

#include "dcps/participant/participant.hpp"
#include "foundation/guarded.hpp"

namespace nimbrel::dcps {

// The remote participant's default unicast locator, or nothing when it is unknown, announced none,
// or the participants cache is poisoned.
std::vector<rtps::Locator> remote_user_locators(Participant& participant,
                                                const rtps::GuidPrefix& remote);

// Copies of the cached remote endpoints of exactly this topic and type name; `cached` picks the
// publications or the subscriptions of the SEDP cache. Empty when the SEDP stack is poisoned.
template <typename Cached>
auto cached_endpoints(Participant& participant, const std::string& topic, const std::string& type,
                      Cached&& cached) {
  using Remote = typename std::decay_t<decltype(cached(
      std::declval<const discovery::DiscoveredEndpointsCache&>()))>::mapped_type::first_type;
  std::vector<Remote> candidates;
  if (auto sedp = participant.sedp.lock()) {
    for (const auto& [guid, entry] : cached((*sedp)->cache())) {
      if (entry.first.topic_name == topic && entry.first.type_name == type) {
        candidates.push_back(entry.first);
      }
    }
  }
  return candidates;
}

// Copies of the cached publications of exactly this topic and type name, in GUID order; none
// when the SEDP stack is poisoned.
std::vector<rtps::PublicationBuiltinTopicData> known_publications(Participant& participant,
                                                                  const std::string& topic,
                                                                  const std::string& type);

// The same for the topic and type of a slot's announced record `local`; empty when the slot is
// poisoned too.
template <typename Slot, typename Local, typename Cached>
auto match_candidates(Participant& participant, Guarded<Slot>& shared, Local Slot::*local,
                      Cached&& cached) {
  std::string topic;
  std::string type;
  if (auto slot = shared.lock()) {
    topic = ((**slot).*local).topic_name;
    type = ((**slot).*local).type_name;
  } else {
    return decltype(cached_endpoints(participant, topic, type, cached)){};
  }
  return cached_endpoints(participant, topic, type, cached);
}

}  // namespace nimbrel::dcps
