#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "c_api/handles.hpp"
#include "dcps/runtime.hpp"
#include "nimbrel/nimbrel.h"

extern "C" int nimbrel_test_c_round_trip(void);

namespace {

using nimbrel::dcps::UserDataSample;
using nimbrel::dcps::UserLifecycleSample;
using nimbrel::dcps::UserSample;
using Clock = std::chrono::steady_clock;

std::uint8_t* const untouched_buffer = reinterpret_cast<std::uint8_t*>(0x1234);
constexpr std::size_t untouched_length = 77;

class CApi : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = nimbrel_runtime_create(0);
    ASSERT_NE(runtime_, nullptr);
  }
  void TearDown() override { nimbrel_runtime_destroy(runtime_); }

  NimbrelReader* make_reader() { return nimbrel_reader_create(runtime_, "Topic", "Type", 1); }

  // Sends into the reader's queue as the runtime's delivery does.
  static void queue(NimbrelReader* reader, UserSample sample) {
    const auto slot = reader->runtime->reader_slot(reader->entity_id);
    ASSERT_TRUE(slot);
    const auto sender = (*slot->lock())->queue;
    ASSERT_TRUE(sender->send(std::move(sample)));
  }
  static void queue(NimbrelReader* reader, const std::vector<std::uint8_t>& payload) {
    queue(reader, UserDataSample{
                      .payload = nimbrel::SharedBytes::copy_of(std::as_bytes(std::span(payload)))});
  }

  NimbrelRuntime* runtime_ = nullptr;
};

TEST(CApiHeader, UsableFromC) {
  EXPECT_EQ(nimbrel_test_c_round_trip(), 0);
}

TEST(CApiLifetime, RuntimeLivesUntilItsLastHandleIsGone) {
  NimbrelRuntime* runtime = nimbrel_runtime_create(1);
  ASSERT_NE(runtime, nullptr);
  const std::weak_ptr<nimbrel::dcps::DcpsRuntime> alive = runtime->runtime;
  NimbrelReader* first = nimbrel_reader_create(runtime, "A", "TA", 1);
  NimbrelReader* second = nimbrel_reader_create(runtime, "B", "TB", 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);

  nimbrel_runtime_destroy(runtime);
  EXPECT_FALSE(alive.expired());
  std::uint8_t* buffer = nullptr;
  std::size_t length = 0;
  EXPECT_EQ(nimbrel_reader_take(first, &buffer, &length), NIMBREL_STATUS_OK);

  nimbrel_reader_destroy(first);
  EXPECT_FALSE(alive.expired());
  nimbrel_reader_destroy(second);
  EXPECT_TRUE(alive.expired());
}

TEST(CApiLifetime, RuntimeThatCannotStartIsNull) {
  // 7400 + 250 x 233 is no port.
  EXPECT_EQ(nimbrel_runtime_create(233), nullptr);
}

TEST(CApiLifetime, DestroyingNullIsHarmless) {
  nimbrel_runtime_destroy(nullptr);
  nimbrel_reader_destroy(nullptr);
}

TEST(CApiLifetime, EachRuntimeGetsItsOwnPrefixAndDomain) {
  NimbrelRuntime* a = nimbrel_runtime_create(7);
  NimbrelRuntime* b = nimbrel_runtime_create(7);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->runtime->domain_id(), 7u);
  EXPECT_NE(a->runtime->guid_prefix(), b->runtime->guid_prefix());
  nimbrel_runtime_destroy(a);
  nimbrel_runtime_destroy(b);
}

TEST_F(CApi, ReadersAreRegisteredInCreationOrderWithTheirTopicAndReliability) {
  NimbrelReader* first = make_reader();
  NimbrelReader* second = nimbrel_reader_create(runtime_, "Other", "OtherType", 0);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->entity_id.to_bytes(), (std::array<std::uint8_t, 4>{0x00, 0x00, 0x01, 0x07}));
  EXPECT_EQ(second->entity_id.to_bytes(), (std::array<std::uint8_t, 4>{0x00, 0x00, 0x02, 0x07}));
  const auto slot = runtime_->runtime->reader_slot(second->entity_id);
  ASSERT_TRUE(slot);
  const auto& subscription = (*slot->lock())->subscription;
  EXPECT_EQ(subscription.topic_name, "Other");
  EXPECT_EQ(subscription.type_name, "OtherType");
  EXPECT_EQ(subscription.reliability.kind, nimbrel::rtps::ReliabilityKind::BestEffort);
  nimbrel_reader_destroy(first);
  nimbrel_reader_destroy(second);
}

// The reader stays registered; only its listener and its queue go.
TEST_F(CApi, ReaderDestroyRemovesTheListener) {
  NimbrelReader* reader = make_reader();
  ASSERT_NE(reader, nullptr);
  const auto id = reader->entity_id;
  ASSERT_TRUE(runtime_->runtime->set_user_reader_listener(id, [](std::span<const std::byte>) {}));
  const auto slot = runtime_->runtime->reader_slot(id);
  nimbrel_reader_destroy(reader);
  EXPECT_EQ((*slot->lock())->listener, nullptr);
  EXPECT_EQ(runtime_->runtime->reader_slot(id), slot);
  // Nothing takes from a destroyed reader's queue, so nothing is kept for it.
  EXPECT_FALSE((*slot->lock())->queue->send(UserDataSample{}));
}

struct NameCase {
  const char* label;
  const char* topic;
  const char* type;
  bool accepted;
};

class ReaderNames : public CApi, public ::testing::WithParamInterface<NameCase> {};

TEST_P(ReaderNames, OnlyValidUtf8NamesGetAReader) {
  const auto& c = GetParam();
  NimbrelReader* reader = nimbrel_reader_create(runtime_, c.topic, c.type, 1);
  EXPECT_EQ(reader != nullptr, c.accepted);
  nimbrel_reader_destroy(reader);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ReaderNames, ::testing::Values(
    NameCase{"Ascii", "Square", "ShapeType", true},
    NameCase{"ScopedType", "Foo", "geo::Shape", true},
    NameCase{"Empty", "", "", true},
    NameCase{"MultiByte", "Gr\xC3\xB6\xC3\x9F" "e", "\xE2\x86\x92", true},
    NameCase{"FourByte", "\xF0\x9F\x98\x80", "T", true},
    NameCase{"StrayByteInTopic", "\xFF", "T", false},
    NameCase{"StrayByteInType", "T", "ok\xFF", false},
    NameCase{"Overlong", "\xC0\x80", "T", false},
    NameCase{"Surrogate", "T", "\xED\xA0\x80", false},
    NameCase{"TruncatedSequence", "\xE2\x86", "T", false}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

TEST_F(CApi, ReaderCreateRefusesNullArguments) {
  EXPECT_EQ(nimbrel_reader_create(nullptr, "T", "T", 1), nullptr);
  EXPECT_EQ(nimbrel_reader_create(runtime_, nullptr, "T", 1), nullptr);
  EXPECT_EQ(nimbrel_reader_create(runtime_, "T", nullptr, 1), nullptr);
}

TEST_F(CApi, TakeWithNullArgumentsLeavesTheOutputsAlone) {
  NimbrelReader* reader = make_reader();
  ASSERT_NE(reader, nullptr);
  std::uint8_t* buffer = untouched_buffer;
  std::size_t length = untouched_length;
  EXPECT_EQ(nimbrel_reader_take(nullptr, &buffer, &length), NIMBREL_STATUS_NULL_ARGUMENT);
  EXPECT_EQ(nimbrel_reader_take(reader, nullptr, &length), NIMBREL_STATUS_NULL_ARGUMENT);
  EXPECT_EQ(nimbrel_reader_take(reader, &buffer, nullptr), NIMBREL_STATUS_NULL_ARGUMENT);
  EXPECT_EQ(buffer, untouched_buffer);
  EXPECT_EQ(length, untouched_length);
  nimbrel_reader_destroy(reader);
}

TEST_F(CApi, TakeFromAnEmptyQueueGivesNullAndZero) {
  NimbrelReader* reader = make_reader();
  ASSERT_NE(reader, nullptr);
  std::uint8_t* buffer = untouched_buffer;
  std::size_t length = untouched_length;
  EXPECT_EQ(nimbrel_reader_take(reader, &buffer, &length), NIMBREL_STATUS_OK);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0u);
  nimbrel_reader_destroy(reader);
}

TEST_F(CApi, TakeHandsOutOneSampleAtATimeInOrder) {
  NimbrelReader* reader = make_reader();
  ASSERT_NE(reader, nullptr);
  queue(reader, {0x01, 0x02, 0x03});
  queue(reader, std::vector<std::uint8_t>{});
  queue(reader, {0xEE});

  std::uint8_t* buffer = nullptr;
  std::size_t length = 0;
  ASSERT_EQ(nimbrel_reader_take(reader, &buffer, &length), NIMBREL_STATUS_OK);
  ASSERT_EQ(length, 3u);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + length),
            (std::vector<std::uint8_t>{0x01, 0x02, 0x03}));
  std::free(buffer);  // the caller owns it; a sanitizer build checks it came from malloc

  // An empty sample is taken, with a placeholder the caller must not free.
  ASSERT_EQ(nimbrel_reader_take(reader, &buffer, &length), NIMBREL_STATUS_OK);
  EXPECT_NE(buffer, nullptr);
  EXPECT_EQ(length, 0u);

  ASSERT_EQ(nimbrel_reader_take(reader, &buffer, &length), NIMBREL_STATUS_OK);
  ASSERT_EQ(length, 1u);
  EXPECT_EQ(buffer[0], 0xEE);
  std::free(buffer);

  ASSERT_EQ(nimbrel_reader_take(reader, &buffer, &length), NIMBREL_STATUS_OK);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0u);
  nimbrel_reader_destroy(reader);
}

TEST_F(CApi, LifecycleSamplesAreSkipped) {
  NimbrelReader* reader = make_reader();
  ASSERT_NE(reader, nullptr);
  queue(reader, UserLifecycleSample{});
  queue(reader, UserLifecycleSample{.kind = 3});
  std::uint8_t* buffer = untouched_buffer;
  std::size_t length = untouched_length;
  EXPECT_EQ(nimbrel_reader_take(reader, &buffer, &length), NIMBREL_STATUS_OK);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 0u);

  queue(reader, UserLifecycleSample{});
  queue(reader, {0x42});
  ASSERT_EQ(nimbrel_reader_take(reader, &buffer, &length), NIMBREL_STATUS_OK);
  ASSERT_EQ(length, 1u);
  EXPECT_EQ(buffer[0], 0x42);
  std::free(buffer);
  nimbrel_reader_destroy(reader);
}

TEST_F(CApi, PoisonedReaderClearsTheOutputsOnEveryTake) {
  NimbrelReader* reader = make_reader();
  ASSERT_NE(reader, nullptr);
  queue(reader, {0x01});
  reader->samples.poison();
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::uint8_t* buffer = untouched_buffer;
    std::size_t length = untouched_length;
    EXPECT_EQ(nimbrel_reader_take(reader, &buffer, &length), NIMBREL_STATUS_POISONED);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, 0u);
  }
  nimbrel_reader_destroy(reader);
}

TEST_F(CApi, ConcurrentTakesHandOutEachSampleOnce) {
  NimbrelReader* reader = make_reader();
  ASSERT_NE(reader, nullptr);
  constexpr std::uint32_t samples = 2000;
  for (std::uint32_t i = 0; i < samples; ++i) {
    queue(reader, {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)});
  }
  std::vector<std::vector<std::uint32_t>> taken(4);
  std::vector<std::thread> threads;
  for (auto& mine : taken) {
    threads.emplace_back([reader, &mine] {
      for (;;) {
        std::uint8_t* buffer = nullptr;
        std::size_t length = 0;
        if (nimbrel_reader_take(reader, &buffer, &length) != NIMBREL_STATUS_OK || length == 0) {
          return;
        }
        mine.push_back(static_cast<std::uint32_t>(buffer[0] | (buffer[1] << 8)));
        std::free(buffer);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  std::multiset<std::uint32_t> all;
  for (const auto& mine : taken)
    all.insert(mine.begin(), mine.end());
  EXPECT_EQ(all.size(), samples);
  for (std::uint32_t i = 0; i < samples; ++i)
    EXPECT_EQ(all.count(i), 1u) << i;
  nimbrel_reader_destroy(reader);
}

TEST_F(CApi, PeerWaitWithNullRuntime) {
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(nullptr, 1, 0), NIMBREL_STATUS_NULL_ARGUMENT);
}

class PeerWaitMinimum : public CApi, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(PeerWaitMinimum, AtMostZeroSucceedsAtOnce) {
  const auto start = Clock::now();
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(runtime_, GetParam(), 60'000), NIMBREL_STATUS_OK);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

INSTANTIATE_TEST_SUITE_P(Cases, PeerWaitMinimum,
                         ::testing::Values(0, -1, std::numeric_limits<std::int32_t>::min()));

// A second runtime on the same domain is a remote participant to the first: SPDP over loopback.
TEST(CApiPeers, PeerWaitSeesAnotherRuntime) {
  NimbrelRuntime* a = nimbrel_runtime_create(9);
  NimbrelRuntime* b = nimbrel_runtime_create(9);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(a, 1, 60'000), NIMBREL_STATUS_OK);
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(a, 2, 0), NIMBREL_STATUS_TIMEOUT);
  nimbrel_runtime_destroy(a);
  nimbrel_runtime_destroy(b);
}

TEST_F(CApi, PeerWaitWithoutPeersTimesOut) {
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(runtime_, 1, 0), NIMBREL_STATUS_TIMEOUT);

  const auto start = Clock::now();
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(runtime_, 1, 200), NIMBREL_STATUS_TIMEOUT);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST(CApiDeathTest, PeerWaitDeadlinePastTheClockRangeIsFatal) {
  EXPECT_DEATH(
      {
        NimbrelRuntime* runtime = nimbrel_runtime_create(0);
        nimbrel_runtime_wait_for_peers(runtime, 0, std::numeric_limits<std::uint64_t>::max());
      },
      "overflow when adding duration to instant");
}

}  // namespace
