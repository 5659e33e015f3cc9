#include "tools/discover/args.hpp"

#include <charconv>
#include <limits>
#include <optional>

namespace nimbrel::discover {
namespace {

// One day: a listing is a glance, not a service.
constexpr std::uint64_t max_duration_ms = 24ULL * 3600 * 1000;

template <typename T>
std::optional<T> parse_number(std::string_view text) {
  T value{};
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

// N milliseconds, Nms or Ns.
std::optional<std::uint64_t> parse_duration(std::string_view text) {
  std::uint64_t scale = 1;
  if (text.ends_with("ms")) {
    text.remove_suffix(2);
  } else if (text.ends_with("s")) {
    text.remove_suffix(1);
    scale = 1000;
  }
  const auto value = parse_number<std::uint64_t>(text);
  if (!value || *value > max_duration_ms / scale) return std::nullopt;
  return *value * scale;
}

ParseStop error(std::string message) {
  return {ParseStop::Kind::Error, std::move(message)};
}

}  // namespace

const std::string_view usage_text =
    "Usage:\n"
    "  nimbrel-discover [--domain N] [--duration N(ms|s)] [--json]\n"
    "\n"
    "Joins a DDS domain for a while and lists its participants and, per topic, the\n"
    "writers and readers with their QoS.\n"
    "\n"
    "  --domain N        DDS domain id (default 0)\n"
    "  --duration X      how long to listen (milliseconds, or suffix s; default 3s)\n"
    "  --json            one JSON document instead of text\n"
    "  -h, --help        this text\n"
    "\n";

std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv) {
  Args args;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& flag = argv[i];
    if (flag == "-h" || flag == "--help")
      return std::unexpected(ParseStop{ParseStop::Kind::Help, {}});
    if (flag == "--json") {
      args.json = true;
      continue;
    }
    if (flag != "--domain" && flag != "--duration") {
      return std::unexpected(error("unknown argument: " + flag));
    }
    if (i + 1 >= argv.size()) return std::unexpected(error(flag + " needs a value"));
    const std::string& value = argv[++i];
    if (flag == "--domain") {
      const auto domain = parse_number<std::uint32_t>(value);
      if (!domain) return std::unexpected(error("domain: not a number: " + value));
      args.domain = *domain;
    } else {
      const auto duration = parse_duration(value);
      if (!duration) return std::unexpected(error("duration: not a duration: " + value));
      args.duration_ms = *duration;
    }
  }
  return args;
}

}  // namespace nimbrel::discover
