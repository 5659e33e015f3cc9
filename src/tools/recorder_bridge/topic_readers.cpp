#include "tools/recorder_bridge/topic_readers.hpp"

#include <ostream>
#include <string>
#include <utility>

namespace nimbrel::bridge {

dcps::UserReaderConfig recording_reader_config(const dcps::TopicType& topic) {
  return {.topic_name = topic.topic_name,
          .type_name = topic.type_name,
          .reliable = true,
          .follow_writers = true};
}

TopicReaders::TopicReaders(tools::TopicFilter filter, std::size_t max_topics, TopicReadersEnv env)
    : filter_(std::move(filter)), max_topics_(max_topics), env_(std::move(env)) {
  auto& registry = monitor::default_registry();
  registry.set_help("nimbrel_recorder_topics", "Topics (with their types) being recorded");
  registry.set_help("nimbrel_recorder_topics_refused_total",
                    "Topics not recorded because the run's topic bound was reached");
  topics_gauge_ = registry.gauge("nimbrel_recorder_topics", monitor::Labels{});
  refused_counter_ = registry.counter("nimbrel_recorder_topics_refused_total", monitor::Labels{});
}

void TopicReaders::grow(std::deque<LoopReader>& readers) {
  auto news = env_.writer_topics_since(generation_);
  generation_ = news.generation;
  for (const auto& topic : news.items) {
    if (known_.contains(topic) || !filter_.selects(topic.topic_name)) continue;
    add(topic, readers);
  }
}

NimbrelReader* TopicReaders::add(const dcps::TopicType& topic, std::deque<LoopReader>& readers) {
  known_.insert(topic);
  if (recording_ >= max_topics_) {
    refused_counter_->inc(1);
    if (refused_++ == 0) {
      *env_.err << "recorder-bridge: more than " << max_topics_ << " topics; \"" << topic.topic_name
                << "\" and any later ones are not recorded\n"
                << std::flush;
    }
    return nullptr;
  }
  NimbrelReader* handle = env_.create(recording_reader_config(topic));
  if (handle == nullptr) {
    *env_.err << "reader_create failed for " << topic.topic_name << '\n' << std::flush;
    return nullptr;
  }
  topics_gauge_->set(static_cast<std::int64_t>(++recording_));
  readers.push_back(LoopReader{.handle = handle,
                               .topic = {.name = topic.topic_name, .type_name = topic.type_name}});
  return handle;
}

}  // namespace nimbrel::bridge
