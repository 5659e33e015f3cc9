// The readers of a run that records topics by name, by pattern or all of them: one reader per
// topic and type, created when the first writer of a selected topic is announced, so topics that
// appear later are recorded too. Readers stay until the end, whether or not their writers do.
// Their number is bounded: a topic beyond the bound is refused, counted and said once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <set>

#include "dcps/participant/participant.hpp"
#include "dcps/readers/user_reader.hpp"
#include "foundation/arrival_log.hpp"
#include "monitor/registry.hpp"
#include "nimbrel/nimbrel.h"
#include "tools/common/topic_filter.hpp"
#include "tools/recorder_bridge/recording_loop.hpp"

namespace nimbrel::bridge {

struct TopicReadersEnv {
  // Null when the reader cannot be created.
  std::function<NimbrelReader*(dcps::UserReaderConfig)> create;
  std::function<ArrivalLog<dcps::TopicType>::Since(std::uint64_t generation)> writer_topics_since;
  std::ostream* err = nullptr;
};

class TopicReaders {
 public:
  TopicReaders(tools::TopicFilter filter, std::size_t max_topics, TopicReadersEnv env);

  // A reader for a topic named with its type, whatever the filter says; null when it cannot be
  // created or the bound is reached. Each topic is decided once: ask `decided` first.
  NimbrelReader* add(const dcps::TopicType& topic, std::deque<LoopReader>& readers);
  // Readers for the selected topics announced since the last call.
  void grow(std::deque<LoopReader>& readers);

  // Recorded, refused or failed.
  bool decided(const dcps::TopicType& topic) const { return known_.contains(topic); }
  std::uint64_t refused() const { return refused_; }

 private:
  tools::TopicFilter filter_;
  std::size_t max_topics_;
  TopicReadersEnv env_;
  std::uint64_t generation_ = 0;
  std::set<dcps::TopicType> known_;  // recorded, refused or failed: each is decided once
  std::size_t recording_ = 0;
  std::uint64_t refused_ = 0;
  std::shared_ptr<monitor::Gauge> topics_gauge_;
  std::shared_ptr<monitor::Counter> refused_counter_;
};

// Every reader follows its writers' durability, partitions and representations, so that any
// writer matches; reliable, so that reliable writers are recorded completely.
dcps::UserReaderConfig recording_reader_config(const dcps::TopicType& topic);

}  // namespace nimbrel::bridge
