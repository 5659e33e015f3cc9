#include "tools/recorder_bridge/recording_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "recorder/writer.hpp"

namespace nimbrel::bridge {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t start_ns = 1'000'000'000;

class MemorySink final : public recorder::ByteSink {
 public:
  explicit MemorySink(std::vector<std::byte>* bytes) : bytes_(bytes) {}
  std::expected<void, std::error_code> write_all(std::span<const std::byte> bytes) override {
    bytes_->insert(bytes_->end(), bytes.begin(), bytes.end());
    return {};
  }
  std::expected<void, std::error_code> truncate(std::uint64_t length) override {
    bytes_->resize(length);
    return {};
  }

 private:
  std::vector<std::byte>* bytes_;
};

class FailingSink final : public recorder::ByteSink {
 public:
  std::expected<void, std::error_code> write_all(std::span<const std::byte>) override {
    return std::unexpected(std::error_code(EIO, std::generic_category()));
  }
  std::expected<void, std::error_code> truncate(std::uint64_t) override { return {}; }
};

recorder::Header test_header() {
  return recorder::Header{
      .participants = {{.name = "recorder-bridge", .guid = {}}},
      .topics = {{.name = "A", .type_name = "TA"}, {.name = "B", .type_name = "TB"}},
      .start_ns = start_ns};
}

std::size_t header_size() {
  std::vector<std::byte> bytes;
  test_header().write(bytes);
  return bytes.size();
}

struct RecordedFrame {
  std::uint64_t time = 0;
  std::uint32_t participant_idx = 0;
  std::uint32_t topic_idx = 0;
  std::vector<std::uint8_t> payload;
  friend bool operator==(const RecordedFrame&, const RecordedFrame&) = default;
};

std::uint64_t le(const std::vector<std::byte>& bytes, std::size_t pos, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value |= static_cast<std::uint64_t>(bytes.at(pos + i)) << (8 * i);
  }
  return value;
}

std::vector<RecordedFrame> frames_of(const std::vector<std::byte>& file) {
  std::vector<RecordedFrame> frames;
  std::size_t pos = header_size();
  while (pos < file.size()) {
    EXPECT_EQ(file.at(pos), std::byte{0x46});
    RecordedFrame frame{.time = le(file, pos + 1, 8),
                        .participant_idx = static_cast<std::uint32_t>(le(file, pos + 9, 4)),
                        .topic_idx = static_cast<std::uint32_t>(le(file, pos + 13, 4)),
                        .payload = {}};
    const auto length = static_cast<std::size_t>(le(file, pos + 18, 4));
    for (std::size_t i = 0; i < length; ++i) {
      frame.payload.push_back(static_cast<std::uint8_t>(file.at(pos + 22 + i)));
    }
    frames.push_back(std::move(frame));
    pos += 22 + length;
  }
  return frames;
}

// One scripted answer of the fake take.
struct Take {
  std::int32_t status = NIMBREL_STATUS_OK;
  std::vector<std::uint8_t> payload;  // empty: null buffer, unless `placeholder`
  bool placeholder = false;
};

Take data(std::vector<std::uint8_t> payload) {
  return Take{.status = NIMBREL_STATUS_OK, .payload = std::move(payload), .placeholder = false};
}

// The world around the loop: scripted readers, a fake monotonic clock that only sleeps and takes
// advance, a wall clock that ticks 100 ns per read, and a log of what the loop did.
class LoopTest : public ::testing::Test {
 protected:
  NimbrelReader* add_reader(const std::string& name, const std::string& type_name,
                            std::deque<Take> script) {
    auto* handle =
        reinterpret_cast<NimbrelReader*>(static_cast<std::uintptr_t>(0x1000 + 8 * names_.size()));
    names_[handle] = name;
    scripts_[handle] = std::move(script);
    readers_.push_back(
        LoopReader{.handle = handle, .topic = {.name = name, .type_name = type_name}});
    return handle;
  }

  LoopEnv env() {
    return LoopEnv{
        .take = [this](NimbrelReader* reader, std::uint8_t** buffer,
                       std::size_t* length) { return take(reader, buffer, length); },
        .mono_now = [this] { return now_; },
        .wall_ns = [this] { return wall_ns_ += 100; },
        .sleep =
            [this](Duration d) {
              events_.push_back("sleep " + std::to_string(d.count()));
              now_ += d;
              if (stop_on_sleep_) stop_.store(true);
            },
        .out = &out_,
        .err = &err_,
    };
  }

  StopCause run(recorder::RecordingSession& session, std::optional<std::uint64_t> duration_ms) {
    return run_recording_loop(readers_, session, stop_, duration_ms, start_, env());
  }

  std::unique_ptr<recorder::RecordingSession> memory_session() {
    return std::make_unique<recorder::RecordingSession>(
        recorder::RecordingWriter(std::make_unique<MemorySink>(&file_)), test_header());
  }

  std::size_t count(const std::string& event) const {
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
  }

  static constexpr const char* idle = "sleep 5000000";

  std::vector<LoopReader> readers_;
  std::vector<std::byte> file_;
  std::vector<std::string> events_;
  std::ostringstream out_;
  std::ostringstream err_;
  std::atomic<bool> stop_{false};
  bool stop_on_sleep_ = false;
  Duration take_cost_{0};  // fake time a take that yields data takes
  MonoInstant start_ = MonoInstant{} + 1h;
  MonoInstant now_ = start_;
  std::uint64_t wall_ns_ = start_ns;

 private:
  std::int32_t take(NimbrelReader* reader, std::uint8_t** buffer, std::size_t* length) {
    static std::uint8_t placeholder = 0;
    events_.push_back("take " + names_.at(reader));
    *buffer = nullptr;
    *length = 0;
    auto& script = scripts_.at(reader);
    if (script.empty()) return NIMBREL_STATUS_OK;
    const Take next = std::move(script.front());
    script.pop_front();
    if (next.placeholder) {
      *buffer = &placeholder;  // freeing this would crash the test
    } else if (!next.payload.empty()) {
      *buffer = static_cast<std::uint8_t*>(std::malloc(next.payload.size()));
      std::memcpy(*buffer, next.payload.data(), next.payload.size());
      *length = next.payload.size();
      now_ += take_cost_;
    }
    return next.status;
  }

  std::map<NimbrelReader*, std::string> names_;
  std::map<NimbrelReader*, std::deque<Take>> scripts_;
};

TEST_F(LoopTest, StopFlagWinsOverAReachedDuration) {
  add_reader("A", "TA", {data({1})});
  auto session = memory_session();
  stop_.store(true);
  EXPECT_EQ(run(*session, 0), StopCause::Sigint);
  EXPECT_EQ(out_.str(), "recorder-bridge: SIGINT received, draining...\n");
  EXPECT_TRUE(events_.empty());
}

TEST_F(LoopTest, ZeroDurationEndsBeforeAnyTake) {
  add_reader("A", "TA", {data({1})});
  auto session = memory_session();
  EXPECT_EQ(run(*session, 0), StopCause::DurationReached);
  EXPECT_EQ(out_.str(), "recorder-bridge: duration reached\n");
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(file_.empty());
}

struct IdleCase {
  const char* label;
  std::size_t readers;
  std::uint64_t duration_ms;
  std::size_t sleeps;
};

class IdleLoop : public LoopTest, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(IdleLoop, SleepsFiveMillisecondsAfterEachIdlePassUntilTheDuration) {
  const auto& c = GetParam();
  for (std::size_t i = 0; i < c.readers; ++i)
    add_reader(std::to_string(i), "T", {});
  auto session = memory_session();
  EXPECT_EQ(run(*session, c.duration_ms), StopCause::DurationReached);
  EXPECT_EQ(count(idle), c.sleeps);
  EXPECT_EQ(events_.size(), c.sleeps * (1 + c.readers));  // one take per reader per pass
  EXPECT_EQ(out_.str(), "recorder-bridge: duration reached\n");
  EXPECT_TRUE(file_.empty());  // no sample, no header
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, IdleLoop, ::testing::Values(
    IdleCase{"NoReaders", 0, 1500, 300},
    IdleCase{"OneReader", 1, 1500, 300},
    IdleCase{"TwoReadersPartialStep", 2, 12, 3},
    IdleCase{"ExactlyOneStep", 1, 5, 1}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

TEST_F(LoopTest, ServesReadersRoundRobinAndSleepsOnlyWhenAllAreIdle) {
  add_reader("A", "TA", {data({0xA1}), data({0xA2, 0x02}), data({0xA3})});
  add_reader("B", "TB", {data({0xB1})});
  auto session = memory_session();
  stop_on_sleep_ = true;
  EXPECT_EQ(run(*session, std::nullopt), StopCause::Sigint);

  EXPECT_EQ(events_, (std::vector<std::string>{"take A", "take B", "take A", "take B", "take A",
                                               "take B", "take A", "take B", idle}));
  // Each sample is stamped with the wall clock read right after its take (100 ns per read).
  EXPECT_EQ(frames_of(file_),
            (std::vector<RecordedFrame>{
                {.time = 100, .participant_idx = 0, .topic_idx = 0, .payload = {0xA1}},
                {.time = 200, .participant_idx = 0, .topic_idx = 1, .payload = {0xB1}},
                {.time = 300, .participant_idx = 0, .topic_idx = 0, .payload = {0xA2, 0x02}},
                {.time = 400, .participant_idx = 0, .topic_idx = 0, .payload = {0xA3}},
            }));
  EXPECT_EQ(session->recorded(), 4u);
  EXPECT_EQ(out_.str(), "recorder-bridge: SIGINT received, draining...\n");
  EXPECT_EQ(err_.str(), "");
}

struct NothingCase {
  const char* label;
  Take take;
};

class NothingTaken : public LoopTest, public ::testing::WithParamInterface<NothingCase> {};

TEST_P(NothingTaken, CountsAsAnIdleTakeAndRecordsNothing) {
  add_reader("A", "TA", {GetParam().take});
  auto session = memory_session();
  stop_on_sleep_ = true;
  EXPECT_EQ(run(*session, std::nullopt), StopCause::Sigint);
  EXPECT_EQ(events_, (std::vector<std::string>{"take A", idle}));
  EXPECT_EQ(session->recorded(), 0u);
  EXPECT_EQ(session->dropped(), 0u);
  EXPECT_TRUE(file_.empty());
  EXPECT_EQ(err_.str(), "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, NothingTaken, ::testing::Values(
    NothingCase{"NullBuffer", Take{.status = NIMBREL_STATUS_OK, .payload = {}, .placeholder = false}},
    NothingCase{"EmptySamplePlaceholder", Take{.status = NIMBREL_STATUS_OK, .payload = {}, .placeholder = true}},
    NothingCase{"Poisoned", Take{.status = NIMBREL_STATUS_POISONED, .payload = {}, .placeholder = false}},
    NothingCase{"NullArgument", Take{.status = NIMBREL_STATUS_NULL_ARGUMENT, .payload = {}, .placeholder = false}}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

TEST_F(LoopTest, SessionErrorsArePrintedAndTheLoopGoesOn) {
  add_reader("A", "TA", {data({1}), data({2})});
  recorder::RecordingSession session(recorder::RecordingWriter(std::make_unique<FailingSink>()),
                                     test_header());
  stop_on_sleep_ = true;
  EXPECT_EQ(run(session, std::nullopt), StopCause::Sigint);
  EXPECT_EQ(err_.str(),
            "session error: writer: io: Input/output error\n"
            "session error: writer: io: Input/output error\n");
  // A failed append still counts as a busy take.
  EXPECT_EQ(events_, (std::vector<std::string>{"take A", "take A", "take A", idle}));
  EXPECT_EQ(session.recorded(), 0u);
}

TEST_F(LoopTest, SampleOfATopicOutsideTheHeaderIsDroppedButBusy) {
  add_reader("C", "TC", {data({1})});
  auto session = memory_session();
  stop_on_sleep_ = true;
  EXPECT_EQ(run(*session, std::nullopt), StopCause::Sigint);
  EXPECT_EQ(events_, (std::vector<std::string>{"take C", "take C", idle}));
  EXPECT_EQ(session->dropped(), 1u);
  EXPECT_EQ(session->recorded(), 0u);
}

TEST_F(LoopTest, StatisticsEveryFiveWholeSecondsWhileIdle) {
  auto session = memory_session();
  EXPECT_EQ(run(*session, 10'100), StopCause::DurationReached);
  EXPECT_EQ(out_.str(),
            "  recorded=0 dropped=0 bytes=0\n"
            "  recorded=0 dropped=0 bytes=0\n"
            "recorder-bridge: duration reached\n");
}

TEST_F(LoopTest, StatisticsCountFromThePreviousLineWhileBusy) {
  // Each sample takes 3 s of fake time: lines after passes at 6 s and 12 s, not at 9 s or 15 s.
  add_reader("A", "TA", {data({1}), data({2}), data({3}), data({4}), data({5})});
  take_cost_ = 3s;
  auto session = memory_session();
  EXPECT_EQ(run(*session, 15'000), StopCause::DurationReached);
  const auto bytes = [](std::size_t frames) { return std::to_string(header_size() + frames * 23); };
  EXPECT_EQ(out_.str(), "  recorded=2 dropped=0 bytes=" + bytes(2) + "\n" +
                            "  recorded=4 dropped=0 bytes=" + bytes(4) + "\n" +
                            "recorder-bridge: duration reached\n");
  EXPECT_EQ(count(idle), 0u);
}

struct DoneCase {
  Duration elapsed;
  const char* seconds;
};

class DoneLine : public ::testing::TestWithParam<DoneCase> {};

TEST_P(DoneLine, ShowsSecondsToOneDecimalPlace) {
  recorder::RecordingSession session(recorder::RecordingWriter(std::make_unique<FailingSink>()),
                                     test_header());
  EXPECT_EQ(done_line(session, GetParam().elapsed),
            std::string("recorder-bridge done: samples=0 dropped=0 bytes=0 elapsed=") +
                GetParam().seconds + "s");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, DoneLine, ::testing::Values(
    DoneCase{0ns, "0.0"},
    DoneCase{40ms, "0.0"},
    DoneCase{1500ms, "1.5"},
    DoneCase{1560ms, "1.6"},
    DoneCase{12340ms, "12.3"},
    DoneCase{59960ms, "60.0"},
    DoneCase{3600s, "3600.0"}));
// clang-format on

TEST_F(LoopTest, DoneLineReportsTheSessionCounters) {
  add_reader("A", "TA", {data({1, 2, 3})});
  add_reader("C", "TC", {data({4})});
  auto session = memory_session();
  stop_on_sleep_ = true;
  run(*session, std::nullopt);
  EXPECT_EQ(done_line(*session, 2s), "recorder-bridge done: samples=1 dropped=1 bytes=" +
                                         std::to_string(header_size() + 25) + " elapsed=2.0s");
}

}  // namespace
}  // namespace nimbrel::bridge
