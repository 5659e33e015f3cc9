#include "tools/replay/args.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace nimbrel::replay {

const std::string_view usage_text =
    "nimbrel-replay - play a .nbrlrec recording back into a DDS domain\n"
    "\n"
    "USAGE:\n"
    "  nimbrel-replay --in FILE [--domain N] [--topic NAME ...] [--rate FACTOR] [--loop]\n"
    "    [--wait-for-readers N]\n"
    "\n"
    "OPTIONS:\n"
    "  --in FILE              recording to play\n"
    "  --domain N             DDS domain id (default 0)\n"
    "  --topic NAME           play only this topic; repeatable (default: all topics)\n"
    "  --rate FACTOR          1 keeps the recorded timing, 2 plays twice as fast,\n"
    "                         0 as fast as the readers take the samples (default 1)\n"
    "  --loop                 start again after the last sample, until Ctrl-C\n"
    "  --wait-for-readers N   wait for N matched remote readers before the first sample\n"
    "\n";

namespace {

std::unexpected<ParseStop> error(std::string message) {
  return std::unexpected(ParseStop{.kind = ParseStop::Kind::Error, .message = std::move(message)});
}

template <typename T>
bool parse_number(std::string_view text, T& out) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc{} && ptr == end && !text.empty();
}

}  // namespace

std::expected<Args, ParseStop> parse_args(std::span<const std::string> argv) {
  Args args;
  bool have_in = false;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& flag = argv[i];
    if (flag == "-h" || flag == "--help" || flag == "help") {
      return std::unexpected(ParseStop{.kind = ParseStop::Kind::Help, .message = {}});
    }
    if (flag == "--loop") {
      args.loop = true;
      continue;
    }
    if (flag != "--in" && flag != "--domain" && flag != "--topic" && flag != "--rate" &&
        flag != "--wait-for-readers") {
      return error("unknown argument " + flag);
    }
    if (i + 1 >= argv.size()) return error(flag + " needs a value");
    const std::string& value = argv[++i];
    if (flag == "--in") {
      args.in = value;
      have_in = true;
    } else if (flag == "--topic") {
      args.topics.push_back(value);
    } else if (flag == "--domain") {
      if (!parse_number(value, args.domain)) return error("--domain: not a domain id: " + value);
    } else if (flag == "--wait-for-readers") {
      if (!parse_number(value, args.wait_for_readers)) {
        return error("--wait-for-readers: not a count: " + value);
      }
    } else if (!parse_number(value, args.rate) || !std::isfinite(args.rate) || args.rate < 0) {
      return error("--rate: not a factor of 0 or more: " + value);
    }
  }
  if (!have_in) return error("--in FILE is required");
  return args;
}

}  // namespace nimbrel::replay
