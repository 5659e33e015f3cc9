#include "tools/replay/args.hpp"

#include <cmath>

#include "tools/common/args.hpp"

namespace nimbrel::replay {

const std::string_view usage_text =
    "nimbrel-replay - play a .nbrlrec or MCAP recording back into a DDS domain\n"
    "\n"
    "USAGE:\n"
    "  nimbrel-replay --in FILE [--domain N] [--topic NAME ...] [--rate FACTOR] [--loop]\n"
    "    [--wait-for-readers N] [--max-gap TIME]\n"
    "\n"
    "OPTIONS:\n"
    "  --in FILE              recording to play: .nbrlrec or MCAP (\"cdr\" channels)\n"
    "  --domain N             DDS domain id (default 0)\n"
    "  --topic NAME           play only this topic; repeatable (default: all topics)\n"
    "  --rate FACTOR          1 keeps the recorded timing, 2 plays twice as fast,\n"
    "                         0 as fast as the readers take the samples (default 1)\n"
    "  --loop                 start again after the last sample, until Ctrl-C\n"
    "  --wait-for-readers N   wait for N matched remote readers before the first sample\n"
    "  --max-gap TIME         the longest wait between two samples: a longer jump of the\n"
    "                         recorded times (a clock step, a paused recorder) is cut to it,\n"
    "                         and said once; like 1s, 250ms, 2m; 0 keeps every gap (default 1s)\n"
    "  --version              print the version and exit\n"
    "\n";

std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv) {
  Args args;
  bool have_in = false;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& flag = argv[i];
    if (flag == "-h" || flag == "--help" || flag == "help") {
      return tools::stop_for_help();
    }
    if (flag == "--version") return tools::stop_for_version();
    if (flag == "--loop") {
      args.loop = true;
      continue;
    }
    if (flag != "--in" && flag != "--domain" && flag != "--topic" && flag != "--rate" &&
        flag != "--wait-for-readers" && flag != "--max-gap") {
      return tools::stop_for_error("unknown argument " + flag);
    }
    if (i + 1 >= argv.size()) return tools::stop_for_error(tools::needs_value(flag));
    const std::string& value = argv[++i];
    if (flag == "--in") {
      args.in = value;
      have_in = true;
    } else if (flag == "--topic") {
      args.topics.push_back(value);
    } else if (flag == "--domain") {
      const auto domain = tools::parse_number<std::uint32_t>(value);
      if (!domain) return tools::stop_for_error("--domain: not a domain id: " + value);
      args.domain = *domain;
    } else if (flag == "--max-gap") {
      const auto gap = tools::parse_time(value);
      if (!gap) return tools::stop_for_error("--max-gap: not a time: " + value);
      args.max_gap_ns = *gap;
    } else if (flag == "--wait-for-readers") {
      const auto count = tools::parse_number<std::uint32_t>(value);
      if (!count) return tools::stop_for_error("--wait-for-readers: not a count: " + value);
      args.wait_for_readers = *count;
    } else {
      const auto rate = tools::parse_number<double>(value);
      if (!rate || !std::isfinite(*rate) || *rate < 0) {
        return tools::stop_for_error("--rate: not a factor of 0 or more: " + value);
      }
      args.rate = *rate;
    }
  }
  if (!have_in) return tools::stop_for_error("--in FILE is required");
  return args;
}

}  // namespace nimbrel::replay
