#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <set>
#include <thread>

#include "c_api/handles.hpp"
#include "c_api/tool_access.hpp"
#include "dcps/runtime/runtime.hpp"
#include "dcps/runtime_internals.hpp"
#include "nimbrel/nimbrel.h"

extern "C" int nimbrel_test_c_round_trip(void);

namespace {

using nimbrel::dcps::ReaderItem;
using nimbrel::dcps::UserSample;
using Clock = std::chrono::steady_clock;

std::uint8_t* const untouched_buffer = reinterpret_cast<std::uint8_t*>(0x1234);
constexpr std::size_t untouched_length = 77;

// One take as text: the status, then the payload's bytes (its buffer freed, as the caller owns
// it), "nothing" for a null buffer and zero length, or "placeholder" for an empty sample's buffer
// that the caller must not free.
std::string take(NimbrelReader* reader) {
  std::uint8_t* buffer = untouched_buffer;
  std::size_t length = untouched_length;
  const std::int32_t status = nimbrel_reader_take(reader, &buffer, &length);
  std::string out = status == NIMBREL_STATUS_OK         ? "ok:"
                    : status == NIMBREL_STATUS_POISONED ? "poisoned:"
                                                        : std::to_string(status);
  if (buffer == nullptr && length == 0) return out.append(" nothing");
  if (buffer == untouched_buffer) return out.append(" untouched");
  if (length == 0) return out.append(" placeholder");
  for (std::size_t i = 0; i < length; ++i)
    out.append(" ").append(std::to_string(buffer[i]));
  std::free(buffer);
  return out;
}

class CApi : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = nimbrel_runtime_create(0);
    ASSERT_NE(runtime_, nullptr);
    reader_ = nimbrel_reader_create(runtime_, "Topic", "Type", 1);
    ASSERT_NE(reader_, nullptr);
  }
  void TearDown() override {
    nimbrel_reader_destroy(reader_);
    nimbrel_runtime_destroy(runtime_);
  }

  // Sends into the reader's queue as the runtime's delivery does.
  void queue(ReaderItem sample) {
    const auto slot =
        nimbrel::dcps::RuntimeInternals::reader_slot(*reader_->runtime, reader_->entity_id);
    ASSERT_TRUE(slot);
    ASSERT_TRUE((*slot->lock())->queue->send(std::move(sample)));
  }
  // A data sample of `body` behind a CDR_LE encapsulation header.
  void queue(const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> payload{0, 1, 0, 0};
    payload.insert(payload.end(), body.begin(), body.end());
    queue(UserSample{.payload = nimbrel::SharedBytes::copy_of(std::as_bytes(std::span(payload)))});
  }

  NimbrelRuntime* runtime_ = nullptr;
  NimbrelReader* reader_ = nullptr;
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
  ASSERT_TRUE(first && second);

  nimbrel_runtime_destroy(runtime);
  EXPECT_FALSE(alive.expired());
  EXPECT_EQ(take(first), "ok: nothing");
  nimbrel_reader_destroy(first);
  EXPECT_FALSE(alive.expired());
  nimbrel_reader_destroy(second);
  EXPECT_TRUE(alive.expired());
}

TEST(CApiLifetime, EachRuntimeGetsItsOwnPrefixAndDomain) {
  NimbrelRuntime* a = nimbrel_runtime_create(7);
  NimbrelRuntime* b = nimbrel_runtime_create(7);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->runtime->local_participant().domain_id, 7u);
  EXPECT_NE(a->runtime->local_participant().participant_guid.prefix,
            b->runtime->local_participant().participant_guid.prefix);
  nimbrel_runtime_destroy(a);
  nimbrel_runtime_destroy(b);
  EXPECT_EQ(nimbrel_runtime_create(233), nullptr);  // 7400 + 250 x 233 is no port
}

TEST_F(CApi, NullArgumentsAreRefusedAndTheOutputsLeftAlone) {
  EXPECT_EQ(nimbrel_reader_create(nullptr, "T", "T", 1), nullptr);
  EXPECT_EQ(nimbrel_reader_create(runtime_, nullptr, "T", 1), nullptr);
  EXPECT_EQ(nimbrel_reader_create(runtime_, "T", nullptr, 1), nullptr);
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(nullptr, 1, 0), NIMBREL_STATUS_NULL_ARGUMENT);
  std::uint8_t* buffer = untouched_buffer;
  std::size_t length = untouched_length;
  EXPECT_EQ(nimbrel_reader_take(nullptr, &buffer, &length), NIMBREL_STATUS_NULL_ARGUMENT);
  EXPECT_EQ(nimbrel_reader_take(reader_, nullptr, &length), NIMBREL_STATUS_NULL_ARGUMENT);
  EXPECT_EQ(nimbrel_reader_take(reader_, &buffer, nullptr), NIMBREL_STATUS_NULL_ARGUMENT);
  EXPECT_EQ(buffer, untouched_buffer);
  EXPECT_EQ(length, untouched_length);
  nimbrel_runtime_destroy(nullptr);
  nimbrel_reader_destroy(nullptr);
}

TEST_F(CApi, ReadersAreRegisteredInCreationOrderWithTheirTopicAndReliability) {
  NimbrelReader* second = nimbrel_reader_create(runtime_, "Other", "OtherType", 0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(reader_->entity_id.to_bytes(), (std::array<std::uint8_t, 4>{0x00, 0x00, 0x01, 0x07}));
  EXPECT_EQ(second->entity_id.to_bytes(), (std::array<std::uint8_t, 4>{0x00, 0x00, 0x02, 0x07}));
  const auto slot =
      nimbrel::dcps::RuntimeInternals::reader_slot(*runtime_->runtime, second->entity_id);
  ASSERT_TRUE(slot);
  const auto& subscription = (*slot->lock())->subscription;
  EXPECT_EQ(subscription.topic_name, "Other");
  EXPECT_EQ(subscription.type_name, "OtherType");
  EXPECT_EQ(subscription.reliability.kind, nimbrel::rtps::ReliabilityKind::BestEffort);
  nimbrel_reader_destroy(second);
}

// The reader stays registered; only its listener and its queue go.
TEST_F(CApi, ReaderDestroyRemovesTheListener) {
  const auto id = reader_->entity_id;
  ASSERT_TRUE(runtime_->runtime->set_user_reader_listener(id, [](std::span<const std::byte>) {}));
  const auto slot = nimbrel::dcps::RuntimeInternals::reader_slot(*runtime_->runtime, id);
  nimbrel_reader_destroy(std::exchange(reader_, nullptr));
  EXPECT_EQ((*slot->lock())->listener->load(), nullptr);
  EXPECT_EQ(nimbrel::dcps::RuntimeInternals::reader_slot(*runtime_->runtime, id), slot);
  // Nothing takes from a destroyed reader's queue, so nothing is kept for it.
  EXPECT_FALSE((*slot->lock())->queue->send(UserSample{}));
}

TEST_F(CApi, OnlyValidUtf8NamesGetAReader) {
  // clang-format off
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"Square", "ShapeType", true}, {"Foo", "geo::Shape", true}, {"", "", true},
      {"Gr\xC3\xB6\xC3\x9F" "e", "\xE2\x86\x92", true}, {"\xF0\x9F\x98\x80", "T", true},
      {"\xFF", "T", false},           // stray byte in the topic
      {"T", "ok\xFF", false},         // stray byte in the type
      {"\xC0\x80", "T", false},       // overlong
      {"T", "\xED\xA0\x80", false},   // surrogate
      {"\xE2\x86", "T", false}};      // truncated sequence
  // clang-format on
  for (const auto& [topic, type, accepted] : cases) {
    NimbrelReader* reader = nimbrel_reader_create(runtime_, topic, type, 1);
    EXPECT_EQ(reader != nullptr, accepted) << topic << " " << type;
    nimbrel_reader_destroy(reader);
  }
}

TEST_F(CApi, TakeHandsOutOneDataSampleAtATimeInOrder) {
  EXPECT_EQ(take(reader_), "ok: nothing");
  queue({0x01, 0x02, 0x03});
  queue(std::vector<std::uint8_t>{});
  queue({0xEE});
  EXPECT_EQ(take(reader_), "ok: 1 2 3");
  EXPECT_EQ(take(reader_), "ok: placeholder");
  EXPECT_EQ(take(reader_), "ok: 238");
  EXPECT_EQ(take(reader_), "ok: nothing");

  // Lifecycle samples and losses are skipped, also when they are all the queue holds.
  queue(UserSample{.kind = 2});
  queue(UserSample{.kind = 3});
  queue(nimbrel::rtps::LostRange{.first = 1, .last = 2});
  EXPECT_EQ(take(reader_), "ok: nothing");
  queue(UserSample{.kind = 2});
  queue({0x42});
  EXPECT_EQ(take(reader_), "ok: 66");

  queue({0x01});
  reader_->samples.poison();
  EXPECT_EQ(take(reader_), "poisoned: nothing");
  EXPECT_EQ(take(reader_), "poisoned: nothing");
}

// A closed reader admits nothing new, but what it queued before is still taken.
TEST_F(CApi, CloseKeepsWhatIsQueuedForTheTakes) {
  EXPECT_EQ(nimbrel::c_api::close_reader(nullptr), NIMBREL_STATUS_NULL_ARGUMENT);
  queue({0x07});
  EXPECT_EQ(nimbrel::c_api::close_reader(reader_), NIMBREL_STATUS_OK);
  const auto slot =
      nimbrel::dcps::RuntimeInternals::reader_slot(*reader_->runtime, reader_->entity_id);
  ASSERT_TRUE(slot);
  EXPECT_FALSE((*slot->lock())->queue->admit());
  EXPECT_EQ(take(reader_), "ok: 7");
  EXPECT_EQ(take(reader_), "ok: nothing");
  reader_->samples.poison();
  EXPECT_EQ(nimbrel::c_api::close_reader(reader_), NIMBREL_STATUS_POISONED);
}

TEST_F(CApi, ConcurrentTakesHandOutEachSampleOnce) {
  constexpr std::uint32_t samples = 2000;
  for (std::uint32_t i = 0; i < samples; ++i)
    queue({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)});
  std::vector<std::vector<std::uint32_t>> taken(4);
  std::vector<std::thread> threads;
  for (auto& mine : taken) {
    threads.emplace_back([this, &mine] {
      std::uint8_t* buffer = nullptr;
      std::size_t length = 0;
      while (nimbrel_reader_take(reader_, &buffer, &length) == NIMBREL_STATUS_OK && length != 0) {
        mine.push_back(static_cast<std::uint32_t>(buffer[0] | (buffer[1] << 8)));
        std::free(buffer);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  std::multiset<std::uint32_t> all, expected;
  for (const auto& mine : taken)
    all.insert(mine.begin(), mine.end());
  for (std::uint32_t i = 0; i < samples; ++i)
    expected.insert(i);
  EXPECT_EQ(all, expected);
}

TEST_F(CApi, PeerWaitForAtMostZeroSucceedsAtOnceAndForMoreTimesOut) {
  for (const std::int32_t minimum : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
    const auto start = Clock::now();
    EXPECT_EQ(nimbrel_runtime_wait_for_peers(runtime_, minimum, 60'000), NIMBREL_STATUS_OK);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  }
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(runtime_, 1, 0), NIMBREL_STATUS_TIMEOUT);
  const auto start = Clock::now();
  EXPECT_EQ(nimbrel_runtime_wait_for_peers(runtime_, 1, 200), NIMBREL_STATUS_TIMEOUT);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  EXPECT_LT(waited, std::chrono::seconds(10));
}

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

TEST(CApiDeathTest, PeerWaitDeadlinePastTheClockRangeIsFatal) {
  EXPECT_DEATH(
      {
        NimbrelRuntime* runtime = nimbrel_runtime_create(0);
        nimbrel_runtime_wait_for_peers(runtime, 0, std::numeric_limits<std::uint64_t>::max());
      },
      "overflow when adding duration to instant");
}

}  // namespace
