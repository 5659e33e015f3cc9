#include "tools/recorder_bridge/mcap_output.hpp"

#include <algorithm>
#include <limits>

#include "tools/common/json.hpp"
#include "tools/common/qos_names.hpp"

namespace nimbrel::bridge {
namespace {

constexpr std::uint16_t events_schema = 1;
constexpr std::uint16_t events_channel = 1;
constexpr std::size_t max_waiting_events = 4096;

constexpr std::string_view events_json_schema =
    R"({"title":"nimbrel.RecorderEvent","type":"object",)"
    R"("properties":{"event":{"type":"string","enum":["lost","dispose","unregister",)"
    R"("dispose_unregister"]},"topic":{"type":"string"},"type":{"type":"string"},)"
    R"("writer":{"type":"string"},"first":{"type":"integer"},"last":{"type":"integer"},)"
    R"("count":{"type":"integer"},"reason":{"type":"string"},"sequence":{"type":"integer"},)"
    R"("key_hash":{"type":"string"}},"required":["event","topic","type","writer"]})";

std::string partitions_json(const std::vector<std::string>& partitions) {
  std::string out = "[";
  for (const auto& partition : partitions) {
    if (out.size() > 1) out += ',';
    out += tools::json_string(partition);
  }
  return out + "]";
}

std::string representations_text(const std::vector<std::int16_t>& ids) {
  std::string out;
  for (const auto id : ids) {
    if (!out.empty()) out += ',';
    out += std::to_string(id);
  }
  return out;
}

// The start every event shares: what happened, on which topic, from which writer.
std::string event_head(std::string_view event, const recorder::TopicKey& topic,
                       const rtps::Guid& writer) {
  return "{\"event\":\"" + std::string(event) + "\",\"topic\":" + tools::json_string(topic.name) +
         ",\"type\":" + tools::json_string(topic.type_name) +
         ",\"writer\":" + tools::json_string(rtps::to_string(writer));
}

const char* lifecycle_event(std::uint8_t kind) {
  switch (kind) {
    case rtps::change_kind::not_alive_disposed:
      return "dispose";
    case rtps::change_kind::not_alive_unregistered:
      return "unregister";
    default:
      return "dispose_unregister";
  }
}

}  // namespace

recorder::StringPairs writer_metadata(const std::string& type_name, const rtps::Guid& writer,
                                      const std::optional<dcps::RemoteWriter>& remote) {
  recorder::StringPairs out{{"dds.type_name", type_name},
                            {"dds.writer_guid", rtps::to_string(writer)},
                            {"dds.keyed", tools::is_keyed(writer) ? "true" : "false"}};
  rtps::Guid participant = writer;
  participant.entity_id = rtps::entity_ids::participant;
  out.emplace_back("dds.participant_guid", rtps::to_string(participant));
  const auto add = [&](const char* key, std::string value) {
    out.emplace_back(key, remote ? std::move(value) : std::string{});
  };
  const rtps::PublicationBuiltinTopicData none{};
  const auto& publication = remote ? remote->publication : none;
  const auto* peer = remote && remote->participant ? &*remote->participant : nullptr;
  out.emplace_back("dds.participant_name",
                   peer ? peer->data.entity_name.value_or(std::string{}) : std::string{});
  out.emplace_back("dds.vendor_id", peer ? tools::vendor_text(peer->data.vendor_id) : "");
  add("dds.reliability", tools::reliability_name(publication.reliability.kind));
  add("dds.durability", tools::durability_name(publication.durability));
  add("dds.ownership", tools::ownership_name(publication.ownership));
  add("dds.ownership_strength", std::to_string(publication.ownership_strength));
  add("dds.partitions", partitions_json(publication.partition));
  add("dds.representations", representations_text(publication.data_representation));
  // As the writer announced it, so that a replay can announce the same type.
  out.emplace_back("dds.type_information", publication.type_information
                                               ? tools::to_hex(*publication.type_information)
                                               : std::string{});
  return out;
}

McapOutput::McapOutput(std::unique_ptr<recorder::ByteSink> sink, McapOutputConfig config)
    : sink_(std::move(sink)), config_(std::move(config)), writer_(*sink_, config_.mcap) {
  channels_.resize(events_channel + 1);
}

std::expected<std::unique_ptr<McapOutput>, std::error_code> McapOutput::start(
    std::unique_ptr<recorder::ByteSink> sink, McapOutputConfig config) {
  std::unique_ptr<McapOutput> out(new McapOutput(std::move(sink), std::move(config)));
  auto& writer = out->writer_;
  if (auto done = writer.start("", "nimbrel-recorder-bridge"); !done)
    return std::unexpected(done.error());
  if (auto done = writer.add_schema(events_schema, "nimbrel.RecorderEvent", "jsonschema",
                                    std::as_bytes(std::span(events_json_schema)));
      !done)
    return std::unexpected(done.error());
  if (auto done = writer.add_channel({.id = events_channel,
                                      .schema_id = events_schema,
                                      .topic = std::string(events_topic),
                                      .message_encoding = "json",
                                      .metadata = {}});
      !done)
    return std::unexpected(done.error());
  if (auto done = writer.add_metadata("nimbrel.recording", out->config_.metadata); !done)
    return std::unexpected(done.error());
  out->bytes_.store(writer.bytes_written(), std::memory_order_relaxed);
  return out;
}

WriterType McapOutput::type_of(const rtps::Guid& writer) const {
  return config_.writer_type ? config_.writer_type(writer) : WriterType{};
}

std::optional<std::uint16_t> McapOutput::channel_for(const recorder::TopicKey& topic,
                                                     const rtps::Guid& writer, std::uint64_t now_ns,
                                                     std::error_code& error) {
  const auto key = std::pair(&topic, writer);
  if (auto it = channel_ids_.find(key); it != channel_ids_.end()) return it->second;
  if (channels_.size() > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
  const auto id = static_cast<std::uint16_t>(channels_.size());
  const auto remote = config_.describe ? config_.describe(writer) : std::nullopt;
  channels_.push_back(Channel{.topic = &topic,
                              .writer = writer,
                              .metadata = writer_metadata(topic.type_name, writer, remote),
                              .waiting_since = now_ns});
  channel_ids_.emplace(key, id);
  const WriterType type = type_of(writer);
  if (type.state == WriterType::State::Pending) {
    channels_[id].phase = Channel::Phase::Waiting;
    waiting_.push_back(id);
  } else {
    open_channel(id, type, error);
  }
  return id;
}

void McapOutput::open_channel(std::uint16_t id, const WriterType& type, std::error_code& error) {
  auto& channel = channels_[id];
  const auto fail = [&](const std::expected<void, std::error_code>& done) {
    if (!done) error = done.error();
  };
  std::uint16_t schema = 0;
  if (type.state == WriterType::State::Known) {
    for (const auto& [identifier, bytes] : type.schema.objects) {
      if (!objects_written_.insert(identifier).second) continue;
      fail(writer_.add_metadata("nimbrel.type_object", {{"type_identifier", identifier},
                                                        {"encoding", "xcdr2"},
                                                        {"data", tools::to_hex(bytes)}}));
    }
    if (!type.schema.idl.empty()) {
      auto [it, added] = schema_ids_.emplace(type.schema.type_identifier, 0);
      // Ids 1 and up; the events schema took 1.
      if (added &&
          schema_ids_.size() + events_schema <= std::numeric_limits<std::uint16_t>::max()) {
        it->second = static_cast<std::uint16_t>(schema_ids_.size() + events_schema);
        fail(writer_.add_schema(it->second, type.schema.name, "omgidl",
                                std::as_bytes(std::span(type.schema.idl))));
      }
      schema = it->second;
    }
  }
  auto metadata = channel.metadata;
  metadata.emplace_back("dds.type_identifier", type.schema.type_identifier);
  metadata.emplace_back("dds.type_error", type.state == WriterType::State::Pending
                                              ? "the type did not come in time"
                                              : type.schema.error);
  fail(writer_.add_channel({.id = id,
                            .schema_id = schema,
                            .topic = channel.topic->name,
                            .message_encoding = "cdr",
                            .metadata = std::move(metadata)}));
  channel.phase =
      type.state == WriterType::State::Pending ? Channel::Phase::Untyped : Channel::Phase::Open;
  for (const auto& held : channel.held) {
    fail(writer_.write_message(id, held.sequence, held.log_time, held.publish_time,
                               held.payload.span()));
    held_bytes_ -= held.payload.size();
  }
  channel.held = {};
}

void McapOutput::resolve_waiting(std::uint64_t now_ns, bool force, std::error_code& error) {
  std::vector<std::uint16_t> still;
  for (const std::uint16_t id : waiting_) {
    auto& channel = channels_[id];
    const WriterType type = type_of(channel.writer);
    const bool typed = type.state == WriterType::State::Known;
    if (channel.phase == Channel::Phase::Waiting) {
      const bool waited_enough =
          force || held_bytes_ > config_.type_wait_bytes ||
          now_ns - std::min(now_ns, channel.waiting_since) >= config_.type_wait_ns;
      if (type.state == WriterType::State::Pending && !waited_enough) {
        still.push_back(id);
        continue;
      }
      open_channel(id, type, error);
      if (channel.phase == Channel::Phase::Untyped) still.push_back(id);
      continue;
    }
    // Untyped: the type that came late takes the writer's next samples to a channel of its own.
    if (type.state == WriterType::State::Pending) {
      still.push_back(id);
      continue;
    }
    channel.phase = Channel::Phase::Open;
    if (!typed || channels_.size() > std::numeric_limits<std::uint16_t>::max()) continue;
    const auto next = static_cast<std::uint16_t>(channels_.size());
    Channel typed_channel{
        .topic = channel.topic, .writer = channel.writer, .metadata = channel.metadata};
    channel_ids_[std::pair(typed_channel.topic, typed_channel.writer)] = next;
    channels_.push_back(std::move(typed_channel));
    open_channel(next, type, error);
  }
  waiting_ = std::move(still);
}

std::vector<BatchLoss> McapOutput::record(std::span<const TakenSample> samples) {
  std::vector<BatchLoss> lost;
  std::error_code error{};
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto& sample = samples[i].sample;
    // A change the runtime did not stamp is stamped when it was taken.
    const std::uint64_t log_time =
        sample.times.reception_ns != 0 ? sample.times.reception_ns : samples[i].wall_ns;
    latest_ns_ = std::max(latest_ns_, log_time);
    const auto channel = channel_for(*samples[i].topic, sample.writer_guid, log_time, error);
    if (!channel) {
      lost.push_back(BatchLoss{.position = i,
                               .reason = rtps::LossReason::NotRecordable,
                               .error = "no MCAP channel id left for another writer"});
      continue;
    }
    const std::uint64_t publish_time =
        sample.times.source ? rtps::to_unix_ns(*sample.times.source) : log_time;
    const auto sequence = static_cast<std::uint32_t>(sample.sequence_number);
    if (auto& owner = channels_[*channel]; owner.phase == Channel::Phase::Waiting) {
      held_bytes_ += sample.payload.size();
      owner.held.push_back(Held{sequence, log_time, publish_time, sample.payload});
      continue;
    }
    // The writer's chunk failure drops earlier messages; this one is in the next chunk.
    if (auto done = writer_.write_message(*channel, sequence, log_time, publish_time,
                                          sample.payload.span());
        !done) {
      error = done.error();
    }
  }
  if (held_bytes_ > config_.type_wait_bytes) resolve_waiting(latest_ns_, false, error);
  dropped_.fetch_add(lost.size(), std::memory_order_relaxed);
  settle(error);
  return lost;
}

void McapOutput::write_event(std::string json, std::uint64_t wall_ns) {
  latest_ns_ = std::max(latest_ns_, wall_ns);
  open_events_.push_back(Event{.json = std::move(json), .time = wall_ns});
  const auto& event = open_events_.back();
  // A failed chunk write is settled by the caller, after its own write.
  if (auto done = writer_.write_message(events_channel, 0, event.time, event.time,
                                        std::as_bytes(std::span(event.json)));
      !done) {
    last_error_ = done.error();
  }
}

void McapOutput::note_loss(const recorder::TopicKey& topic, const rtps::LostRange& loss,
                           std::uint64_t wall_ns) {
  write_event(event_head("lost", topic, loss.writer) + ",\"first\":" + std::to_string(loss.first) +
                  ",\"last\":" + std::to_string(loss.last) +
                  ",\"count\":" + std::to_string(loss.count()) + ",\"reason\":\"" +
                  std::string(rtps::to_string(loss.reason)) + "\"}",
              wall_ns);
  settle({});
}

void McapOutput::note_lifecycle(const recorder::TopicKey& topic, const dcps::UserSample& sample,
                                std::uint64_t wall_ns) {
  std::string json = event_head(lifecycle_event(sample.kind), topic, sample.writer_guid) +
                     ",\"sequence\":" + std::to_string(sample.sequence_number);
  if (sample.key_hash)
    json += ",\"key_hash\":\"" + tools::to_hex(std::as_bytes(std::span(*sample.key_hash))) + "\"";
  write_event(json + "}", wall_ns);
  settle({});
}

void McapOutput::tick() {
  const std::uint64_t wall_ns = config_.wall_ns();
  latest_ns_ = std::max(latest_ns_, wall_ns);
  std::error_code error{};
  if (!waiting_.empty()) resolve_waiting(wall_ns, false, error);
  if (auto done = writer_.close_chunk_if_older(wall_ns); !done) error = done.error();
  settle(error);
}

std::optional<std::string> McapOutput::finish() {
  std::error_code error{};
  resolve_waiting(latest_ns_, true, error);
  settle(error);
  error = {};
  if (auto done = writer_.finish(); !done) error = done.error();
  settle(error, /*may_write=*/false);
  if (!error) return std::nullopt;
  complete_ = false;
  return error.message();
}

void McapOutput::settle(const std::error_code& error, bool may_write) {
  if (error) last_error_ = error;
  std::uint64_t events_dropped = 0;
  std::vector<LaterLoss> losses;
  for (const auto& [channel, count] : writer_.take_dropped()) {
    if (channel == events_channel) {
      events_dropped += count;
      continue;
    }
    if (channel >= channels_.size()) continue;
    const auto& owner = channels_[channel];
    losses.push_back(LaterLoss{.topic = owner.topic,
                               .writer = owner.writer,
                               .samples = count,
                               .error = last_error_.message()});
    failed_.fetch_add(count, std::memory_order_relaxed);
    dropped_.fetch_add(count, std::memory_order_relaxed);
  }
  // The events not in the open chunk were written or dropped, the dropped ones last: those are
  // written again, so that an event outlives a full disk.
  const std::size_t open = writer_.open_messages(events_channel);
  const std::size_t gone = open_events_.size() - std::min(open, open_events_.size());
  // While the disk stays full the events wait in memory, the newest of them up to a bound; the
  // losses they tell are on stderr in any case.
  const std::size_t room = max_waiting_events - std::min(open, max_waiting_events);
  const std::size_t retry = std::min({static_cast<std::size_t>(events_dropped), gone, room});
  std::vector<Event> again(std::make_move_iterator(open_events_.begin() + (gone - retry)),
                           std::make_move_iterator(open_events_.begin() + gone));
  open_events_.erase(open_events_.begin(), open_events_.begin() + gone);
  if (may_write) {
    for (auto& event : again)
      write_event(std::move(event.json), event.time);
  }
  for (const auto& loss : losses) {
    if (may_write) {
      write_event(event_head("lost", *loss.topic, loss.writer) +
                      ",\"count\":" + std::to_string(loss.samples) + ",\"reason\":\"" +
                      std::string(rtps::to_string(rtps::LossReason::WriteFailed)) + "\"}",
                  latest_ns_);
    }
    later_.push_back(loss);
  }
  recorded_.store(writer_.messages_written() - writer_.messages_written(events_channel),
                  std::memory_order_relaxed);
  bytes_.store(writer_.bytes_written(), std::memory_order_relaxed);
}

}  // namespace nimbrel::bridge
