#include "tools/recorder_bridge/args.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::bridge {
namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

std::expected<Args, ParseStop> parse(std::vector<std::string> args) {
  args.insert(args.begin(), "nimbrel-recorder-bridge");
  return parse_args(args);
}

std::vector<std::string> with_out_and_topic(std::vector<std::string> rest) {
  std::vector<std::string> args{"--out", "x.nbrlrec", "--topic", "A:TA"};
  args.insert(args.end(), rest.begin(), rest.end());
  return args;
}

struct ErrorCase {
  const char* label;
  std::vector<std::string> args;
  std::string message;
};

class ArgsError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ArgsError, ReportsTheFirstError) {
  const auto result = parse(GetParam().args);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ParseStop::Kind::Error);
  EXPECT_EQ(result.error().message, GetParam().message);
}

const std::string empty_int = "cannot parse integer from empty string";
const std::string bad_digit = "invalid digit found in string";
const std::string too_large = "number too large to fit in target type";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ArgsError, ::testing::Values(
    ErrorCase{"NoArguments", {}, "--out FILE required"},
    ErrorCase{"OnlyOut", {"--out", "x.nbrlrec"}, "at least one --topic NAME:TYPE required"},
    ErrorCase{"OutCheckedBeforeTopics", {"--domain", "3"}, "--out FILE required"},
    ErrorCase{"TopicWithoutOut", {"--topic", "A:TA"}, "--out FILE required"},
    ErrorCase{"MissingOutValue", {"--out"}, "missing value for --out"},
    ErrorCase{"MissingDomainValue", {"--out", "x", "--domain"}, "missing value for --domain"},
    ErrorCase{"MissingTopicValue", {"--topic"}, "missing value for --topic"},
    ErrorCase{"MissingDurationValue", with_out_and_topic({"--duration"}),
              "missing value for --duration"},
    ErrorCase{"UnknownFlag", {"--verbose"}, "unknown flag: --verbose"},
    ErrorCase{"UnknownFlagWithValue", with_out_and_topic({"--verbose", "1"}),
              "unknown flag: --verbose"},
    ErrorCase{"StrayValueInFlagPosition", with_out_and_topic({"extra"}), "unknown flag: extra"},
    ErrorCase{"FlagsAreCaseSensitive", {"--OUT", "x"}, "unknown flag: --OUT"},
    ErrorCase{"SingleDashLongFlag", {"-out", "x"}, "unknown flag: -out"},
    ErrorCase{"TopicWithoutColon", with_out_and_topic({"--topic", "Foo"}),
              "topic must be NAME:TYPE, got Foo"},
    ErrorCase{"EmptyTopic", with_out_and_topic({"--topic", ""}), "topic must be NAME:TYPE, got "},
    ErrorCase{"DomainNegative", with_out_and_topic({"--domain", "-1"}), "domain: " + bad_digit},
    ErrorCase{"DomainPastU32", with_out_and_topic({"--domain", "4294967296"}),
              "domain: " + too_large},
    ErrorCase{"DomainLeadingBlank", with_out_and_topic({"--domain", " 7"}), "domain: " + bad_digit},
    ErrorCase{"DomainTrailingBlank", with_out_and_topic({"--domain", "7 "}),
              "domain: " + bad_digit},
    ErrorCase{"DomainEmpty", with_out_and_topic({"--domain", ""}), "domain: " + empty_int},
    ErrorCase{"DomainLonePlus", with_out_and_topic({"--domain", "+"}), "domain: " + bad_digit},
    ErrorCase{"DomainLoneMinus", with_out_and_topic({"--domain", "-"}), "domain: " + bad_digit},
    ErrorCase{"DomainDoublePlus", with_out_and_topic({"--domain", "++7"}),
              "domain: " + bad_digit},
    ErrorCase{"DomainMinusZero", with_out_and_topic({"--domain", "-0"}), "domain: " + bad_digit},
    ErrorCase{"DomainHex", with_out_and_topic({"--domain", "0x10"}), "domain: " + bad_digit},
    ErrorCase{"DomainOverflowBeforeBadDigit", with_out_and_topic({"--domain", "99999999999x"}),
              "domain: " + too_large},
    ErrorCase{"DomainBadDigitBeforeOverflow", with_out_and_topic({"--domain", "1x99999999999"}),
              "domain: " + bad_digit},
    ErrorCase{"DurationBlankBeforeUnit", with_out_and_topic({"--duration", "3 s"}),
              "s: " + bad_digit},
    ErrorCase{"DurationOnlyMs", with_out_and_topic({"--duration", "ms"}), "ms: " + empty_int},
    ErrorCase{"DurationOnlyS", with_out_and_topic({"--duration", "s"}), "s: " + empty_int},
    ErrorCase{"DurationEmpty", with_out_and_topic({"--duration", ""}), "ms-default: " + empty_int},
    ErrorCase{"DurationOnlyBlanks", with_out_and_topic({"--duration", " \t "}),
              "ms-default: " + empty_int},
    ErrorCase{"DurationFraction", with_out_and_topic({"--duration", "1.5s"}), "s: " + bad_digit},
    ErrorCase{"DurationNegativeMs", with_out_and_topic({"--duration", "-5ms"}),
              "ms: " + bad_digit},
    ErrorCase{"DurationBlankBeforeMs", with_out_and_topic({"--duration", "5 ms"}),
              "ms: " + bad_digit},
    ErrorCase{"DurationUpperCaseUnit", with_out_and_topic({"--duration", "5MS"}),
              "ms-default: " + bad_digit},
    ErrorCase{"DurationMinutes", with_out_and_topic({"--duration", "5m"}),
              "ms-default: " + bad_digit},
    ErrorCase{"DurationPastU64", with_out_and_topic({"--duration", "18446744073709551616"}),
              "ms-default: " + too_large},
    ErrorCase{"DurationMsPastU64", with_out_and_topic({"--duration", "18446744073709551616ms"}),
              "ms: " + too_large},
    ErrorCase{"DurationSecondsPastU64", with_out_and_topic({"--duration", "18446744073709551616s"}),
              "s: " + too_large},
    ErrorCase{"HelpAfterAnError", {"--verbose", "x", "--help"}, "unknown flag: --verbose"},
    ErrorCase{"HelpAfterABadValue", {"--domain", "x", "-h"}, "domain: " + bad_digit},
    ErrorCase{"FirstErrorWins", {"--domain", "x", "--topic", "Foo"}, "domain: " + bad_digit},
    ErrorCase{"UnknownFlagBeatsMissingValue", {"--out", "x", "--bogus"}, "unknown flag: --bogus"},
    ErrorCase{"NonUtf8Value", {"--out", "x\xFF.nbrlrec", "--topic", "A:TA"},
              "argument 2 is not valid UTF-8"},
    ErrorCase{"NonUtf8EvenAfterHelp", {"--help", "\xC0\x80"}, "argument 2 is not valid UTF-8"}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

struct HelpCase {
  const char* label;
  std::vector<std::string> args;
};

class ArgsHelp : public ::testing::TestWithParam<HelpCase> {};

TEST_P(ArgsHelp, StopsWithHelp) {
  const auto result = parse(GetParam().args);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ParseStop::Kind::Help);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ArgsHelp, ::testing::Values(
    HelpCase{"LongFlag", {"--help"}},
    HelpCase{"ShortFlag", {"-h"}},
    HelpCase{"Word", {"help"}},
    HelpCase{"AfterValidFlags", {"--out", "x", "--domain", "3", "--help"}},
    HelpCase{"BeforeLaterErrors", {"-h", "--verbose", "--domain", "x"}},
    HelpCase{"InsteadOfMissingTopic", {"--out", "x", "help"}}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

struct ParsedCase {
  const char* label;
  std::vector<std::string> args;
  std::string out;
  std::uint32_t domain;
  std::vector<TopicArg> topics;
  std::optional<std::uint64_t> duration_ms;
};

class ArgsParsed : public ::testing::TestWithParam<ParsedCase> {};

TEST_P(ArgsParsed, FillsArgs) {
  const auto& c = GetParam();
  const auto result = parse(c.args);
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ(result->out, c.out);
  EXPECT_EQ(result->domain, c.domain);
  EXPECT_EQ(result->topics, c.topics);
  EXPECT_EQ(result->duration_ms, c.duration_ms);
}

const std::vector<TopicArg> a_ta{{"A", "TA"}};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ArgsParsed, ::testing::Values(
    ParsedCase{"Minimal", {"--out", "x.nbrlrec", "--topic", "A:TA"}, "x.nbrlrec", 0, a_ta, {}},
    ParsedCase{"FlagsInAnyOrder", {"--topic", "A:TA", "--domain", "9", "--out", "y"},
               "y", 9, a_ta, {}},
    ParsedCase{"LaterOutWins", {"--out", "a", "--topic", "A:TA", "--out", "b"}, "b", 0, a_ta, {}},
    ParsedCase{"EmptyOut", {"--out", "", "--topic", "A:TA"}, "", 0, a_ta, {}},
    ParsedCase{"ScopedType", {"--out", "x", "--topic", "Foo:geo::Shape"},
               "x", 0, {{"Foo", "geo::Shape"}}, {}},
    ParsedCase{"SingleColon", {"--out", "x", "--topic", ":"}, "x", 0, {{"", ""}}, {}},
    ParsedCase{"EmptyType", {"--out", "x", "--topic", "A:"}, "x", 0, {{"A", ""}}, {}},
    ParsedCase{"EmptyName", {"--out", "x", "--topic", ":T"}, "x", 0, {{"", "T"}}, {}},
    ParsedCase{"TopicsInOrderWithDuplicates",
               {"--out", "x", "--topic", "B:TB", "--topic", "A:TA", "--topic", "B:TB"},
               "x", 0, {{"B", "TB"}, {"A", "TA"}, {"B", "TB"}}, {}},
    ParsedCase{"HelpAsAValue", {"--out", "--help", "--topic", "help:-h"},
               "--help", 0, {{"help", "-h"}}, {}},
    ParsedCase{"DomainPlus", with_out_and_topic({"--domain", "+7"}), "x.nbrlrec", 7, a_ta, {}},
    ParsedCase{"DomainLeadingZeros", with_out_and_topic({"--domain", "007"}),
               "x.nbrlrec", 7, a_ta, {}},
    ParsedCase{"DomainMax", with_out_and_topic({"--domain", "4294967295"}),
               "x.nbrlrec", 4294967295u, a_ta, {}},
    ParsedCase{"LaterDomainWins", with_out_and_topic({"--domain", "1", "--domain", "2"}),
               "x.nbrlrec", 2, a_ta, {}},
    ParsedCase{"Seconds", with_out_and_topic({"--duration", "2s"}), "x.nbrlrec", 0, a_ta, 2000},
    ParsedCase{"DefaultMillis", with_out_and_topic({"--duration", "1500"}),
               "x.nbrlrec", 0, a_ta, 1500},
    ParsedCase{"Millis", with_out_and_topic({"--duration", "1500ms"}),
               "x.nbrlrec", 0, a_ta, 1500},
    ParsedCase{"TrimmedBlanks", with_out_and_topic({"--duration", " 3s "}),
               "x.nbrlrec", 0, a_ta, 3000},
    ParsedCase{"TrimmedControlSpace", with_out_and_topic({"--duration", "\t5\n"}),
               "x.nbrlrec", 0, a_ta, 5},
    // NO-BREAK SPACE, EM SPACE, IDEOGRAPHIC SPACE, NEXT LINE
    ParsedCase{"TrimmedUnicodeSpace",
               with_out_and_topic({"--duration", "\u00A0\u20034s\u3000\u0085"}),
               "x.nbrlrec", 0, a_ta, 4000},
    ParsedCase{"PlusSeconds", with_out_and_topic({"--duration", "+5s"}),
               "x.nbrlrec", 0, a_ta, 5000},
    ParsedCase{"Zero", with_out_and_topic({"--duration", "0"}), "x.nbrlrec", 0, a_ta, 0},
    ParsedCase{"MaxMillis", with_out_and_topic({"--duration", "18446744073709551615"}),
               "x.nbrlrec", 0, a_ta, u64_max},
    ParsedCase{"HugeSecondsSaturate", with_out_and_topic({"--duration", "18446744073709551615s"}),
               "x.nbrlrec", 0, a_ta, u64_max},
    ParsedCase{"LaterDurationWins", with_out_and_topic({"--duration", "1s", "--duration", "7"}),
               "x.nbrlrec", 0, a_ta, 7}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

struct TrimCase {
  const char* label;
  std::string text;
  std::string expected;
};

class TrimUnicodeSpace : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimUnicodeSpace, StripsOnlyWhiteSpaceAtTheEnds) {
  EXPECT_EQ(trim_unicode_space(GetParam().text), GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, TrimUnicodeSpace, ::testing::Values(
    TrimCase{"Nothing", "abc", "abc"},
    TrimCase{"AllSpace", " \u2028\u2029 ", ""},
    TrimCase{"InnerSpaceKept", " a b ", "a b"},
    TrimCase{"LineAndParagraphSeparators", "\u2028x\u2029", "x"},
    TrimCase{"ZeroWidthSpaceIsNotWhiteSpace", "\u200Bx\u200B", "\u200Bx\u200B"},
    TrimCase{"MultiByteNonSpaceAtEnd", " \u00E9", "\u00E9"},
    TrimCase{"StrayContinuationByteKept", "x\x80", "x\x80"}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

struct QuoteCase {
  const char* label;
  std::string text;
  std::string expected;
};

class QuotePath : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuotePath, EscapesLikeADebugString) {
  EXPECT_EQ(quote_path(GetParam().text), GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, QuotePath, ::testing::Values(
    QuoteCase{"Plain", "/tmp/x.nbrlrec", R"("/tmp/x.nbrlrec")"},
    QuoteCase{"Empty", "", R"("")"},
    QuoteCase{"DoubleQuote", R"(a"b)", R"("a\"b")"},
    QuoteCase{"SingleQuoteKept", "it's", R"("it's")"},
    QuoteCase{"Backslash", R"(a\b)", R"("a\\b")"},
    QuoteCase{"NamedControls", "a\nb\tc\rd", R"("a\nb\tc\rd")"},
    QuoteCase{"Nul", std::string("a\0b", 3), R"("a\0b")"},
    QuoteCase{"Escape", "\x1B[0m", R"("\u{1b}[0m")"},
    QuoteCase{"Delete", "\x7F", R"("\u{7f}")"},
    QuoteCase{"C1Control", "\u0085", R"("\u{85}")"},
    QuoteCase{"NonAsciiKept", "Gr\u00F6\u00DFe \u2192 \U0001F600", "\"Gr\u00F6\u00DFe \u2192 \U0001F600\""},
    QuoteCase{"InvalidByte", "a\xFF", R"("a\xFF")"}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

}  // namespace
}  // namespace nimbrel::bridge
