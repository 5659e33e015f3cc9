// Every number a writer used is either delivered or lost once, with the reason: the writer let it
// go (GAP, or a HEARTBEAT that moved past it), it never arrived from a best-effort writer, or it
// was too large. What a writer sent before it was first heard is not counted.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "rtps/reader_test_util.hpp"
#include "rtps/reliable_reader.hpp"

namespace nimbrel::rtps {
namespace {

using namespace nimbrel::rtps::testing;
using Sns = std::vector<SequenceNumber>;
using Lost = std::tuple<SequenceNumber, SequenceNumber, LossReason>;

// d: DATA a; h: HEARTBEAT a..b; g: GAP of a up to b (exclusive); f: a fragment of sample a, a
// sample above the reader's largest one; x: the writer goes.
struct Step {
  char kind;
  SequenceNumber a;
  SequenceNumber b = 0;
};

struct LossCase {
  const char* label;
  bool reliable;
  std::vector<Step> steps;
  Sns delivered;
  std::vector<Lost> lost;
};

class Losses : public ::testing::TestWithParam<LossCase> {};

TEST_P(Losses, EveryNumberIsDeliveredOrLostOnceWithItsReason) {
  const auto& c = GetParam();
  WriterProxy proxy = proxy_of('A');
  proxy.reliable = c.reliable;
  ReliableReader reader({.writer_proxies = {proxy}, .reader_guid = local_reader});
  const GuidPrefix from = participant('A');
  Sns delivered;
  std::vector<Lost> lost;
  for (const Step& step : c.steps) {
    Released out;
    switch (step.kind) {
      case 'd':
        out = reader.handle_data(from, data_msg(step.a));
        break;
      case 'h':
        out = reader.handle_heartbeat(from, heartbeat_msg(step.a, step.b), Elapsed{});
        break;
      case 'g':
        out = reader.handle_gap(from, gap_msg(step.a, step.b));
        break;
      case 'x':
        out = reader.flush_writers_if([](const Guid& writer) { return writer == writer_of('A'); });
        break;
      default:
        out = reader.handle_data_frag(from, frag_msg(step.a, 1, 1, 1000, 2'000'000), Elapsed{});
    }
    for (const auto& sample : out.samples)
      delivered.push_back(sample.sequence_number);
    for (const auto& range : out.lost) {
      EXPECT_EQ(range.writer, writer_of('A'));
      lost.emplace_back(range.first, range.last, range.reason);
    }
  }
  EXPECT_EQ(delivered, c.delivered);
  EXPECT_EQ(lost, c.lost);
}

constexpr auto at_writer = LossReason::AtWriter;
constexpr auto network = LossReason::Network;
constexpr auto too_large = LossReason::TooLarge;

// clang-format off
INSTANTIATE_TEST_SUITE_P(ReliableReader, Losses, ::testing::Values(
    LossCase{"GapIsLostAtTheWriter", true,
             {{'d', 1}, {'h', 1, 5}, {'g', 2, 4}, {'d', 5}, {'d', 4}},
             {1, 4, 5}, {{2, 3, at_writer}}},
    LossCase{"HeartbeatPassingMissingNumbersLosesThemAtTheWriter", true,
             {{'h', 1, 0}, {'d', 1}, {'d', 4}, {'h', 3, 4}, {'d', 6}, {'h', 6, 6}},
             {1, 4, 6}, {{2, 2, at_writer}, {3, 3, at_writer}, {5, 5, at_writer}}},
    LossCase{"HistoryOfTheFirstHeartbeatIsNotCounted", true,
             {{'h', 1, 10}, {'g', 1, 11}, {'d', 11}, {'h', 13, 13}},
             {11}, {{12, 12, at_writer}}},
    LossCase{"FirstDataStartsTheCount", true,
             {{'d', 5}, {'h', 1, 6}, {'g', 1, 5}, {'d', 6}},
             {5, 6}, {}},
    LossCase{"TooLargeIsLostOnceAndPassedOver", true,
             {{'d', 1}, {'h', 1, 3}, {'f', 2}, {'f', 2}, {'d', 3}},
             {1, 3}, {{2, 2, too_large}}},
    LossCase{"AGapOverATooLargeSampleCountsItOnce", true,
             {{'d', 1}, {'h', 1, 4}, {'f', 2}, {'g', 2, 4}, {'d', 4}},
             {1, 4}, {{2, 2, too_large}, {3, 3, at_writer}}},
    LossCase{"AHeartbeatPassingATooLargeSampleCountsItOnce", true,
             {{'d', 1}, {'h', 1, 4}, {'f', 3}, {'h', 4, 4}, {'d', 4}},
             {1, 4}, {{3, 3, too_large}, {2, 2, at_writer}}},
    LossCase{"AWriterThatGoesLeavesWhatArrivedAndOwesTheRest", true,
             {{'d', 1}, {'h', 1, 5}, {'d', 3}, {'x', 0}, {'d', 6}},
             {1, 3, 6}, {{2, 2, at_writer}, {4, 5, at_writer}}},
    LossCase{"BestEffortHolesAreNetworkLosses", false,
             {{'d', 3}, {'d', 5}, {'d', 6}, {'d', 9}, {'d', 8}},
             {3, 5, 6, 9}, {{4, 4, network}, {7, 8, network}}},
    LossCase{"BestEffortTooLargeIsNotANetworkLoss", false,
             {{'d', 1}, {'f', 2}, {'d', 3}},
             {1, 3}, {{2, 2, too_large}}}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

// A too-large sample is acknowledged, so that its writer never waits for it.
TEST(Losses, TooLargeSampleIsAcknowledged) {
  ReliableReader reader({.writer_proxies = {proxy_of('A')}, .reader_guid = local_reader});
  reader.handle_heartbeat(participant('A'), heartbeat_msg(1, 1), Elapsed{});
  reader.handle_data_frag(participant('A'), frag_msg(1, 1, 1, 1000, 2'000'000), Elapsed{});
  const auto out = reader.tick_outbound(Elapsed{});
  ASSERT_TRUE(out && out->size() == 1u);
  const auto reply = decode_reply(out->front());
  ASSERT_TRUE(reply.is_acknack());
  EXPECT_EQ(reply.acknack().reader_sn_state.base, 2);
  EXPECT_TRUE(reply.acknack().final_flag);
}

}  // namespace
}  // namespace nimbrel::rtps
