// The command line of nimbrel-recorder-bridge: `parse_args` turns the arguments into `Args`, or
// says why it stopped (help asked for, or the message of a command-line error). Also the usage
// text and the quoted form in which paths are shown to the user.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/mcap_compression.hpp"
#include "tools/common/args.hpp"
#include "tools/common/topic_filter.hpp"

namespace nimbrel::bridge {

// Printed verbatim; it ends with an empty line.
extern const std::string_view usage_text;

struct TopicArg {
  std::string name;
  std::string type_name;
  friend bool operator==(const TopicArg&, const TopicArg&) = default;
};

struct Args {
  std::string out;
  std::uint32_t domain = 0;
  std::vector<TopicArg> topics;              // command-line order, duplicates kept
  std::optional<std::uint64_t> duration_ms;  // absent: record until SIGINT
  // The largest sample taken in, its encapsulation header included; larger ones are lost.
  std::uint32_t max_sample_size = 64 * 1024 * 1024;
  // Of the chunks of an MCAP output (`out` ends in .mcap, in any case).
  recorder::McapCompression compression = recorder::McapCompression::Zstd;
  // MCAP only: topics by name or pattern (--topic without a type), --all and --exclude; each topic
  // and type gets a reader when its first writer is announced.
  tools::TopicFilter filter{};
  std::size_t max_topics = 4096;
};

// Whether `path` names an MCAP output rather than a .nbrlrec recording.
bool is_mcap_path(std::string_view path);

// Its message is the text after "error: ".
using tools::ParseStop;

// `argv` includes the program name.
std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv);

// The value of --duration in milliseconds, or the full error message ("ms: ...", "s: ...",
// "ms-default: ...").
std::expected<std::uint64_t, std::string> parse_duration_ms(std::string_view text);

// Strips leading and trailing characters of the Unicode White_Space property.
std::string_view trim_unicode_space(std::string_view text);

// `text` in double quotes, with backslash escapes for quotes, backslashes and control characters
// (\t, \r, \n, \0, others as \u{hex}).
std::string quote_path(std::string_view text);

}  // namespace nimbrel::bridge
