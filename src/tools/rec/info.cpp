#include "tools/rec/info.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>

#include "tools/common/json.hpp"

namespace nimbrel::rec {
namespace {

std::string format(const char* fmt, double a, double b = 0) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

// Per-topic bookkeeping of sequence numbers seen so far, as ranges: memory follows the gaps and
// reorderings, not the number of samples.
struct SequenceTracker {
  std::map<std::uint64_t, std::uint64_t> ranges;  // first -> last, disjoint, never adjacent
  std::uint64_t distinct = 0;
  std::optional<std::uint32_t> previous;

  // Whether `sn` was seen before; records it otherwise.
  bool insert(std::uint64_t sn) {
    auto next = ranges.upper_bound(sn);
    if (next != ranges.begin()) {
      auto before = std::prev(next);
      if (sn <= before->second) return false;
      if (before->second + 1 == sn) {
        before->second = sn;
        if (next != ranges.end() && next->first == sn + 1) {
          before->second = next->second;
          ranges.erase(next);
        }
        ++distinct;
        return true;
      }
    }
    if (next != ranges.end() && next->first == sn + 1) {
      const std::uint64_t last = next->second;
      ranges.erase(next);
      ranges.emplace(sn, last);
    } else {
      ranges.emplace(sn, sn);
    }
    ++distinct;
    return true;
  }
  void add(std::uint32_t sn, SequenceStats& stats) {
    if (!previous) stats.first = stats.last = sn;
    if (!insert(sn)) ++stats.repeated;
    if (previous && sn < *previous) ++stats.backwards;
    if (sn < stats.first) stats.first = sn;
    if (sn > stats.last) stats.last = sn;
    previous = sn;
  }
  void finish(SequenceStats& stats) const {
    if (!previous) return;
    stats.missing = stats.last - stats.first + 1 - distinct;
  }
};

double span_seconds(const TopicSummary& topic) {
  return static_cast<double>(topic.last_time_ns - topic.first_time_ns) / 1e9;
}

}  // namespace

RecordingSummary summarize(const tools::Input& input, bool sequence_check) {
  const recorder::Header& header = input.header.header;
  RecordingSummary out;
  out.start_ns = header.start_ns;
  out.file_bytes = input.file.bytes().size();
  for (const auto& topic : header.topics) {
    out.topics.push_back({.name = topic.name, .type_name = topic.type_name});
  }
  std::vector<SequenceTracker> trackers(out.topics.size());
  auto frames = input.frames();
  while (auto frame = frames.next()) {
    TopicSummary& topic = out.topics[frame->topic_idx];
    if (topic.frames == 0) topic.first_time_ns = topic.last_time_ns = frame->time;
    // A wall clock stepped back makes frames go back in time; the span still covers them all.
    topic.first_time_ns = std::min(topic.first_time_ns, frame->time);
    topic.last_time_ns = std::max(topic.last_time_ns, frame->time);
    ++topic.frames;
    topic.payload_bytes += frame->payload.size();
    ++out.frames;
    out.payload_bytes += frame->payload.size();
    if (sequence_check && frame->payload.size() >= 4) {
      std::uint32_t sn = 0;
      std::memcpy(&sn, frame->payload.data(), 4);  // little-endian hosts only, like the recorder
      trackers[frame->topic_idx].add(sn, topic.sequence);
    }
  }
  for (std::size_t i = 0; i < trackers.size(); ++i)
    trackers[i].finish(out.topics[i].sequence);
  out.end = frames.end();
  out.clean_end = out.end.reason == recorder::DataEnd::Reason::Clean;
  out.end_text = recorder::to_string(out.end);
  return out;
}

std::string to_text(const RecordingSummary& summary, bool sequence_check) {
  std::string out;
  out += "topics: " + std::to_string(summary.topics.size()) + "\n";
  for (const auto& topic : summary.topics) {
    const double span_s = span_seconds(topic);
    // Names come from the file: escaped, so that none can forge a line or drive the terminal.
    out += "  " + tools::text_escape(topic.name) + " (" + tools::text_escape(topic.type_name) +
           "): frames=" + std::to_string(topic.frames) +
           " bytes=" + std::to_string(topic.payload_bytes);
    out += span_rate_text(topic.frames, span_s);
    if (topic.frames > 1 && span_s > 0)
      out += format(" %.2f MB/s", static_cast<double>(topic.payload_bytes) / span_s / 1e6);
    out += "\n";
    if (sequence_check && topic.frames > 0) {
      const auto& s = topic.sequence;
      out += "    sequence " + std::to_string(s.first) + ".." + std::to_string(s.last) +
             ": missing=" + std::to_string(s.missing) + " repeated=" + std::to_string(s.repeated) +
             " backwards=" + std::to_string(s.backwards) + "\n";
    }
  }
  out += "frames: " + std::to_string(summary.frames) +
         " payload_bytes: " + std::to_string(summary.payload_bytes) +
         " file_bytes: " + std::to_string(summary.file_bytes) + "\n";
  out += "end: " + summary.end_text + "\n";
  return out;
}

std::string json_time(std::string_view key, std::optional<std::uint64_t> value) {
  const std::string text = value ? std::to_string(*value) : std::string();
  std::string out;
  out.append("\"").append(key).append("\":").append(value ? text : "null");
  out.append(",\"").append(key).append("_str\":");
  if (value) {
    out.append("\"").append(text).append("\"");
  } else {
    out.append("null");
  }
  return out;
}

std::string span_rate_text(std::uint64_t count, double span_s) {
  if (count < 2 || span_s <= 0) return {};
  return format(" span=%.3fs rate=%.0f/s", span_s, static_cast<double>(count - 1) / span_s);
}

std::string json_timing(std::string_view first_key, std::string_view last_key, std::uint64_t count,
                        std::uint64_t first, std::uint64_t last, double span_s) {
  const bool timed = count > 0;
  const bool rated = count > 1 && span_s > 0;
  return json_time(first_key, timed ? std::optional(first) : std::nullopt) + "," +
         json_time(last_key, timed ? std::optional(last) : std::nullopt) +
         ",\"span_s\":" + (rated ? format("%.9g", span_s) : "null") + ",\"rate_hz\":" +
         (rated ? format("%.6g", static_cast<double>(count - 1) / span_s) : "null");
}

std::string json_error(int status, std::string_view message) {
  return "{\"version\":" + std::to_string(info_json_version) +
         ",\"error\":{\"status\":" + std::to_string(status) +
         ",\"message\":" + tools::json_string(message) + "}}";
}

std::string to_json(const RecordingSummary& summary, bool sequence_check) {
  const auto n = [](std::uint64_t v) { return std::to_string(v); };
  std::string out = "{\"version\":" + n(info_json_version) + ",\"format\":\"nbrlrec\"," +
                    json_time("start_ns", summary.start_ns) + ",\"topics\":[";
  for (std::size_t i = 0; i < summary.topics.size(); ++i) {
    const auto& topic = summary.topics[i];
    out += i == 0 ? "{" : ",{";
    out += "\"name\":" + tools::json_string(topic.name) +
           ",\"type\":" + tools::json_string(topic.type_name) + ",\"frames\":" + n(topic.frames) +
           ",\"payload_bytes\":" + n(topic.payload_bytes) + "," +
           json_timing("first_time_ns", "last_time_ns", topic.frames, topic.first_time_ns,
                       topic.last_time_ns, span_seconds(topic)) +
           ",\"sequence\":";
    if (sequence_check && topic.frames > 0) {
      const auto& s = topic.sequence;
      out += "{\"first\":" + n(s.first) + ",\"last\":" + n(s.last) +
             ",\"missing\":" + n(s.missing) + ",\"repeated\":" + n(s.repeated) +
             ",\"backwards\":" + n(s.backwards) + "}";
    } else {
      out += "null";
    }
    out += "}";
  }
  out += "],\"frames\":" + n(summary.frames) + ",\"payload_bytes\":" + n(summary.payload_bytes) +
         ",\"file_bytes\":" + n(summary.file_bytes) +
         ",\"end\":{\"clean\":" + (summary.clean_end ? "true" : "false") +
         ",\"offset\":" + n(summary.end.offset) +
         ",\"text\":" + tools::json_string(summary.end_text) + "}}";
  return out;
}

}  // namespace nimbrel::rec
