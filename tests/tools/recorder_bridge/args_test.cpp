#include "tools/recorder_bridge/args.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbrel::bridge {
namespace {

std::expected<Args, ParseStop> parse(std::vector<std::string> args) {
  args.insert(args.begin(), "nimbrel-recorder-bridge");
  return parse_args(args);
}

// "help", "error: " and the message, or what was parsed.
std::string outcome(const std::vector<std::string>& args) {
  const auto result = parse(args);
  if (!result) {
    if (result.error().kind == ParseStop::Kind::Help) return "help";
    return std::string("error: ").append(result.error().message);
  }
  std::string out = "out=";
  out.append(result->out).append(" domain=").append(std::to_string(result->domain));
  for (const auto& topic : result->topics)
    out.append(" [").append(topic.name).append("|").append(topic.type_name).append("]");
  if (result->duration_ms) out.append(" duration=").append(std::to_string(*result->duration_ms));
  if (result->filter.all) out.append(" all");
  for (const auto& include : result->filter.includes)
    out.append(" include=").append(include);
  for (const auto& exclude : result->filter.excludes)
    out.append(" exclude=").append(exclude);
  if (result->max_topics != 4096)
    out.append(" max-topics=").append(std::to_string(result->max_topics));
  return out;
}

TEST(Args, WholeCommandLines) {
  // clang-format off
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "error: --out FILE required"},
      {{"--out", "x.nbrlrec"}, "error: at least one --topic NAME:TYPE required"},
      {{"--domain", "3"}, "error: --out FILE required"},  // --out is checked before the topics
      {{"--topic", "A:TA"}, "error: --out FILE required"},
      {{"--out"}, "error: missing value for --out"},
      {{"--out", "x", "--domain"}, "error: missing value for --domain"},
      {{"--topic"}, "error: missing value for --topic"},
      {{"--out", "x", "--topic", "A:TA", "--duration"}, "error: missing value for --duration"},
      {{"--verbose"}, "error: unknown flag: --verbose"},
      {{"--out", "x", "--topic", "A:TA", "--verbose", "1"}, "error: unknown flag: --verbose"},
      {{"--out", "x", "--topic", "A:TA", "extra"}, "error: unknown flag: extra"},
      {{"--OUT", "x"}, "error: unknown flag: --OUT"},
      {{"-out", "x"}, "error: unknown flag: -out"},
      {{"--out", "x", "--topic", "Foo"}, "error: topic must be NAME:TYPE, got Foo"},
      {{"--out", "x", "--topic", ""}, "error: topic must be NAME:TYPE, got "},
      // The first error wins, and help after an error does not help.
      {{"--verbose", "x", "--help"}, "error: unknown flag: --verbose"},
      {{"--domain", "x", "-h"}, "error: domain: invalid digit found in string"},
      {{"--domain", "x", "--topic", "Foo"}, "error: domain: invalid digit found in string"},
      {{"--out", "x", "--bogus"}, "error: unknown flag: --bogus"},
      {{"--out", "x\xFF.nbrlrec", "--topic", "A:TA"}, "error: argument 2 is not valid UTF-8"},
      {{"--help", "\xC0\x80"}, "error: argument 2 is not valid UTF-8"},
      {{"--help"}, "help"},
      {{"-h"}, "help"},
      {{"help"}, "help"},
      {{"--out", "x", "--domain", "3", "--help"}, "help"},
      {{"-h", "--verbose", "--domain", "x"}, "help"},
      {{"--out", "x", "help"}, "help"},  // instead of the missing topic
      {{"--out", "x.nbrlrec", "--topic", "A:TA"}, "out=x.nbrlrec domain=0 [A|TA]"},
      {{"--topic", "A:TA", "--domain", "9", "--out", "y"}, "out=y domain=9 [A|TA]"},
      {{"--out", "a", "--topic", "A:TA", "--out", "b"}, "out=b domain=0 [A|TA]"},
      {{"--out", "", "--topic", "A:TA"}, "out= domain=0 [A|TA]"},
      {{"--out", "x", "--topic", "Foo:geo::Shape"}, "out=x domain=0 [Foo|geo::Shape]"},
      {{"--out", "x", "--topic", ":"}, "out=x domain=0 [|]"},
      {{"--out", "x", "--topic", "A:"}, "out=x domain=0 [A|]"},
      {{"--out", "x", "--topic", ":T"}, "out=x domain=0 [|T]"},
      {{"--out", "x", "--topic", "B:TB", "--topic", "A:TA", "--topic", "B:TB"},
       "out=x domain=0 [B|TB] [A|TA] [B|TB]"},
      {{"--out", "--help", "--topic", "help:-h"}, "out=--help domain=0 [help|-h]"},
      {{"--out", "x", "--topic", "A:TA", "--domain", "1", "--domain", "2"}, "out=x domain=2 [A|TA]"},
      {{"--out", "x", "--topic", "A:TA", "--duration", "1s", "--duration", "7"},
       "out=x domain=0 [A|TA] duration=7"},
      // An MCAP output, wherever --out stands, takes topics by name or pattern and --all.
      {{"--out", "x.mcap", "--all"}, "out=x.mcap domain=0 all"},
      {{"--all", "--topic", "Foo", "--out", "x.MCAP", "--max-topics", "5"},
       "out=x.MCAP domain=0 all include=Foo max-topics=5"},
      {{"--out", "x.mcap", "--topic", "rt/*", "--topic", "A:TA", "--exclude", "*b", "--all"},
       "out=x.mcap domain=0 [A|TA] all include=rt/* exclude=*b"},
      {{"--out", "x.mcap", "--topic", "A?:T"}, "out=x.mcap domain=0 include=A?:T"},
      {{"--out", "x.mcap", "--all", "--out", "x.nbrlrec"}, "error: --all needs an .mcap output"},
      {{"--out", "x.mcap", "--all", "--max-topics", "x"},
       "error: max-topics: must be a whole number from 1 to 4294967295"},
      {{"--out", "x.mcap", "--all", "--exclude"}, "error: missing value for --exclude"},
  };
  // clang-format on
  for (const auto& [args, expected] : cases)
    EXPECT_EQ(outcome(args), expected) << ::testing::PrintToString(args);
}

const std::string bad_digit = "invalid digit found in string";
const std::string too_large = "number too large to fit in target type";
const std::string empty_int = "cannot parse integer from empty string";

// The value parsed after a valid --out and --topic, or the error.
std::string value_of(const std::string& flag, const std::string& value) {
  const auto result = parse({"--out", "x", "--topic", "A:TA", flag, value});
  if (!result) return result.error().message;
  if (flag == "--max-sample-size") return std::to_string(result->max_sample_size);
  return std::to_string(flag == "--domain" ? result->domain : result->duration_ms.value());
}

TEST(Args, DomainValues) {
  const std::string bad = "domain: " + bad_digit;
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"-1", bad}, {" 7", bad}, {"7 ", bad}, {"+", bad}, {"-", bad}, {"++7", bad}, {"-0", bad},
      {"0x10", bad}, {"1x99999999999", bad}, {"", "domain: " + empty_int},
      {"4294967296", "domain: " + too_large},
      {"99999999999x", "domain: " + too_large},  // the overflow comes first
      {"+7", "7"}, {"007", "7"}, {"4294967295", "4294967295"}};
  // clang-format on
  for (const auto& [value, expected] : cases)
    EXPECT_EQ(value_of("--domain", value), expected) << "\"" << value << "\"";
}

TEST(Args, MaxSampleSizeValues) {
  const std::string not_size =
      "max-sample-size: not a size: a number of bytes, or with K, M or G "
      "(64MiB)";
  const std::string out_of_range = "max-sample-size: must be from 4 bytes to 4 GiB - 1";
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"1048576", "1048576"}, {"4", "4"}, {"64MiB", "67108864"}, {"64M", "67108864"},
      {"512K", "524288"}, {"512KiB", "524288"}, {"3G", "3221225472"},
      {"4294967295", "4294967295"}, {"4G", out_of_range}, {"3", out_of_range},
      {"", not_size}, {"MiB", not_size}, {"1.5M", not_size}, {"-1", not_size}, {"5 M", not_size},
      {"5m", not_size}, {"18446744073709551615G", "max-sample-size: too large"}};
  // clang-format on
  for (const auto& [value, expected] : cases)
    EXPECT_EQ(value_of("--max-sample-size", value), expected) << "\"" << value << "\"";
  EXPECT_EQ(parse({"--out", "x", "--topic", "A:TA"})->max_sample_size, 64u << 20);
}

TEST(Args, DurationValues) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"3 s", "s: " + bad_digit},           {"ms", "ms: " + empty_int},
      {"s", "s: " + empty_int},             {"", "ms-default: " + empty_int},
      {" \t ", "ms-default: " + empty_int}, {"1.5s", "s: " + bad_digit},
      {"-5ms", "ms: " + bad_digit},         {"5 ms", "ms: " + bad_digit},
      {"5MS", "ms-default: " + bad_digit},  {"5m", "ms-default: " + bad_digit},
      {"18446744073709551616", "ms-default: " + too_large},
      {"18446744073709551616ms", "ms: " + too_large},
      {"18446744073709551616s", "s: " + too_large},
      {"2s", "2000"}, {"1500", "1500"}, {"1500ms", "1500"}, {" 3s ", "3000"}, {"\t5\n", "5"},
      {"\u00A0\u20034s\u3000\u0085", "4000"},  // NO-BREAK, EM, IDEOGRAPHIC SPACE, NEXT LINE
      {"+5s", "5000"}, {"0", "0"}, {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551615s", "18446744073709551615"}};  // saturated
  // clang-format on
  for (const auto& [value, expected] : cases)
    EXPECT_EQ(value_of("--duration", value), expected) << "\"" << value << "\"";
}

TEST(TrimUnicodeSpace, StripsOnlyWhiteSpaceAtTheEnds) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "abc"},
      {" \u2028\u2029 ", ""},
      {" a b ", "a b"},
      {"\u2028x\u2029", "x"},
      {"\u200Bx\u200B", "\u200Bx\u200B"},  // ZERO WIDTH SPACE is no white space
      {" \u00E9", "\u00E9"},
      {"x\x80", "x\x80"},  // a stray continuation byte is kept
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(trim_unicode_space(text), expected) << text;
}

TEST(QuotePath, EscapesLikeADebugString) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"/tmp/x.nbrlrec", R"("/tmp/x.nbrlrec")"},
      {"", R"("")"},
      {R"(a"b)", R"("a\"b")"},
      {"it's", R"("it's")"},
      {R"(a\b)", R"("a\\b")"},
      {"a\nb\tc\rd", R"("a\nb\tc\rd")"},
      {std::string("a\0b", 3), R"("a\0b")"},
      {"\x1B[0m", R"("\u{1b}[0m")"},
      {"\x7F", R"("\u{7f}")"},
      {"\u0085", R"("\u{85}")"},
      {"Gr\u00F6\u00DFe \u2192 \U0001F600", "\"Gr\u00F6\u00DFe \u2192 \U0001F600\""},
      {"a\xFF", R"("a\xFF")"},
  };
  // clang-format on
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(quote_path(text), expected) << text;
}

}  // namespace
}  // namespace nimbrel::bridge
