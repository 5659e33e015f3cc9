// The runtime's user readers next to real peers account for every sequence number of a writer:
// what they hand over as samples and what they report lost, with the reason, are disjoint and
// together leave no number out. The cases named UnderLoss also run with 5 % of the datagrams
// dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "dcps/runtime/runtime.hpp"
#include "e2e/peer_process.hpp"
#include "e2e/spdp_watch.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rtps::LossReason;
using rtps::SequenceNumber;
using testing::PeerProcess;

constexpr rtps::GuidPrefix own_prefix{0x4e, 0x42, 0x52, 0x4c, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr auto generous = 30s;

// What a reader handed over from one writer, in the order it came.
struct WriterLog {
  std::vector<UserSample> samples;
  std::vector<rtps::LostRange> losses;

  SequenceNumber lost(LossReason reason) const {
    SequenceNumber n = 0;
    for (const auto& loss : losses)
      if (loss.reason == reason) n += loss.count();
    return n;
  }
};

std::string reasons_text(const WriterLog& log) {
  std::string text;
  for (const auto reason : rtps::all_loss_reasons) {
    if (const auto n = log.lost(reason)) {
      text.append(" ").append(to_string(reason)).append("=").append(std::to_string(n));
    }
  }
  return text.empty() ? " none" : text;
}

// The samples and the lost ranges are disjoint and together cover every number from the lowest to
// the highest, or from `from` to `to` where given; every loss has one of the `allowed` reasons.
::testing::AssertionResult covers_exactly(const WriterLog& log, const std::set<LossReason>& allowed,
                                          std::optional<SequenceNumber> from = std::nullopt,
                                          std::optional<SequenceNumber> to = std::nullopt) {
  struct Span {
    SequenceNumber first, last;
    bool received;
  };
  std::vector<Span> spans;
  for (const auto& sample : log.samples)
    spans.push_back({sample.sequence_number, sample.sequence_number, true});
  for (const auto& loss : log.losses) {
    if (!allowed.contains(loss.reason)) {
      return ::testing::AssertionFailure()
             << "numbers " << loss.first << " to " << loss.last
             << " lost for the unexpected reason " << to_string(loss.reason);
    }
    if (loss.first > loss.last)
      return ::testing::AssertionFailure() << "empty range " << loss.first << " to " << loss.last;
    spans.push_back({loss.first, loss.last, false});
  }
  if (spans.empty()) return ::testing::AssertionFailure() << "nothing received nor lost";
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.first < b.first; });
  const auto what = [](const Span& span) { return span.received ? "received" : "lost"; };
  if (from && spans.front().first != *from) {
    return ::testing::AssertionFailure() << "accounting starts at " << spans.front().first << " ("
                                         << what(spans.front()) << "), not at " << *from;
  }
  for (std::size_t i = 1; i < spans.size(); ++i) {
    const auto& before = spans[i - 1];
    const auto& span = spans[i];
    if (span.first != before.last + 1) {
      return ::testing::AssertionFailure()
             << (span.first <= before.last ? "counted twice: " : "left out: ") << what(before)
             << " " << before.first << ".." << before.last << " then " << what(span) << " "
             << span.first << ".." << span.last;
    }
  }
  if (to && spans.back().last != *to) {
    return ::testing::AssertionFailure() << "accounting ends at " << spans.back().last << " ("
                                         << what(spans.back()) << "), not at " << *to;
  }
  return ::testing::AssertionSuccess();
}

class LossAccountingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!HasFailure()) return;
    for (const auto& peer : peers_)
      std::printf("peer output:\n%s\n", peer->output().c_str());
  }

  PeerProcess* start_peer(const std::vector<std::string>& args) {
    peers_.push_back(PeerProcess::spawn(args));
    if (!peers_.back()) ADD_FAILURE() << "cannot start " << args[0];
    return peers_.back().get();
  }
  // ddsperf's own time limit only ends a peer that a crashed test left behind.
  PeerProcess* start_ddsperf(const std::string& rate) {
    testing::SpdpWatch watch;
    auto* peer = start_peer({"ddsperf", "-D", "120", "-u", "pub", rate});
    if (peer && !watch.wait_for(1, generous)) ADD_FAILURE() << "ddsperf did not announce itself";
    return peer;
  }

  // The reader is created only once the writer's publication is known, so it has matched the
  // writer before the writer can match it and send: every number the writer sends it is counted.
  std::optional<SampleReceiver> start_reader(const std::string& topic, const std::string& type,
                                             bool reliable, RuntimeConfig config = {}) {
    auto started = DcpsRuntime::start(0, own_prefix, std::move(config));
    if (!started) {
      ADD_FAILURE() << to_string(started.error());
      return std::nullopt;
    }
    runtime_ = *started;
    const auto known = [&] {
      for (const auto& [guid, publication] : runtime_->discovered_publications())
        if (publication.topic_name == topic) return true;
      return false;
    };
    const auto deadline = Clock::now() + generous;
    while (!known() && Clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    if (!known()) {
      ADD_FAILURE() << "no publication of " << topic << " discovered";
      return std::nullopt;
    }
    auto reader = runtime_->register_user_reader(
        UserReaderConfig{.topic_name = topic, .type_name = type, .reliable = reliable});
    if (!reader) {
      ADD_FAILURE() << to_string(reader.error());
      return std::nullopt;
    }
    return std::move(reader->samples);
  }

  // Takes what is queued now into the logs.
  void take_all(SampleReceiver& receiver) {
    std::vector<ReaderItem> items;
    while (receiver.receive_batch(items, 1024, SIZE_MAX) > 0) {
      for (auto& item : items) {
        if (auto* sample = std::get_if<UserSample>(&item)) {
          writers_[sample->writer_guid].samples.push_back(std::move(*sample));
        } else {
          const auto& loss = std::get<rtps::LostRange>(item);
          writers_[loss.writer].losses.push_back(loss);
        }
      }
      items.clear();
    }
  }
  // Takes for `length` of time.
  void take_for(SampleReceiver& receiver, Clock::duration length) {
    const auto end = Clock::now() + length;
    while (Clock::now() < end) {
      take_all(receiver);
      std::this_thread::sleep_for(5ms);
    }
    take_all(receiver);
  }
  // Takes until `peer` has exited and a moment more for what it sent last; gives its status.
  std::optional<int> take_until_exit(SampleReceiver& receiver, PeerProcess& peer) {
    const auto deadline = Clock::now() + 2 * generous;
    std::optional<int> status;
    while (!status && Clock::now() < deadline) {
      take_all(receiver);
      status = peer.wait_exit(5ms);
    }
    take_for(receiver, 300ms);
    return status;
  }

  // Starts a peer that waits for a reader, then a reliable reader of its topic, and takes until the
  // peer has exited; true when it exited with 0.
  bool read_from_peer(const std::vector<std::string>& args, const std::string& topic,
                      const std::string& type) {
    auto* peer = start_peer(args);
    if (peer == nullptr) return false;
    auto reader = start_reader(topic, type, /*reliable=*/true);
    if (!reader) return false;
    const auto status = take_until_exit(*reader, *peer);
    EXPECT_EQ(status, std::optional<int>(0)) << args[0] << " " << args[1];
    return status == 0;
  }

  // The log of the one writer heard of.
  const WriterLog& only_writer() {
    EXPECT_EQ(writers_.size(), 1u) << "writers heard of";
    static const WriterLog none;
    return writers_.empty() ? none : writers_.begin()->second;
  }

  std::vector<std::unique_ptr<PeerProcess>> peers_;
  std::shared_ptr<DcpsRuntime> runtime_;
  std::map<rtps::Guid, WriterLog> writers_;
};

std::uint32_t u32_le(std::span<const std::byte> bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= std::to_integer<std::uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

// A best-effort writer's holes are reported as they show, each number missing between two that
// arrived as lost in the network.
TEST_F(LossAccountingTest, BestEffortHolesAreExactlyTheMissingNumbersUnderLoss) {
  ASSERT_TRUE(start_ddsperf("1000Hz"));
  auto reader = start_reader("DDSPerfUDataKS", "KeyedSeq", /*reliable=*/false);
  ASSERT_TRUE(reader);
  take_for(*reader, 3s);
  const auto& log = only_writer();
  std::printf("received %zu, lost%s\n", log.samples.size(), reasons_text(log).c_str());
  ASSERT_GE(log.samples.size(), 1000u);
  EXPECT_TRUE(covers_exactly(log, {LossReason::Network}));
  // The sample's own counter runs with the writer's sequence number, so these are the numbers
  // ddsperf wrote.
  const auto offset = [](const UserSample& sample) {
    return static_cast<SequenceNumber>(u32_le(sample.body(), 0)) - sample.sequence_number;
  };
  const auto first = offset(log.samples.front());
  for (const auto& sample : log.samples)
    ASSERT_EQ(offset(sample), first) << "at sequence number " << sample.sequence_number;
}

// A KEEP_LAST 2 writer writing as fast as it can overwrites samples before a repair reaches them;
// it then moves its first number past them, and they are lost at the writer.
TEST_F(LossAccountingTest, KeepLastWriterAccountsForAllItPublishedUnderLoss) {
#ifndef NIMBREL_FASTDDS_LIFECYCLE_PUBLISHER
  GTEST_SKIP() << "Fast DDS peer not built";
#else
  constexpr SequenceNumber count = 2000;
  EXPECT_TRUE(read_from_peer(
      {NIMBREL_FASTDDS_LIFECYCLE_PUBLISHER, "depth", "2", std::to_string(count), "30"},
      "KeyedCounter", "KeyedCounter"));
  ASSERT_FALSE(peers_.empty());
  EXPECT_NE(peers_[0]->output().find("published 2000\n"), std::string::npos);
  const auto& log = only_writer();
  std::printf("received %zu, lost%s\n", log.samples.size(), reasons_text(log).c_str());
  EXPECT_TRUE(covers_exactly(log, {LossReason::AtWriter}, 1, count));
#endif
}

// KeyHash of KeyedCounter: the key as four big-endian bytes, then zeros.
rtps::KeyHash key_hash_of(std::uint32_t key) {
  rtps::KeyHash hash{};
  for (std::size_t i = 0; i < 4; ++i)
    hash[i] = static_cast<std::uint8_t>(key >> (8 * (3 - i)));
  return hash;
}

TEST_F(LossAccountingTest, DisposeAndUnregisterArriveAsLifecycleSamplesWithTheirKeys) {
#ifndef NIMBREL_FASTDDS_LIFECYCLE_PUBLISHER
  GTEST_SKIP() << "Fast DDS peer not built";
#else
  constexpr std::uint32_t count = 20;
  EXPECT_TRUE(read_from_peer(
      {NIMBREL_FASTDDS_LIFECYCLE_PUBLISHER, "lifecycle", std::to_string(count), "30"},
      "KeyedCounter", "KeyedCounter"));
  const auto& log = only_writer();
  // Fast DDS sends each as a DATA with inline KEY_HASH and STATUS_INFO and neither the data nor
  // the key flag: nothing but the inline QoS says it is a lifecycle change.
  EXPECT_TRUE(covers_exactly(log, {}, 1, count + 3))
      << "the dispose and unregisters (numbers " << count + 1 << " to " << count + 3
      << ") must arrive as lifecycle samples";
  ASSERT_EQ(log.samples.size(), count + 3);
  for (std::uint32_t seq = 1; seq <= count; ++seq) {
    const auto& sample = log.samples[seq - 1];
    const std::uint32_t key = (seq - 1) % 5 + 1;
    EXPECT_EQ(sample.kind, rtps::change_kind::alive) << "sample " << seq;
    ASSERT_EQ(sample.body().size(), 8u) << "sample " << seq;
    EXPECT_EQ(u32_le(sample.body(), 0), key);
    EXPECT_EQ(u32_le(sample.body(), 4), seq);
    if (sample.key_hash) {
      EXPECT_EQ(*sample.key_hash, key_hash_of(key)) << "sample " << seq;
    }
  }
  struct Lifecycle {
    std::uint8_t kind;
    std::uint32_t key;
  };
  constexpr std::array<Lifecycle, 3> lifecycles{{
      {rtps::change_kind::not_alive_disposed, 3},
      {rtps::change_kind::not_alive_unregistered, 4},
      {rtps::change_kind::not_alive_disposed_unregistered, 5},
  }};
  for (std::size_t i = 0; i < lifecycles.size(); ++i) {
    const auto& sample = log.samples[count + i];
    EXPECT_EQ(sample.kind, lifecycles[i].kind) << "change " << count + i + 1;
    EXPECT_EQ(sample.key_hash, std::optional(key_hash_of(lifecycles[i].key)))
        << "change " << count + i + 1;
  }
#endif
}

// Best-effort data that finds the reader's queue full is refused, and every refused number is
// reported: nothing the reader took in goes missing without a reason.
TEST_F(LossAccountingTest, AFullQueueCountsEveryRefusedSample) {
  ASSERT_TRUE(start_ddsperf("2000Hz"));
  RuntimeConfig config;
  config.reader_queue_budget_bytes = 32 * 1024;
  auto reader = start_reader("DDSPerfUDataKS", "KeyedSeq", /*reliable=*/false, std::move(config));
  ASSERT_TRUE(reader);
  std::this_thread::sleep_for(1500ms);
  take_for(*reader, 500ms);
  const auto& log = only_writer();
  std::printf("received %zu, lost%s\n", log.samples.size(), reasons_text(log).c_str());
  EXPECT_GT(log.lost(LossReason::QueueFull), 0u);
  EXPECT_TRUE(covers_exactly(log, {LossReason::QueueFull, LossReason::Network}));
}

struct XtypesCase {
  const char* kind;
  const char* topic;
  const char* type;
  std::byte encapsulation;  // little-endian D_CDR2 / PL_CDR2
};

class ExtensibleTypes : public LossAccountingTest,
                        public ::testing::WithParamInterface<XtypesCase> {};

// XCDR2 samples are handed over whole, their encapsulation header kept.
TEST_P(ExtensibleTypes, EverySampleArrivesWithItsHeader) {
#ifndef NIMBREL_CYCLONE_XTYPES_PUBLISHER
  GTEST_SKIP() << "Cyclone DDS peer not built";
#else
  constexpr SequenceNumber count = 100;
  EXPECT_TRUE(read_from_peer(
      {NIMBREL_CYCLONE_XTYPES_PUBLISHER, GetParam().kind, std::to_string(count), "30"},
      GetParam().topic, GetParam().type));
  const auto& log = only_writer();
  EXPECT_TRUE(covers_exactly(log, {}, 1, count));
  EXPECT_EQ(log.samples.size(), count);
  for (const auto& sample : log.samples) {
    const auto bytes = sample.payload.span();
    ASSERT_GE(bytes.size(), 4u);
    ASSERT_EQ(bytes[0], std::byte{0});
    ASSERT_EQ(bytes[1], GetParam().encapsulation) << "sample " << sample.sequence_number;
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(Cyclone, ExtensibleTypes,
                         ::testing::Values(XtypesCase{"appendable", "AppendableSeq",
                                                      "xt::AppendableSeq", std::byte{0x09}},
                                           XtypesCase{"mutable", "MutableSeq", "xt::MutableSeq",
                                                      std::byte{0x0b}}),
                         [](const auto& test) { return std::string(test.param.kind); });

}  // namespace
}  // namespace nimbrel::dcps
