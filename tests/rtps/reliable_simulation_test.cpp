// ReliableWriter and ReliableReader run against each other over channels that drop, duplicate and
// reorder datagrams, on an explicit clock. Whatever the channel does, every stream must come out
// exactly once, in order and byte for byte, and the reader's state must stay as small as its
// undelivered window.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "rtps/reader_test_util.hpp"
#include "rtps/sim_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace nimbrel::rtps::testing;

// Below, at and just above the fragment size of 1,344, two and a bit fragments, and up to the
// reader's largest sample.
constexpr std::array<std::size_t, 9> sample_sizes = {4,     100,   1343,    1344,     1345,
                                                     2'689, 65536, 300'001, 1'048'576};

// Writers on participants A, B, ..., all numbered 00 00 0b 02 as peers number their first writer.
std::vector<Guid> writers_on_participants(std::size_t count) {
  std::vector<Guid> out;
  for (std::size_t i = 0; i < count; ++i)
    out.push_back(writer_of(static_cast<char>('A' + i)));
  return out;
}

std::size_t writer_index(const std::vector<Guid>& writers, const Guid& guid) {
  return static_cast<std::size_t>(std::ranges::find(writers, guid) - writers.begin());
}

// Asserts the reader holds nothing beyond what it delivered: the steady state after a stream.
void expect_settled(const ReliableReader& reader, SequenceNumber last) {
  for (const WriterProxyState& state : reader.writer_proxy_states()) {
    SCOPED_TRACE(::testing::Message()
                 << "writer participant " << int{state.proxy.remote_writer_guid.prefix[11]});
    EXPECT_EQ(state.proxy.highest_delivered, last);
    EXPECT_TRUE(state.cache.empty());
    EXPECT_TRUE(state.proxy.received.empty());
    EXPECT_TRUE(state.proxy.irrelevant.empty());
    EXPECT_FALSE(state.assembler.has_pending());
  }
}

struct Scenario {
  const char* name;
  std::uint64_t seed;
  ChannelConditions channel;
  std::size_t writers;
  int samples_per_writer;
};

std::ostream& operator<<(std::ostream& os, const Scenario& s) {
  return os << s.name;
}

class LossyDelivery : public ::testing::TestWithParam<Scenario> {};

TEST_P(LossyDelivery, EveryStreamArrivesOnceInOrderAndIntact) {
  const Scenario& s = GetParam();
  const std::vector<Guid> writers = writers_on_participants(s.writers);
  std::vector<std::vector<std::vector<std::byte>>> sent(s.writers);
  std::vector<SequenceNumber> delivered(s.writers, 0);

  auto check_delivery = [&](const DeliveredSample& sample) {
    const std::size_t w = writer_index(writers, sample.writer_guid);
    ASSERT_LT(w, writers.size()) << "delivered for an unknown writer";
    ASSERT_EQ(sample.sequence_number, delivered[w] + 1) << "writer " << w << ": lost or repeated";
    ASSERT_LE(sample.sequence_number, static_cast<SequenceNumber>(sent[w].size()));
    const auto& expected = sent[w][static_cast<std::size_t>(sample.sequence_number - 1)];
    ASSERT_TRUE(std::ranges::equal(sample.payload.span(), expected))
        << "writer " << w << " sample " << sample.sequence_number << " of " << expected.size()
        << " bytes arrived as " << sample.payload.size() << " bytes";
    delivered[w] = sample.sequence_number;
  };
  ReliableSim sim(
      writers,
      ReliableWriterConfig{.history = HistoryPolicy::keep_all(),
                           .max_samples = static_cast<std::size_t>(s.samples_per_writer)},
      ReliableReaderConfig{.reader_guid = local_reader}, s.channel, s.seed, check_delivery);

  const auto last = static_cast<SequenceNumber>(s.samples_per_writer);
  auto all_acknowledged = [&] {
    for (std::size_t w = 0; w < s.writers; ++w) {
      if (sim.writer(w).find_reader_proxy(local_reader)->highest_acked < last) return false;
    }
    return true;
  };
  // One sample per writer and millisecond, each writer starting at its own place in the sizes.
  Prng sizes(s.seed);
  constexpr int deadline_ms = 120'000;
  int t = 0;
  for (; t < deadline_ms && (t < s.samples_per_writer || !all_acknowledged()); ++t) {
    for (std::size_t w = 0; t < s.samples_per_writer && w < s.writers; ++w) {
      const std::size_t size =
          sample_sizes[(static_cast<std::size_t>(t) + 4 * w) % sample_sizes.size()];
      sent[w].push_back(sim_payload(sizes.next(), size));
      sim.write(w, sent[w].back());
    }
    sim.step();
    if (::testing::Test::HasFatalFailure()) return;
  }
  ASSERT_LT(t, deadline_ms) << "not all acknowledged after " << deadline_ms << " ms";
  EXPECT_EQ(delivered, std::vector<SequenceNumber>(s.writers, last));

  // Heartbeats go on; nothing more may be delivered while the channels drain.
  for (int quiet = 0; quiet < 2'000; ++quiet)
    sim.step();
  EXPECT_EQ(delivered, std::vector<SequenceNumber>(s.writers, last));
  expect_settled(sim.reader(), last);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(ReliableSimulation, LossyDelivery, ::testing::Values(
    // A jitter of 250 ms brings HEARTBEATs and ACKNACKs in long after later ones.
    //       name                            seed  drop% dup% jitter  writers  samples each
    Scenario{"OneWriterDrop10",                 1, {10,   5,    3},     1,       27},
    Scenario{"OneWriterDrop20",                 2, {20,  10,    5},     1,       27},
    Scenario{"OneWriterDrop30",                 3, {30,  10,    8},     1,       27},
    Scenario{"TwoWritersDrop20",                4, {20,   5,    5},     2,       18},
    Scenario{"TwoWritersDrop30",                5, {30,  10,    3},     2,       18},
    Scenario{"TwoWritersDrop20LateArrivals",    9, {20,  10,  250},     2,        9}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
// clang-format on

// A keep-last writer forgets samples it could not repair in time and says so with GAPs and
// HEARTBEATs: the reader skips those, and only those, and what it delivers is still in order,
// unrepeated and intact; it ends settled with the samples the writer still holds. Writing in bursts
// leaves the writer's history still between them, so a skip can be checked against it.
void run_evicting_writer(std::uint64_t seed) {
  constexpr int samples = 300;
  constexpr std::uint32_t depth = 8;
  constexpr int burst = 12;
  constexpr int burst_every_ms = 20;
  std::vector<std::vector<std::byte>> sent;
  std::vector<bool> delivered(samples + 1);
  SequenceNumber last_delivered = 0;
  auto check_delivery = [&](const DeliveredSample& sample) {
    const SequenceNumber sn = sample.sequence_number;
    ASSERT_GT(sn, last_delivered);
    ASSERT_TRUE(std::ranges::equal(sample.payload.span(), sent[static_cast<std::size_t>(sn - 1)]));
    delivered[static_cast<std::size_t>(sn)] = true;
    last_delivered = sn;
  };
  const std::vector<Guid> writers = writers_on_participants(1);
  ReliableSim sim(writers,
                  ReliableWriterConfig{.history = HistoryPolicy::keep_last(depth),
                                       .heartbeat_period = std::chrono::milliseconds(20)},
                  ReliableReaderConfig{.reader_guid = local_reader},
                  ChannelConditions{.drop_percent = 30, .duplicate_percent = 10, .jitter_ms = 4},
                  seed, check_delivery);
  const WriterProxy& seen = sim.reader().writer_proxy_states()[0].proxy;
  SequenceNumber checked = 0;
  std::size_t skipped = 0;
  Prng contents(seed);
  for (int t = 0; t < 5'000; ++t) {
    for (int k = 0; t % burst_every_ms == 0 && k < burst && sent.size() < samples; ++k) {
      // Every fifth sample goes in three fragments, so evicted fragments are answered too.
      sent.push_back(sim_payload(contents.next(), sent.size() % 5 == 0 ? 3'000 : 100));
      sim.write(0, sent.back());
    }
    sim.step();
    if (::testing::Test::HasFatalFailure()) return;
    // Nothing was written during the step, so the writer's oldest sample is what it was then.
    const SequenceNumber oldest_held = *sim.writer(0).history().min_sn();
    for (; checked < seen.highest_delivered; ++checked) {
      if (delivered[static_cast<std::size_t>(checked + 1)]) continue;
      ++skipped;
      EXPECT_LT(checked + 1, oldest_held) << "skipped a sample the writer still holds";
    }
  }
  EXPECT_GT(skipped, 0u) << "nothing was evicted before repair: a weak case";
  for (SequenceNumber sn = samples - depth + 1; sn <= samples; ++sn)
    EXPECT_TRUE(delivered[static_cast<std::size_t>(sn)]) << "held sample " << sn << " never came";
  expect_settled(sim.reader(), samples);
}

TEST(ReliableSimulation, OnlySamplesTheWriterForgotAreSkipped) {
  for (std::uint64_t seed : {6u, 7u, 8u}) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    run_evicting_writer(seed);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Many small samples with a fragmented one now and then through a slightly lossy channel: the
// writer proxy's sets, the reader's cache and the assembler stay bounded by the undelivered window
// instead of growing with the stream.
TEST(ReliableSimulation, LongRunStateStaysBounded) {
  constexpr int samples = 200'000;
  constexpr int per_ms = 10;
  constexpr std::size_t reader_max_samples = 256;
  constexpr std::uint32_t depth = 2'048;
  SequenceNumber delivered = 0;
  auto check_delivery = [&](const DeliveredSample& sample) {
    ASSERT_EQ(sample.sequence_number, delivered + 1);
    ASSERT_EQ(sample.payload.size(), sample.sequence_number % 100 == 0 ? 2'000u : 64u);
    delivered = sample.sequence_number;
  };
  const std::vector<Guid> writers = writers_on_participants(1);
  ReliableSim sim(
      writers,
      ReliableWriterConfig{.history = HistoryPolicy::keep_last(depth),
                           .max_samples = depth,
                           .heartbeat_period = std::chrono::milliseconds(10)},
      ReliableReaderConfig{.reader_guid = local_reader, .max_samples = reader_max_samples},
      ChannelConditions{.drop_percent = 1, .duplicate_percent = 1, .jitter_ms = 2},
      /*seed=*/7, check_delivery);
  const std::vector<std::byte> small = sim_payload(1, 64);
  const std::vector<std::byte> fragmented = sim_payload(2, 2'000);

  std::size_t most_ranges = 0;
  std::size_t most_cached = 0;
  std::size_t most_pending = 0;
  SequenceNumber written = 0;
  for (int t = 0; t < samples / per_ms + 1'000; ++t) {
    for (int k = 0; k < per_ms && written < samples; ++k) {
      ++written;
      sim.write(0, written % 100 == 0 ? fragmented : small);
    }
    sim.step();
    if (::testing::Test::HasFatalFailure()) return;
    const WriterProxyState& state = sim.reader().writer_proxy_states()[0];
    most_ranges = std::max(
        {most_ranges, state.proxy.received.range_count(), state.proxy.irrelevant.range_count()});
    most_cached = std::max(most_cached, state.cache.size());
    most_pending = std::max(most_pending, state.assembler.pending().size());
  }
  EXPECT_EQ(delivered, samples);
  EXPECT_LE(most_ranges, reader_max_samples);
  EXPECT_LE(most_cached, reader_max_samples);
  EXPECT_LE(most_pending, 8u);
  expect_settled(sim.reader(), samples);
}

}  // namespace
}  // namespace nimbrel::rtps
