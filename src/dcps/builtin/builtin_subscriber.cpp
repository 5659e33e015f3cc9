#include "dcps/builtin/builtin_subscriber.hpp"

#include <utility>

#include "foundation/saturating.hpp"

namespace nimbrel::dcps {
namespace {

template <typename Record>
PushResult encode_and_push(BuiltinSink& sink, const rtps::Guid& key, const Record& record) {
  auto sample = rtps::encode_bytes(record, /*little_endian=*/true);
  if (!sample) return std::unexpected("encode error: " + to_string(sample.error()));
  return sink.push(key.to_bytes(), std::move(*sample));
}

}  // namespace

PushResult BuiltinSink::push(const Key& key, std::vector<std::byte> sample) {
  auto state = state_.lock();
  if (!state) return std::unexpected(std::string("builtin sink mutex poisoned"));
  State& s = **state;
  auto last = s.last.find(key);
  if (last != s.last.end() && last->second == sample) return PushOutcome::Unchanged;
  if (last == s.last.end() && s.last.size() >= capacity_) s.last.clear();
  s.last.insert_or_assign(key, sample);
  if (s.samples.size() >= capacity_ && !s.samples.empty()) {
    s.samples.pop_front();
    saturating_increment(s.dropped);
  }
  s.samples.push_back(std::move(sample));
  return PushOutcome::Appended;
}

std::vector<std::vector<std::byte>> BuiltinSink::take() {
  std::vector<std::vector<std::byte>> out;
  if (auto state = state_.lock()) {
    out.assign(std::make_move_iterator((*state)->samples.begin()),
               std::make_move_iterator((*state)->samples.end()));
    (*state)->samples.clear();
  }
  return out;
}

std::uint64_t BuiltinSink::dropped() const {
  auto state = state_.lock();
  return state ? (*state)->dropped : 0;
}

BuiltinSinks::BuiltinSinks(std::size_t capacity)
    : participant(std::make_shared<BuiltinSink>(capacity)),
      topic(std::make_shared<BuiltinSink>(capacity)),
      publication(std::make_shared<BuiltinSink>(capacity)),
      subscription(std::make_shared<BuiltinSink>(capacity)) {}

PushResult BuiltinSinks::push_participant(const ParticipantBuiltinTopicData& record) {
  return encode_and_push(*participant, record.key, record);
}

PushResult BuiltinSinks::push_topic(const TopicBuiltinTopicData& record) {
  return encode_and_push(*topic, record.key, record);
}

PushResult BuiltinSinks::push_publication(const PublicationBuiltinTopicData& record) {
  return encode_and_push(*publication, record.key, record);
}

PushResult BuiltinSinks::push_subscription(const SubscriptionBuiltinTopicData& record) {
  return encode_and_push(*subscription, record.key, record);
}

}  // namespace nimbrel::dcps
