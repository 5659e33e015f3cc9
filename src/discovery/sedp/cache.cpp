#include "discovery/sedp/cache.hpp"

namespace nimbrel::discovery::detail {

template <typename Record>
void EndpointTable<Record>::insert(Record record, Elapsed time) {
  const rtps::Guid key = record.endpoint_guid;
  auto& by_time = by_participant_[key.prefix];
  if (auto it = entries_.find(key); it != entries_.end()) {
    by_time.erase({it->second.second, key});
    by_time.insert({time, key});
    it->second = {std::move(record), time};
    return;
  }
  if (by_time.size() >= max_per_participant_ && !by_time.empty()) {
    entries_.erase(by_time.begin()->second);
    by_time.erase(by_time.begin());
  }
  by_time.insert({time, key});
  entries_.emplace(key, std::pair{std::move(record), time});
}

template <typename Record>
bool EndpointTable<Record>::erase(const rtps::Guid& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  auto participant = by_participant_.find(key.prefix);
  if (participant != by_participant_.end()) {
    participant->second.erase({it->second.second, key});
    if (participant->second.empty()) by_participant_.erase(participant);
  }
  entries_.erase(it);
  return true;
}

template <typename Record>
void EndpointTable<Record>::erase_participant(const rtps::GuidPrefix& participant) {
  auto it = by_participant_.find(participant);
  if (it == by_participant_.end()) return;
  for (const auto& [time, guid] : it->second)
    entries_.erase(guid);
  by_participant_.erase(it);
}

template class EndpointTable<rtps::PublicationBuiltinTopicData>;
template class EndpointTable<rtps::SubscriptionBuiltinTopicData>;

}  // namespace nimbrel::discovery::detail
