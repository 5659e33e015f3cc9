#include "tools/discover/args.hpp"

#include <optional>

#include "tools/common/args.hpp"

namespace nimbrel::discover {
namespace {

// One day: a listing is a glance, not a service.
constexpr std::uint64_t max_duration_ms = 24ULL * 3600 * 1000;

// 90, 1.5s, 250ms, 2m: a bare number is seconds, as in every option beyond the recorder's own.
std::optional<std::uint64_t> parse_duration(std::string_view text) {
  const auto ns = tools::parse_time(text);
  if (!ns || *ns > max_duration_ms * 1'000'000) return std::nullopt;
  return *ns / 1'000'000;
}

}  // namespace

const std::string_view usage_text =
    "nimbrel-discover - list the participants and topics of a DDS domain\n"
    "\n"
    "USAGE:\n"
    "  nimbrel-discover [--domain N] [--duration TIME] [--json] [--types]\n"
    "                   [--topic NAME|PATTERN]... [--exclude NAME|PATTERN]...\n"
    "\n"
    "Joins a DDS domain for a while and lists its participants and, per topic, the\n"
    "writers and readers with their QoS.\n"
    "\n"
    "OPTIONS:\n"
    "  --domain N        DDS domain id (default 0)\n"
    "  --duration TIME   how long to listen, like 5s, 500ms, 2m; a bare number is\n"
    "                    seconds (default 3s)\n"
    "  --json            one JSON document instead of text\n"
    "  --types           each topic's type as OMG IDL, fetched from its writers\n"
    "  --topic NAME|PATTERN\n"
    "                    list only this topic; '*' is any run of characters, '?' one\n"
    "                    character; repeatable (default: every topic)\n"
    "  --exclude NAME|PATTERN\n"
    "                    leave out the topics it matches; repeatable\n"
    "  -h, --help        this text\n"
    "  --version         the version\n"
    "\n";

std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv) {
  Args args;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& flag = argv[i];
    if (flag == "-h" || flag == "--help") return tools::stop_for_help();
    if (flag == "--version") return tools::stop_for_version();
    if (flag == "--json" || flag == "--types") {
      (flag == "--json" ? args.json : args.types) = true;
      continue;
    }
    if (flag != "--domain" && flag != "--duration" && flag != "--topic" && flag != "--exclude") {
      return tools::stop_for_error("unknown argument: " + flag);
    }
    if (i + 1 >= argv.size()) return tools::stop_for_error(tools::needs_value(flag));
    const std::string& value = argv[++i];
    if (flag == "--topic" || flag == "--exclude") {
      (flag == "--topic" ? args.topics.includes : args.topics.excludes).push_back(value);
    } else if (flag == "--domain") {
      const auto domain = tools::parse_number<std::uint32_t>(value);
      if (!domain) return tools::stop_for_error("domain: not a number: " + value);
      args.domain = *domain;
    } else {
      const auto duration = parse_duration(value);
      if (!duration) return tools::stop_for_error("duration: not a duration: " + value);
      args.duration_ms = *duration;
    }
  }
  args.topics.all = args.topics.includes.empty();
  return args;
}

}  // namespace nimbrel::discover
