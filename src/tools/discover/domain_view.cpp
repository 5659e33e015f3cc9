#include "tools/discover/domain_view.hpp"

#include <algorithm>
#include <utility>

#include "tools/common/qos_names.hpp"

namespace nimbrel::discover {
namespace {

EndpointView endpoint_view(const dcps::EndpointSampleFields& sample) {
  return {.guid = sample.key,
          .participant = sample.participant_key,
          .type_name = sample.type_name,
          .reliability = sample.reliability,
          .durability = sample.durability,
          .partitions = sample.partitions};
}

// Decodes every sample, the last one per key winning; undecodable ones are counted.
template <typename Record>
std::map<rtps::Guid, Record> latest(const std::vector<std::vector<std::byte>>& samples,
                                    std::size_t& undecodable) {
  std::map<rtps::Guid, Record> out;
  for (const auto& sample : samples) {
    auto record = rtps::decode_bytes<Record>(sample, /*little_endian=*/true);
    if (!record) {
      ++undecodable;
      continue;
    }
    out.insert_or_assign(record->key, std::move(*record));
  }
  return out;
}

}  // namespace

bool EndpointView::keyed() const {
  return tools::is_keyed(guid);
}

DomainView build_domain_view(const TakenSamples& samples,
                             const std::vector<discovery::DiscoveredParticipant>& known,
                             const tools::TopicFilter& filter) {
  DomainView view;
  std::map<rtps::Guid, ParticipantView> participants;
  for (auto& [guid, sample] :
       latest<dcps::ParticipantBuiltinTopicData>(samples.participants, view.undecodable_samples)) {
    participants[guid] = {.guid = guid, .user_data = std::move(sample.user_data)};
  }
  for (const auto& participant : known) {
    const auto& data = participant.data;
    auto it = participants.find(data.participant_guid);
    if (it == participants.end()) continue;  // kept out of the sinks, e.g. by an ignore filter
    it->second.vendor = data.vendor_id;
    it->second.name = data.entity_name.value_or(std::string{});
    for (const auto& locator :
         {data.metatraffic_unicast_locator, data.default_unicast_locator,
          data.metatraffic_multicast_locator, data.default_multicast_locator}) {
      // A peer often announces one socket for metatraffic and user data alike.
      if (locator && std::ranges::find(it->second.locators, *locator) == it->second.locators.end())
        it->second.locators.push_back(*locator);
    }
  }
  for (auto& [guid, participant] : participants)
    view.participants.push_back(std::move(participant));

  for (const auto& [guid, sample] :
       latest<dcps::PublicationBuiltinTopicData>(samples.publications, view.undecodable_samples)) {
    if (!filter.selects(sample.topic_name)) continue;
    TopicView& topic = view.topics[sample.topic_name];
    topic.type_names.insert(sample.type_name);
    topic.writers.push_back(endpoint_view(sample));
  }
  for (const auto& [guid, sample] : latest<dcps::SubscriptionBuiltinTopicData>(
           samples.subscriptions, view.undecodable_samples)) {
    if (!filter.selects(sample.topic_name)) continue;
    TopicView& topic = view.topics[sample.topic_name];
    topic.type_names.insert(sample.type_name);
    topic.readers.push_back(endpoint_view(sample));
  }
  return view;
}

std::string vendor_name(const rtps::VendorId& vendor) {
  // The assigned ids of the OMG's vendor list that peers of this tool send.
  struct Known {
    rtps::VendorId id;
    const char* name;
  };
  static constexpr Known known[] = {
      {{0x01, 0x01}, "RTI Connext DDS"},
      {{0x01, 0x02}, "OpenSplice DDS"},
      {{0x01, 0x03}, "OpenDDS"},
      {{0x01, 0x0F}, "eProsima Fast DDS"},
      {{0x01, 0x10}, "Eclipse Cyclone DDS"},
      {{0x01, 0xF0}, "nimbrel"},
  };
  for (const auto& entry : known) {
    if (entry.id == vendor) return entry.name;
  }
  return {};
}

}  // namespace nimbrel::discover
