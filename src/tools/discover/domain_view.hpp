// What nimbrel-discover saw of a domain: the participants, and per topic the writers and readers
// with their QoS. `build_domain_view` joins the builtin-topic samples taken from the sinks with the
// participants cache (vendor and locators are not part of the participant sample), keeping the
// topics a filter selects and every participant.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dcps/builtin/builtin_topics.hpp"
#include "discovery/spdp.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/wire_types.hpp"
#include "tools/common/topic_filter.hpp"
#include "tools/common/type_schema.hpp"

namespace nimbrel::discover {

struct ParticipantView {
  rtps::Guid guid{};
  rtps::VendorId vendor{};  // zero when it left before the listing
  std::string name{};       // empty unless announced
  std::vector<std::byte> user_data{};
  std::vector<rtps::Locator> locators{};
};

struct EndpointView {
  rtps::Guid guid{};
  rtps::Guid participant{};
  std::string type_name{};
  rtps::ReliabilityKind reliability = rtps::ReliabilityKind::BestEffort;
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;
  std::vector<std::string> partitions{};

  // From the entity kind byte, as Fast DDS and Cyclone DDS judge it.
  bool keyed() const;
};

struct TopicView {
  std::set<std::string> type_names{};
  std::vector<tools::TypeSchema> types{};  // of its writers, each once; with --types only
  std::vector<EndpointView> writers{};
  std::vector<EndpointView> readers{};
};

struct DomainView {
  std::vector<ParticipantView> participants{};  // by GUID
  std::map<std::string, TopicView> topics{};    // by name
  std::size_t undecodable_samples = 0;
};

// The samples as the sinks gave them, oldest first: a later sample of a key replaces an earlier.
struct TakenSamples {
  std::vector<std::vector<std::byte>> participants;
  std::vector<std::vector<std::byte>> publications;
  std::vector<std::vector<std::byte>> subscriptions;
};

DomainView build_domain_view(const TakenSamples& samples,
                             const std::vector<discovery::DiscoveredParticipant>& known,
                             const tools::TopicFilter& filter);

// "Eclipse Cyclone DDS" and the like; empty for a vendor id this tool does not know.
std::string vendor_name(const rtps::VendorId& vendor);

}  // namespace nimbrel::discover
