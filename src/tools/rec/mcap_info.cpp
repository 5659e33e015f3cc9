#include "tools/rec/mcap_info.hpp"

#include <algorithm>

#include "tools/common/json.hpp"
#include "tools/common/recorded_type_objects.hpp"
#include "tools/rec/info.hpp"

namespace nimbrel::rec {
namespace {

std::string number(std::uint64_t v) {
  return std::to_string(v);
}

double span_seconds(const Traffic& t) {
  return static_cast<double>(t.last_log_time - t.first_log_time) / 1e9;
}

std::string traffic_text(const Traffic& t) {
  std::string out = "messages=" + number(t.messages) + " bytes=" + number(t.bytes);
  out += span_rate_text(t.messages, span_seconds(t));
  if (t.messages > 0) {
    out += " sequence gaps: missing=" + number(t.gaps.missing) +
           " repeated=" + number(t.gaps.repeated) + " backwards=" + number(t.gaps.backwards);
  }
  return out;
}

std::string traffic_json(const Traffic& t) {
  return "\"messages\":" + number(t.messages) + ",\"bytes\":" + number(t.bytes) + "," +
         json_timing("first_log_time", "last_log_time", t.messages, t.first_log_time,
                     t.last_log_time, span_seconds(t)) +
         ",\"sequence_gaps\":{\"missing\":" + number(t.gaps.missing) +
         ",\"repeated\":" + number(t.gaps.repeated) + ",\"backwards\":" + number(t.gaps.backwards) +
         "}";
}

std::string losses_text(const std::map<std::string, std::uint64_t>& losses) {
  if (losses.empty()) return "none";
  std::string out;
  for (const auto& [reason, count] : losses)
    out += (out.empty() ? "" : " ") + reason + "=" + number(count);
  return out;
}

std::string losses_json(const std::map<std::string, std::uint64_t>& losses) {
  std::string out = "{";
  for (const auto& [reason, count] : losses) {
    if (out.size() > 1) out += ',';
    out += tools::json_string(reason);
    out += ':';
    out += number(count);
  }
  out += '}';
  return out;
}

McapWriterSummary& writer_entry(std::vector<McapWriterSummary>& writers, const std::string& guid,
                                const std::string& topic) {
  for (auto& w : writers) {
    if (w.writer == guid) return w;
  }
  writers.push_back({.writer = guid, .topic = topic, .traffic = {}, .losses = {}});
  return writers.back();
}

// A foreign channel has no type metadata: its schema's name says the type.
McapChannelSummary channel_summary(const recorder::McapReader& reader,
                                   const recorder::McapChannel& channel) {
  std::string type(tools::metadata_value(channel.metadata, "dds.type_name"));
  if (const auto* schema = reader.schema(channel.schema_id); type.empty() && schema != nullptr)
    type = schema->name;
  return {.id = channel.id,
          .topic = channel.topic,
          .type = std::move(type),
          .writer = std::string(tools::metadata_value(channel.metadata, "dds.writer_guid")),
          .encoding = channel.message_encoding,
          .traffic = {}};
}

}  // namespace

void SequenceGaps::add(std::uint32_t sequence) {
  if (any) {
    const std::uint32_t step = sequence - previous;
    if (step == 0) {
      ++repeated;
    } else if (step < 0x8000'0000U) {
      missing += step - 1;
    } else {
      ++backwards;
    }
  }
  any = true;
  previous = sequence;
}

void Traffic::add(const recorder::McapMessage& message) {
  if (messages == 0) first_log_time = last_log_time = message.log_time;
  first_log_time = std::min(first_log_time, message.log_time);
  last_log_time = std::max(last_log_time, message.log_time);
  ++messages;
  bytes += message.data.size();
  gaps.add(message.sequence);
}

std::string json_field(std::string_view object, std::string_view key) {
  std::string needle(1, '"');
  needle += key;
  needle += "\":";
  const auto at = object.find(needle);
  if (at == std::string_view::npos) return {};
  std::string_view rest = object.substr(at + needle.size());
  if (rest.starts_with('"')) {
    // Escapes kept as they are but for quotes and backslashes, which names may hold.
    std::string value;
    for (std::size_t i = 1; i < rest.size() && rest[i] != '"'; ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size() && (rest[i + 1] == '"' || rest[i + 1] == '\\'))
        ++i;
      value += rest[i];
    }
    return value;
  }
  const auto end = rest.find_first_not_of("0123456789");
  return std::string(rest.substr(0, end));
}

McapSummary summarize_mcap(std::span<const std::byte> file) {
  McapSummary out;
  out.file_bytes = file.size();
  auto reader = recorder::McapReader::open(file);
  if (!reader) return out;
  std::vector<std::int32_t> slot(65536, -1);  // by channel id: index in out.channels
  while (auto message = reader->next()) {
    std::int32_t& index = slot[message->channel];
    if (index < 0) {
      index = static_cast<std::int32_t>(out.channels.size());
      out.channels.push_back(channel_summary(*reader, *reader->channel(message->channel)));
    }
    auto& channel = out.channels[static_cast<std::size_t>(index)];
    channel.traffic.add(*message);
    ++out.messages;
    out.bytes += message->data.size();
    if (channel.topic == events_topic && channel.encoding == "json") {
      const std::string_view text(reinterpret_cast<const char*>(message->data.data()),
                                  message->data.size());
      if (json_field(text, "event") != "lost") continue;
      const std::string reason = json_field(text, "reason");
      const std::uint64_t count = std::strtoull(json_field(text, "count").c_str(), nullptr, 10);
      out.losses[reason] += count;
      writer_entry(out.writers, json_field(text, "writer"), json_field(text, "topic"))
          .losses[reason] += count;
    } else if (!channel.writer.empty()) {
      writer_entry(out.writers, channel.writer, channel.topic).traffic.add(*message);
    }
  }
  // Channels that carried no message are still part of what the file holds.
  for (const auto& channel : reader->channels()) {
    if (slot[channel.id] < 0) out.channels.push_back(channel_summary(*reader, channel));
  }
  std::ranges::sort(out.channels, {}, &McapChannelSummary::id);
  out.profile = reader->profile();
  out.library = reader->library();
  out.chunks = reader->chunks();
  out.end = reader->end();
  out.readable_to = out.end.offset;
  return out;
}

std::string to_text(const McapSummary& s) {
  std::string out = "format: MCAP, library " + tools::json_string(s.library) + "\n";
  out += "channels: " + number(s.channels.size()) + "\n";
  for (const auto& c : s.channels) {
    out += "  " + number(c.id) + " " + tools::json_string(c.topic) + " (" +
           tools::json_string(c.type) + ")";
    if (!c.writer.empty()) out += " writer " + c.writer;
    out += ": " + traffic_text(c.traffic) + "\n";
  }
  out += "writers: " + number(s.writers.size()) + "\n";
  for (const auto& w : s.writers) {
    out += "  " + tools::json_string(w.writer) + " " + tools::json_string(w.topic) + ": " +
           traffic_text(w.traffic) + " lost: " + losses_text(w.losses) + "\n";
  }
  out += "lost: " + losses_text(s.losses) + "\n";
  out += "messages: " + number(s.messages) + " bytes: " + number(s.bytes) +
         " chunks: " + number(s.chunks) + " file_bytes: " + number(s.file_bytes) + "\n";
  out += "end: " + recorder::to_string(s.end) + "\n";
  return out;
}

std::string to_json(const McapSummary& s) {
  std::string out = "{\"version\":" + number(info_json_version) +
                    ",\"format\":\"mcap\",\"library\":" + tools::json_string(s.library) +
                    ",\"profile\":" + tools::json_string(s.profile) + ",\"channels\":[";
  for (std::size_t i = 0; i < s.channels.size(); ++i) {
    const auto& c = s.channels[i];
    out += (i == 0 ? "{" : ",{") + std::string("\"id\":") + number(c.id) +
           ",\"topic\":" + tools::json_string(c.topic) + ",\"type\":" + tools::json_string(c.type) +
           ",\"writer\":" + tools::json_string(c.writer) +
           ",\"encoding\":" + tools::json_string(c.encoding) + "," + traffic_json(c.traffic) + "}";
  }
  out += "],\"writers\":[";
  for (std::size_t i = 0; i < s.writers.size(); ++i) {
    const auto& w = s.writers[i];
    out += (i == 0 ? "{" : ",{") + std::string("\"writer\":") + tools::json_string(w.writer) +
           ",\"topic\":" + tools::json_string(w.topic) + "," + traffic_json(w.traffic) +
           ",\"lost\":" + losses_json(w.losses) + "}";
  }
  out += "],\"lost\":" + losses_json(s.losses) + ",\"messages\":" + number(s.messages) +
         ",\"bytes\":" + number(s.bytes) + ",\"chunks\":" + number(s.chunks) +
         ",\"file_bytes\":" + number(s.file_bytes) + ",\"end\":{\"clean\":" +
         (s.end.reason == recorder::McapEnd::Reason::Clean ? "true" : "false") +
         ",\"offset\":" + number(s.end.offset) +
         ",\"text\":" + tools::json_string(recorder::to_string(s.end)) + "}}";
  return out;
}

}  // namespace nimbrel::rec
