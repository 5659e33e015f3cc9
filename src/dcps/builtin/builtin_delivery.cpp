#include "dcps/builtin/builtin_delivery.hpp"

#include <utility>
#include <vector>

namespace nimbrel::dcps {
namespace {

template <typename T>
std::shared_ptr<T> snapshot(Guarded<std::shared_ptr<T>>& slot) {
  auto held = slot.lock();
  return held ? **held : nullptr;
}

template <typename T>
void install(Guarded<std::shared_ptr<T>>& slot, std::shared_ptr<T> value) {
  if (auto held = slot.lock()) **held = std::move(value);
}

bool ignored(const IgnoreFilter* filter, IgnoredKind kind, const rtps::Guid& guid) {
  return filter != nullptr && filter->is_ignored(kind, discovery::instance_handle(guid));
}

PushResult push_record(BuiltinSinks& sinks, const rtps::PublicationBuiltinTopicData& record) {
  return sinks.push_publication(PublicationBuiltinTopicData::from_wire(record));
}
PushResult push_record(BuiltinSinks& sinks, const rtps::SubscriptionBuiltinTopicData& record) {
  return sinks.push_subscription(SubscriptionBuiltinTopicData::from_wire(record));
}
TopicBuiltinTopicData topic_of(const rtps::PublicationBuiltinTopicData& record) {
  return TopicBuiltinTopicData::from_publication(record);
}
TopicBuiltinTopicData topic_of(const rtps::SubscriptionBuiltinTopicData& record) {
  return TopicBuiltinTopicData::from_subscription(record);
}

// Push errors are dropped: a poisoned sink only loses its own samples.
template <typename WireRecord>
void push_endpoint(BuiltinSinks& sinks, const IgnoreFilter* filter, IgnoredKind kind,
                   const WireRecord& record) {
  if (ignored(filter, IgnoredKind::Participant, record.participant_guid)) return;
  if (ignored(filter, kind, record.endpoint_guid)) return;
  (void)push_record(sinks, record);
  const auto topic = topic_of(record);
  if (!ignored(filter, IgnoredKind::Topic, topic.key)) (void)sinks.push_topic(topic);
}

}  // namespace

std::shared_ptr<BuiltinSinks> builtin_sinks_snapshot(BuiltinTopics& builtin) {
  return snapshot(builtin.sinks);
}

std::shared_ptr<IgnoreFilter> ignore_filter_snapshot(BuiltinTopics& builtin) {
  return snapshot(builtin.ignore_filter);
}

void install_builtin_sinks(Participant& participant, BuiltinTopics& builtin,
                           std::shared_ptr<BuiltinSinks> sinks) {
  install(builtin.sinks, std::move(sinks));
  // Copied under each component's lock, pushed after it: never two locks at once. A receive
  // thread pushing the same record meanwhile is harmless, as an unchanged sample is not repeated.
  std::vector<rtps::ParticipantBuiltinTopicData> participants;
  if (auto cache = participant.participants.lock()) {
    for (const auto& [prefix, known] : (*cache)->entries())
      participants.push_back(known.data);
  }
  for (const auto& data : participants)
    push_participant_sample(builtin, data);
  discovery::SedpEvents known;
  if (auto sedp = participant.sedp.lock()) {
    for (const auto& [guid, entry] : (*sedp)->cache().publications())
      known.publications.push_back(entry.first);
    for (const auto& [guid, entry] : (*sedp)->cache().subscriptions())
      known.subscriptions.push_back(entry.first);
  }
  push_endpoint_samples(builtin, known);
}

void install_ignore_filter(BuiltinTopics& builtin, std::shared_ptr<IgnoreFilter> filter) {
  install(builtin.ignore_filter, std::move(filter));
}

void push_participant_sample(BuiltinTopics& builtin,
                             const rtps::ParticipantBuiltinTopicData& data) {
  const auto sinks = builtin_sinks_snapshot(builtin);
  if (!sinks) return;
  const auto filter = ignore_filter_snapshot(builtin);
  if (ignored(filter.get(), IgnoredKind::Participant, data.participant_guid)) return;
  (void)sinks->push_participant(ParticipantBuiltinTopicData::from_wire(data));
}

void push_endpoint_samples(BuiltinTopics& builtin, const discovery::SedpEvents& events) {
  if (!events.brings_endpoints()) return;
  const auto sinks = builtin_sinks_snapshot(builtin);
  if (!sinks) return;
  const auto filter = ignore_filter_snapshot(builtin);
  for (const auto& publication : events.publications) {
    push_endpoint(*sinks, filter.get(), IgnoredKind::Publication, publication);
  }
  for (const auto& subscription : events.subscriptions) {
    push_endpoint(*sinks, filter.get(), IgnoredKind::Subscription, subscription);
  }
}

}  // namespace nimbrel::dcps
