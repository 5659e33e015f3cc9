// `info` of an MCAP recording: per channel (a topic, type and writer) and per writer, messages,
// bytes, span, rate and the gaps of their 32-bit sequence numbers; the losses the recorder wrote to
// its events channel, summed by reason; and how the data ends. Memory stays bounded by the channel
// count, whatever the message count.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "recorder/mcap_reader.hpp"

namespace nimbrel::rec {

inline constexpr std::string_view events_topic = "nimbrel/events";

// Gaps of a sequence counted from each number to the next, modulo 2^32, so a wrap is no gap.
struct SequenceGaps {
  bool any = false;
  std::uint32_t previous = 0;
  std::uint64_t missing = 0;    // numbers skipped going forward
  std::uint64_t repeated = 0;   // the same number twice in a row
  std::uint64_t backwards = 0;  // a number below the one before

  void add(std::uint32_t sequence);
};

struct Traffic {
  std::uint64_t messages = 0;
  std::uint64_t bytes = 0;
  std::uint64_t first_log_time = 0;
  std::uint64_t last_log_time = 0;
  SequenceGaps gaps{};

  void add(const recorder::McapMessage& message);
};

struct McapChannelSummary {
  std::uint16_t id = 0;
  std::string topic;
  std::string type;    // dds.type_name, else the schema's name
  std::string writer;  // dds.writer_guid; empty when unknown
  std::string encoding;
  Traffic traffic{};
};

struct McapWriterSummary {
  std::string writer;
  std::string topic;
  Traffic traffic{};
  std::map<std::string, std::uint64_t> losses;  // by reason
};

struct McapSummary {
  std::string profile;
  std::string library;
  std::vector<McapChannelSummary> channels;
  std::vector<McapWriterSummary> writers;
  std::map<std::string, std::uint64_t> losses;  // by reason, all writers
  std::uint64_t messages = 0;
  std::uint64_t bytes = 0;
  std::uint64_t chunks = 0;
  std::uint64_t file_bytes = 0;
  std::uint64_t readable_to = 0;  // the first byte not read
  recorder::McapEnd end{};
};

McapSummary summarize_mcap(std::span<const std::byte> file);
std::string to_text(const McapSummary& summary);
// One JSON object, on one line.
std::string to_json(const McapSummary& summary);

// A field of a flat JSON object as the recorder writes its events: a string's raw text or a
// number's digits; empty when absent.
std::string json_field(std::string_view object, std::string_view key);

}  // namespace nimbrel::rec
