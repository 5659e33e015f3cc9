// `info`: what a recording holds: frames and payload bytes per topic, the time span and rate, and
// how the data ended. With `sequence_check`, each payload's first four bytes are read as a
// little-endian sequence number (as Cyclone DDS ddsperf writes them) and gaps, repeats and
// reorderings are counted per topic.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/input.hpp"

namespace nimbrel::rec {

struct SequenceStats {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t missing = 0;    // numbers between first and last never recorded
  std::uint64_t repeated = 0;   // frames whose number was recorded before
  std::uint64_t backwards = 0;  // frames whose number is below the previous one
};

struct TopicSummary {
  std::string name;
  std::string type_name;
  std::uint64_t frames = 0;
  std::uint64_t payload_bytes = 0;
  std::uint64_t first_time_ns = 0;  // earliest and latest frame time, whatever their order
  std::uint64_t last_time_ns = 0;
  SequenceStats sequence{};
};

struct RecordingSummary {
  std::uint64_t start_ns = 0;
  std::vector<TopicSummary> topics;
  std::uint64_t frames = 0;
  std::uint64_t payload_bytes = 0;
  std::uint64_t file_bytes = 0;
  recorder::DataEnd end{};
  std::string end_text;
  bool clean_end = true;
};

RecordingSummary summarize(const tools::Input& input, bool sequence_check);
std::string to_text(const RecordingSummary& summary, bool sequence_check);
// One JSON object, on one line.
std::string to_json(const RecordingSummary& summary, bool sequence_check);

// What `info --json` prints has this version; keys are only ever added within one version.
inline constexpr int info_json_version = 1;
// `"KEY":N,"KEY_str":"N"`, both null when there is no value: a 64-bit time in JSON numbers is
// not exact in JavaScript or jq, its string is.
std::string json_time(std::string_view key, std::optional<std::uint64_t> value);
// " span=1.500s rate=999/s" for `count` items over `span_s`; empty where there are too few.
std::string span_rate_text(std::uint64_t count, double span_s);
// The first and last times of `count` items, their span and rate: null where there are too few.
std::string json_timing(std::string_view first_key, std::string_view last_key, std::uint64_t count,
                        std::uint64_t first, std::uint64_t last, double span_s);
// The document `info --json` prints when it cannot read the file.
std::string json_error(int status, std::string_view message);

}  // namespace nimbrel::rec
