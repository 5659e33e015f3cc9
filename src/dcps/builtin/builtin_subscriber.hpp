// The four builtin-topic sinks: where discovery leaves participant, topic, publication and
// subscription samples for a builtin subscriber (a tool, a test) to take. A sample is appended
// only when its key is new or its encoding changed, and each sink holds at most `capacity`
// samples: beyond it the oldest goes and is counted, so a chatty domain cannot grow it unbounded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dcps/builtin/builtin_topics.hpp"
#include "foundation/guarded.hpp"

namespace nimbrel::dcps {

enum class PushOutcome { Appended, Unchanged };
using PushResult = std::expected<PushOutcome, std::string>;

class BuiltinSink {
 public:
  static constexpr std::size_t default_capacity = 4096;
  using Key = std::array<std::uint8_t, 16>;

  explicit BuiltinSink(std::size_t capacity = default_capacity) : capacity_(capacity) {}

  // Fails with "builtin sink mutex poisoned".
  PushResult push(const Key& key, std::vector<std::byte> sample);
  // Every sample held, oldest first, leaving the sink empty; empty when poisoned.
  std::vector<std::vector<std::byte>> take();
  std::uint64_t dropped() const;  // samples pushed out by newer ones
  void poison() { state_.poison(); }

 private:
  struct State {
    std::deque<std::vector<std::byte>> samples;
    // The last sample appended per key; forgotten wholesale when it outgrows the cap, which costs
    // at most one repeated sample per key.
    std::map<Key, std::vector<std::byte>> last;
    std::uint64_t dropped = 0;
  };
  std::size_t capacity_;
  // Pushed by nbrl-recv-spdp-mc and nbrl-recv-meta and by the installing API caller; taken by
  // API callers. Mutable so that a count can be read.
  mutable Guarded<State> state_;
};

struct BuiltinSinks {
  explicit BuiltinSinks(std::size_t capacity = BuiltinSink::default_capacity);

  PushResult push_participant(const ParticipantBuiltinTopicData& record);
  PushResult push_topic(const TopicBuiltinTopicData& record);
  PushResult push_publication(const PublicationBuiltinTopicData& record);
  PushResult push_subscription(const SubscriptionBuiltinTopicData& record);

  std::shared_ptr<BuiltinSink> participant;
  std::shared_ptr<BuiltinSink> topic;
  std::shared_ptr<BuiltinSink> publication;
  std::shared_ptr<BuiltinSink> subscription;
};

}  // namespace nimbrel::dcps
