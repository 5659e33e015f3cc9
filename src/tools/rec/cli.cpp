#include "tools/rec/cli.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <ostream>
#include <sstream>
#include <vector>

#include "tools/common/args.hpp"
#include "tools/rec/commands.hpp"
#include "tools/rec/info.hpp"
#include "tools/rec/mcap_commands.hpp"
#include "tools/rec/progress.hpp"

namespace nimbrel::rec {

const char* const usage_text =
    "nimbrel-rec - inspect, check and convert .nbrlrec and MCAP recordings\n"
    "\n"
    "USAGE:\n"
    "  nimbrel-rec COMMAND FILE [OPTIONS]     COMMAND --help: that command's usage\n"
    "  nimbrel-rec --help | --version\n"
    "\n"
    "FILE is a .nbrlrec or an MCAP recording (told apart by content); outputs of MCAP inputs are\n"
    "MCAP; an output - is standard output.\n"
    "\n"
    "COMMANDS:\n"
    "  info FILE [--json] [--sequence]      what the recording holds and how its data ends; for\n"
    "                                       MCAP per channel and per writer, with sequence gaps\n"
    "                                       and the losses of the events channel\n"
    "  verify FILE                          exit 0 clean, 1 cut or damaged, 2 not a recording\n"
    "  dump FILE [--topic NAME]... [--limit N] [--base64] [--decode]\n"
    "                                       one JSON line per frame or message, payload as hex\n"
    "                                       or base64; --decode: the sample's values, decoded\n"
    "                                       by the writer's type an MCAP recording keeps\n"
    "  export FILE --mcap OUT.mcap [--topic NAME]... [--quiet]\n"
    "                                       a .nbrlrec as MCAP (an MCAP input is refused)\n"
    "  cut FILE --out OUT [--from T] [--to T] [--topic NAME]... [--quiet]\n"
    "                                       frames with FROM <= time < TO since the start;\n"
    "                                       T like 90, 1.5s, 250ms, 2m, 1h (seconds by default)\n"
    "  merge FILE FILE... --out OUT [--quiet]\n"
    "                                       the frames of all files in time order\n"
    "  recover FILE.mcap --out OUT.mcap [--quiet]\n"
    "                                       everything readable of a damaged MCAP, with a\n"
    "                                       summary; exit 1 when the input was damaged\n"
    "  --quiet: no progress bar (drawn on a terminal for work of more than two seconds)\n"
    "\n"
    "EXIT STATUS:\n"
    "  0 done; 1 the input is cut or damaged, the output has every whole frame;\n"
    "  2 usage error or not a recording; 3 the output could not be written (none is left)\n";

namespace {

struct Parsed {
  std::vector<std::string> files;
  std::map<std::string, std::vector<std::string>, std::less<>> values;

  bool has(std::string_view option) const { return values.contains(option); }
  std::string last(std::string_view option) const {
    auto it = values.find(option);
    return it == values.end() ? std::string{} : it->second.back();
  }
  std::vector<std::string> all(std::string_view option) const {
    auto it = values.find(option);
    return it == values.end() ? std::vector<std::string>{} : it->second;
  }
};

struct OptionSpec {
  std::vector<std::string_view> with_value;
  std::vector<std::string_view> flags;
};

std::expected<Parsed, std::string> parse(std::span<const std::string> args,
                                         const OptionSpec& accepted) {
  Parsed out;
  bool options_done = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      out.files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (std::ranges::find(accepted.flags, name) != accepted.flags.end() &&
        eq == std::string::npos) {
      out.values[name].emplace_back();
    } else if (std::ranges::find(accepted.with_value, name) != accepted.with_value.end()) {
      if (eq != std::string::npos) {
        out.values[name].push_back(arg.substr(eq + 1));
      } else if (i + 1 < args.size()) {
        out.values[name].push_back(args[++i]);
      } else {
        return std::unexpected(tools::needs_value(name));
      }
    } else {
      return std::unexpected("unknown option " + arg);
    }
  }
  return out;
}

std::expected<std::uint64_t, std::string> parse_count(const std::string& text) {
  const auto value = tools::parse_number<std::uint64_t>(text);
  if (!value) return std::unexpected("not a count: \"" + text + "\"");
  return *value;
}

std::expected<std::string, std::string> one_file(const Parsed& parsed) {
  if (parsed.files.size() != 1) return std::unexpected(std::string("expected one FILE"));
  return parsed.files.front();
}

std::expected<std::string, std::string> required(const Parsed& parsed, std::string_view option) {
  if (!parsed.has(option)) return std::unexpected(std::string(option) + " is required");
  return parsed.last(option);
}

// The usage of one command: its lines of the usage text, and the exit statuses.
std::string command_usage(std::string_view command) {
  const std::string_view text = usage_text;
  const std::string head = "  " + std::string(command) + " ";
  std::string out = "USAGE:\n";
  bool inside = false;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at) + 1;
    const std::string_view line = text.substr(at, end - at);
    if (line.starts_with("EXIT STATUS:")) {
      out.append("\n").append(text.substr(at));
      break;
    }
    // A command's continuation lines are indented deeper than the commands.
    inside = line.starts_with(head) || (inside && line.starts_with("   "));
    if (inside) {
      if (line.starts_with(head)) out.append("  nimbrel-rec");
      out.append(line.substr(line.starts_with(head) ? 1 : 0));
    }
    at = end;
  }
  return out;
}

int dispatch(const std::string& command, const Parsed& parsed, std::ostream& out,
             std::ostream& err) {
  const auto usage = [&](const std::string& message) {
    err << "nimbrel-rec " << command << ": " << message << "\n" << usage_text;
    return 2;
  };
  if (command == "merge") {
    auto target = required(parsed, "--out");
    if (!target) return usage(target.error());
    if (parsed.files.empty()) return usage("expected at least one FILE");
    if (std::ranges::any_of(parsed.files, is_mcap_file))
      return run_mcap_merge({.files = parsed.files, .out = *target}, err);
    return run_merge({.files = parsed.files, .out = *target}, err);
  }
  auto file = one_file(parsed);
  if (!file) return usage(file.error());
  const bool mcap = is_mcap_file(*file);
  if (command == "recover") {
    auto target = required(parsed, "--out");
    if (!target) return usage(target.error());
    return run_recover({.file = *file, .out = *target}, err);
  }
  if (command == "info") {
    const InfoOptions options{
        .file = *file, .json = parsed.has("--json"), .sequence = parsed.has("--sequence")};
    if (!options.json) return mcap ? run_mcap_info(options, out, err) : run_info(options, out, err);
    // A reader of the JSON gets a document in any case: the error as one when there is no other.
    std::ostringstream errors;
    const int status = mcap ? run_mcap_info(options, out, errors) : run_info(options, out, errors);
    err << errors.str();
    if (status == 2) {
      std::string message = errors.str();
      while (!message.empty() && message.back() == '\n')
        message.pop_back();
      out << json_error(status, message) << "\n";
    }
    return status;
  }
  if (command == "verify")
    return mcap ? run_mcap_verify(*file, out, err) : run_verify(*file, out, err);
  if (command == "dump") {
    DumpOptions options{.file = *file, .topics = parsed.all("--topic")};
    if (parsed.has("--limit")) {
      auto limit = parse_count(parsed.last("--limit"));
      if (!limit) return usage(limit.error());
      options.limit = *limit;
    }
    if (parsed.has("--base64")) options.encoding = PayloadEncoding::Base64;
    options.decode = parsed.has("--decode");
    return mcap ? run_mcap_dump(options, out, err) : run_dump(options, out, err);
  }
  if (command == "export") {
    if (mcap) {
      err << *file << ": is MCAP already; `cut` chooses topics or times of it\n";
      return 2;
    }
    auto target = required(parsed, "--mcap");
    if (!target) return usage(target.error());
    return run_export({.file = *file, .mcap = *target, .topics = parsed.all("--topic")}, err);
  }
  // cut
  auto target = required(parsed, "--out");
  if (!target) return usage(target.error());
  CutOptions options{.file = *file, .out = *target, .topics = parsed.all("--topic")};
  for (auto [option, bound] : {std::pair{"--from", &options.from_ns}, {"--to", &options.to_ns}}) {
    if (!parsed.has(option)) continue;
    auto time = parse_time(parsed.last(option));
    if (!time) return usage(time.error());
    *bound = *time;
  }
  if (options.from_ns > options.to_ns) return usage("--from is after --to");
  return mcap ? run_mcap_cut(options, err) : run_cut(options, err);
}

}  // namespace

int run_cli(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << usage_text;
    return 2;
  }
  const std::string& command = args.front();
  if (command == "-h" || command == "--help" || command == "help") {
    out << usage_text;
    return 0;
  }
  if (command == "--version") {
    out << tools::version_line("nimbrel-rec") << '\n';
    return 0;
  }
  static const std::map<std::string, OptionSpec, std::less<>> specs{
      {"info", {{}, {"--json", "--sequence"}}},
      {"verify", {{}, {}}},
      {"dump", {{"--topic", "--limit"}, {"--base64", "--decode"}}},
      {"export", {{"--mcap", "--topic"}, {"--quiet"}}},
      {"cut", {{"--out", "--from", "--to", "--topic"}, {"--quiet"}}},
      {"merge", {{"--out"}, {"--quiet"}}},
      {"recover", {{"--out"}, {"--quiet"}}},
  };
  const auto options = specs.find(command);
  if (options == specs.end()) {
    err << "nimbrel-rec: unknown command \"" << command << "\"\n" << usage_text;
    return 2;
  }
  if (std::ranges::any_of(args.subspan(1),
                          [](const std::string& arg) { return arg == "-h" || arg == "--help"; })) {
    out << command_usage(command);
    return 0;
  }
  auto parsed = parse(args.subspan(1), options->second);
  if (!parsed) {
    err << "nimbrel-rec " << command << ": " << parsed.error() << "\n" << usage_text;
    return 2;
  }
  if (parsed->has("--quiet")) Progress::silence();
  return dispatch(command, *parsed, out, err);
}

}  // namespace nimbrel::rec
