#include <gtest/gtest.h>

#include "tools/common/json.hpp"
#include "tools/rec/progress.hpp"
#include "tools/rec/rec_fixtures.hpp"

namespace nimbrel::rec::testing {
namespace {

TEST(ParseTime, UnitsFractionsAndErrors) {
  const std::vector<std::pair<std::string, std::uint64_t>> good{{"0", 0},
                                                                {"90", 90'000'000'000},
                                                                {"1.5s", 1'500'000'000},
                                                                {"250ms", 250'000'000},
                                                                {"3us", 3'000},
                                                                {"7ns", 7},
                                                                {"2m", 120'000'000'000},
                                                                {"1h", 3'600'000'000'000},
                                                                {".25", 250'000'000},
                                                                {"1.0000000019", 1'000'000'001}};
  for (const auto& [text, ns] : good)
    EXPECT_EQ(parse_time(text), ns) << text;
  for (const char* bad : {"", "s", ".", "1.2.3", "-1", "5 s", "5sec", "99999999999h"})
    EXPECT_FALSE(parse_time(bad)) << bad;
}

TEST(Cli, UsageErrorsAreStatusTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate", "x"},
           {"info"},
           {"info", "a", "b"},
           {"info", "--bogus", "a"},
           {"export", "a"},
           {"cut", "a", "--out"},
           {"cut", "a", "--out", "b", "--from", "soon"},
           {"cut", "a", "--out", "b", "--from", "2s", "--to", "1s"},
           {"dump", "a", "--limit", "many"},
           {"merge", "--out", "x"}}) {
    const RecRun run = rec(args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_NE(run.err.find("USAGE:\n  nimbrel-rec COMMAND"), std::string::npos);
  }
  EXPECT_EQ(rec({"--help"}).status, 0);
  // A command's own help: its usage lines and the exit statuses, not the others'.
  const RecRun help = rec({"merge", "a", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("USAGE:\n  nimbrel-rec merge FILE FILE... --out OUT"))
      << help.out;
  EXPECT_EQ(help.out.find("  cut "), std::string::npos);
  EXPECT_NE(help.out.find("EXIT STATUS:\n  0 done;"), std::string::npos);
}

TEST(Dump, OneJsonLinePerChosenFrame) {
  TempDir dir;
  const std::string path = dir.file("in.nbrlrec");
  recorder::Header header = recorder::fixtures::example_header();
  header.topics[1].name = "B \"quoted\"\n";
  header.start_ns = 1'000;
  write_recording(path, header,
                  {{0, 5, Bytes{std::byte{0xde}, std::byte{0xad}}},
                   {1, 7, Bytes{}},
                   {0, 9, Bytes{std::byte{0xff}, std::byte{0}, std::byte{1}, std::byte{2}}}});
  RecRun run = rec({"dump", path});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "{\"time_ns\":5,\"unix_ns\":1005,\"participant\":0,\"topic\":\"A\",\"type\":\"TA\","
            "\"kind\":0,\"size\":2,\"hex\":\"dead\"}\n"
            "{\"time_ns\":7,\"unix_ns\":1007,\"participant\":0,\"topic\":\"B \\\"quoted\\\"\\n\","
            "\"type\":\"TB\",\"kind\":0,\"size\":0,\"hex\":\"\"}\n"
            "{\"time_ns\":9,\"unix_ns\":1009,\"participant\":0,\"topic\":\"A\",\"type\":\"TA\","
            "\"kind\":0,\"size\":4,\"hex\":\"ff000102\"}\n");
  run = rec({"dump", path, "--topic", "A", "--limit", "1", "--base64"});
  EXPECT_EQ(run.out,
            "{\"time_ns\":5,\"unix_ns\":1005,\"participant\":0,\"topic\":\"A\",\"type\":\"TA\","
            "\"kind\":0,\"size\":2,\"base64\":\"3q0=\"}\n");
  run = rec({"dump", path, "--topic", "Z"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("no topic \"Z\""), std::string::npos);
}

// A payload longer than the pieces it is encoded in reads as one encoded whole, in either form.
TEST(Dump, ALargePayloadIsEncodedInPiecesThatJoinUp) {
  TempDir dir;
  const std::string path = dir.file("in.nbrlrec");
  const Bytes payload = payload_of((3 << 20) * 2 + 7, 9);
  write_recording(path, recorder::fixtures::example_header(), {{0, 5, payload}});
  for (const auto& [option, text] : {std::pair{"--limit=1", tools::to_hex(payload)},
                                     std::pair{"--base64", tools::to_base64(payload)}}) {
    const RecRun run = rec({"dump", path, option});
    EXPECT_EQ(run.status, 0);
    const auto at = run.out.find(text);
    EXPECT_NE(at, std::string::npos) << option;
    EXPECT_EQ(run.out.substr(at + text.size()), "\"}\n") << option;
  }
}

// Names from the file cannot forge the lines after them or drive the terminal.
TEST(Info, TextEscapesTopicAndTypeNames) {
  TempDir dir;
  const std::string path = dir.file("in.nbrlrec");
  recorder::Header header = recorder::fixtures::example_header();
  header.topics[0].name = "A\nend: clean end at byte 0\x1b[2J";
  header.topics[1].type_name = "T\r\xff";
  write_recording(path, header, {});
  const RecRun run = rec({"info", path});
  EXPECT_NE(run.out.find("  A\\nend: clean end at byte 0\\x1b[2J (TA): frames=0 bytes=0\n"
                         "  B (T\\r\\xff): frames=0"),
            std::string::npos)
      << run.out;
}

TEST(Progress, BarFillsWithTheWorkDone) {
  const std::uint64_t mb = 1 << 20;
  EXPECT_EQ(progress_line("cut", 0, 200 * mb),
            "cut [                              ]   0% 0/200 MiB");
  EXPECT_EQ(progress_line("cut", 100 * mb, 200 * mb),
            "cut [###############               ]  50% 100/200 MiB");
  EXPECT_EQ(progress_line("cut", 300 * mb, 200 * mb),
            "cut [##############################] 100% 200/200 MiB");
}

// Work that ends before the delay draws nothing; after it, the bar and its end.
TEST(Progress, DrawsOnlyOnceTheWorkHasTakenItsDelay) {
  for (const auto delay : {std::chrono::hours(1), std::chrono::hours(0)}) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    Progress progress(file, "cut", 100, delay);
    progress.update(50);
    progress.finish();
    const long size = std::ftell(file);
    std::fclose(file);
    EXPECT_EQ(size > 0, delay == std::chrono::hours(0));
  }
}

}  // namespace
}  // namespace nimbrel::rec::testing
