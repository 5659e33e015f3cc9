// Writers' types captured from a real Cyclone DDS publisher of a rich IDL type (rich_type.idl,
// compiled by Debian's idlc): the MCAP channel's schema is IDL that Foxglove's parser reads, and
// both Foxglove's decoder and `nimbrel-rec dump --decode` give back exactly the values written;
// a replay of it serves the type to a Cyclone subscriber that knows none.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_tool.hpp"
#include "e2e/bridge_recording.hpp"
#include "recorder/mcap_read_back.hpp"

namespace nimbrel::testing {
namespace {

constexpr int sample_count = 24;

// A list of n items, item(j) for j from 0.
std::string list(int n, const std::function<std::string(int)>& item) {
  std::ostringstream out;
  out << '[';
  for (int j = 0; j < n; ++j)
    out << (j == 0 ? "" : ",") << item(j);
  out << ']';
  return out.str();
}

// Sample `i` as cyclone_rich_publisher.c writes it, spelled as JSON by one of the two decoders:
// Foxglove gives enums as numbers and a union as its one member, and cannot read the optional
// member of the appendable struct (left out); dump --decode gives enums by name, a union with its
// discriminator, and the optional member or null.
std::string expected_sample(int i, bool foxglove) {
  static const char* const modes[] = {"IDLE", "RUNNING", "FAULT"};
  const int d = i % 3 + 1;
  std::ostringstream out;
  out << "{\"id\":" << i % 3 << ",\"position\":{\"x\":" << i + 0.5 << ",\"y\":" << -i
      << ",\"z\":" << 0.25 * i << "},\"mode\":";
  if (foxglove)
    out << i % 3;
  else
    out << '"' << modes[i % 3] << '"';
  out << ",\"reading\":{";
  if (!foxglove) out << "\"discriminator\":" << d << ',';
  if (d == 1)
    out << "\"celsius\":" << 20.5 + i;
  else if (d == 2)
    out << "\"label\":\"r" << i << '"';
  else
    out << "\"raw\":" << -i;
  const auto row = [i](int r) {
    return list(3, [&](int c) { return std::to_string(r * 3 + c + i); });
  };
  out << "},\"counts\":" << list(i % 4, [](int j) { return std::to_string(10 * j); })
      << ",\"recent\":" << list(i % 5, [i](int j) { return std::to_string(i - j); })
      << ",\"matrix\":[" << row(0) << ',' << row(1) << "],\"text\":\"sample " << i
      << "\",\"short_text\":\"s" << i << "\",\"offset\":" << 0.5 * i
      << ",\"extra\":{\"a\":" << 7 * i;
  if (!foxglove) {
    if (i % 2 == 0)
      out << ",\"note\":\"even " << i << '"';
    else
      out << ",\"note\":null";
  }
  out << "}}";
  return out.str();
}

class RecorderBridgeTypesTest : public RecorderBridgeDdsperfTest {
 protected:
  void SetUp() override {
    RecorderBridgeDdsperfTest::SetUp();
    file_name_ = "rich.mcap";
  }
};

TEST_F(RecorderBridgeTypesTest, RichCycloneTypeIsTheSchemaAndDecodesExactly) {
#if !defined(NIMBREL_CYCLONE_RICH_PUBLISHER) || !defined(NIMBREL_CYCLONE_TL_SUBSCRIBER)
  GTEST_SKIP() << "Cyclone DDS peer not built";
#else
  start_bridge({}, "RichSample:rich::Sample");
  ASSERT_TRUE(bridge_->wait_for_output("recording...", generous));
  publishers_.push_back(
      PeerProcess::spawn({NIMBREL_CYCLONE_RICH_PUBLISHER, std::to_string(sample_count), "30"}));
  ASSERT_TRUE(publishers_.back());
  EXPECT_EQ(publishers_.back()->wait_exit(generous), std::optional<int>(0));
  bridge_->signal(SIGINT);
  ASSERT_EQ(bridge_->wait_exit(generous), std::optional<int>(0));

  // The schema: IDL named by the top-level type, read by Foxglove's parser and decoder.
  const auto lines = recorder::testing::mcap_read_back(file().string());
  const auto schema = std::ranges::find_if(
      lines, [](const auto& l) { return l.starts_with("schema 2 rich::Sample omgidl "); });
  EXPECT_NE(schema, lines.end());
  const auto foxglove = run_tool("node " NIMBREL_MCAP_CHECK "/decode_mcap.mjs " +
                                 shell_quoted(file().string()) + " 2>&1");
  ASSERT_TRUE(foxglove.ok) << foxglove.output;
  std::istringstream decoded(foxglove.output);
  static const std::regex optional_note(R"(,"note":("(?:[^"\\]|\\.)*"|null))");
  int seen = 0;
  for (std::string line; std::getline(decoded, line);) {
    std::istringstream fields(line);
    std::string word;
    int channel = 0;
    int sequence = 0;
    fields >> word >> channel >> sequence;
    std::string json;
    std::getline(fields, json);
    EXPECT_EQ(std::regex_replace(json.substr(1), optional_note, ""),
              expected_sample(sequence - 1, true))
        << line;
    ++seen;
  }
  EXPECT_EQ(seen, sample_count);

  // dump --decode: every member, optional ones included.
  const auto dump = run_tool(std::string(NIMBREL_REC_BINARY) + " dump " +
                             shell_quoted(file().string()) + " --decode --topic RichSample");
  ASSERT_TRUE(dump.ok) << dump.output;
  static const std::regex value_line(R"(^\{.*"sequence":([0-9]+),.*,"value":(.*)\}$)");
  std::istringstream dumped(dump.output);
  seen = 0;
  for (std::string line; std::getline(dumped, line);) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, value_line)) << line;
    EXPECT_EQ(match[2].str(), expected_sample(std::stoi(match[1].str()) - 1, false));
    ++seen;
  }
  EXPECT_EQ(seen, sample_count);

  // Replayed to a Cyclone subscriber that knows no type: it fetches the type from the replay's
  // type lookup service, then reads every sample with it.
  auto subscriber = PeerProcess::spawn(
      {NIMBREL_CYCLONE_TL_SUBSCRIBER, "60", "RichSample", std::to_string(sample_count)});
  ASSERT_TRUE(subscriber);
  auto replay = PeerProcess::spawn(
      {NIMBREL_REPLAY_BINARY, "--in", file().string(), "--wait-for-readers", "1"});
  ASSERT_TRUE(replay);
  EXPECT_EQ(subscriber->wait_exit(generous), std::optional<int>(0)) << subscriber->output();
  EXPECT_NE(subscriber->output().find("resolved rich::Sample"), std::string::npos);
  EXPECT_NE(subscriber->output().find("received " + std::to_string(sample_count)),
            std::string::npos);
  EXPECT_EQ(replay->wait_exit(generous), std::optional<int>(0)) << replay->output();
#endif
}

// Fast DDS announces its writer's type as a whole type object in its discovery record, and answers
// no type lookup: that object is the channel's schema.
TEST_F(RecorderBridgeTypesTest, FastDdsTypeFromItsDiscoveryRecord) {
#ifndef NIMBREL_FASTDDS_TYPED_PUBLISHER
  GTEST_SKIP() << "Fast DDS peer not built";
#else
  start_bridge({}, "TypedReading:typed::Reading");
  ASSERT_TRUE(bridge_->wait_for_output("recording...", generous));
  publishers_.push_back(
      PeerProcess::spawn({NIMBREL_FASTDDS_TYPED_PUBLISHER, std::to_string(sample_count), "30"}));
  ASSERT_TRUE(publishers_.back());
  EXPECT_EQ(publishers_.back()->wait_exit(generous), std::optional<int>(0));
  bridge_->signal(SIGINT);
  ASSERT_EQ(bridge_->wait_exit(generous), std::optional<int>(0));

  const auto lines = recorder::testing::mcap_read_back(file().string());
  EXPECT_EQ(
      std::ranges::count_if(
          lines, [](const auto& l) { return l.starts_with("schema 2 typed::Reading omgidl "); }),
      1);
  const auto expected = [](int n) {
    std::ostringstream out;
    out << "{\"id\":" << n % 3 << ",\"x\":" << n + 0.5 << ",\"y\":" << -n << ",\"level\":" << 10 * n
        << ",\"label\":\"reading " << n << "\"}";
    return out.str();
  };
  const auto foxglove = run_tool("node " NIMBREL_MCAP_CHECK "/decode_mcap.mjs " +
                                 shell_quoted(file().string()) + " 2>&1");
  ASSERT_TRUE(foxglove.ok) << foxglove.output;
  const auto dump = run_tool(std::string(NIMBREL_REC_BINARY) + " dump " +
                             shell_quoted(file().string()) + " --decode --topic TypedReading");
  ASSERT_TRUE(dump.ok) << dump.output;
  for (int n = 1; n <= sample_count; ++n) {
    const std::string value = expected(n);
    EXPECT_NE(foxglove.output.find(" " + std::to_string(n) + " " + value + "\n"), std::string::npos)
        << value << "\n"
        << foxglove.output;
    EXPECT_NE(dump.output.find("\"value\":" + value + "}\n"), std::string::npos) << value << "\n"
                                                                                 << dump.output;
  }
#endif
}

}  // namespace
}  // namespace nimbrel::testing
