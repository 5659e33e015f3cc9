// Every remote publication and subscription learned through SEDP, keyed by endpoint GUID, with the
// time of its last announcement. Each remote participant may hold at most 256 of each kind; a new
// endpoint beyond that evicts the one of that participant announced longest ago, so a peer that
// floods announcements cannot grow the cache without bound.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <type_traits>
#include <utility>

#include "foundation/time.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::discovery {

namespace detail {

// One kind of endpoint: the records and, per participant, its endpoints by last update time.
template <typename Record>
class EndpointTable {
 public:
  using Entries = std::map<rtps::Guid, std::pair<Record, Elapsed>>;

  explicit EndpointTable(std::size_t max_per_participant)
      : max_per_participant_(max_per_participant) {}

  // A known endpoint is replaced and refreshed, never evicting.
  void insert(Record record, Elapsed time);
  // False when the endpoint is not known.
  bool erase(const rtps::Guid& key);
  // Every endpoint of the participant.
  void erase_participant(const rtps::GuidPrefix& participant);
  const Entries& entries() const { return entries_; }

 private:
  std::size_t max_per_participant_;
  Entries entries_;
  // Ordered by time, then GUID: the first element is the least recently updated endpoint.
  std::map<rtps::GuidPrefix, std::set<std::pair<Elapsed, rtps::Guid>>> by_participant_;
};

}  // namespace detail

class DiscoveredEndpointsCache {
 public:
  static constexpr std::size_t max_publications_per_participant = 256;
  static constexpr std::size_t max_subscriptions_per_participant = 256;

  void insert_publication(rtps::PublicationBuiltinTopicData data, Elapsed time) {
    publications_.insert(std::move(data), time);
  }
  void insert_subscription(rtps::SubscriptionBuiltinTopicData data, Elapsed time) {
    subscriptions_.insert(std::move(data), time);
  }
  bool erase_publication(const rtps::Guid& endpoint) { return publications_.erase(endpoint); }
  bool erase_subscription(const rtps::Guid& endpoint) { return subscriptions_.erase(endpoint); }
  void erase_participant(const rtps::GuidPrefix& participant) {
    publications_.erase_participant(participant);
    subscriptions_.erase_participant(participant);
  }

  // The table of one kind of record, for code written once for both.
  template <typename Record>
  detail::EndpointTable<Record>& table() {
    if constexpr (std::is_same_v<Record, rtps::PublicationBuiltinTopicData>) {
      return publications_;
    } else {
      return subscriptions_;
    }
  }

  const std::map<rtps::Guid, std::pair<rtps::PublicationBuiltinTopicData, Elapsed>>& publications()
      const {
    return publications_.entries();
  }
  const std::map<rtps::Guid, std::pair<rtps::SubscriptionBuiltinTopicData, Elapsed>>&
  subscriptions() const {
    return subscriptions_.entries();
  }

 private:
  detail::EndpointTable<rtps::PublicationBuiltinTopicData> publications_{
      max_publications_per_participant};
  detail::EndpointTable<rtps::SubscriptionBuiltinTopicData> subscriptions_{
      max_subscriptions_per_participant};
};

}  // namespace nimbrel::discovery
