#include "tools/recorder_bridge/recording_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <sstream>

#include "recorder/recording_fixtures.hpp"
#include "tools/recorder_bridge/nbrlrec_output.hpp"

namespace nimbrel::bridge {
namespace {

using namespace std::chrono_literals;
namespace fixtures = recorder::fixtures;
using fixtures::bytes;
using fixtures::ParsedFrame;

// One scripted item of the fake take. A take gives the items up to the next `Take{}`, which ends
// it, or up to a failing status, which is a take's whole answer.
struct Take {
  std::int32_t status = NIMBREL_STATUS_OK;
  std::vector<std::uint8_t> payload;  // the body; empty: the end of a take, unless `placeholder`
  bool placeholder = false;           // a sample with an empty body
  std::optional<dcps::ReaderItem> item{};  // anything else the reader hands on
};

Take data(std::vector<std::uint8_t> payload) {
  return Take{NIMBREL_STATUS_OK, std::move(payload), false};
}
Take item(dcps::ReaderItem item) {
  return Take{NIMBREL_STATUS_OK, {}, false, std::move(item)};
}

const rtps::Guid writer_w{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                          rtps::make_entity_id(0, 0, 1, rtps::EntityKind::UserWriterWithKey)};

dcps::UserSample sample_of(std::vector<std::uint8_t> body) {
  body.insert(body.begin(), {0, 1, 0, 0});
  return dcps::UserSample{.payload = SharedBytes::copy_of(std::as_bytes(std::span(body))),
                          .writer_guid = writer_w};
}

// The world around the loop: scripted readers, a fake monotonic clock that only sleeps and takes
// advance, a wall clock that ticks 100 ns per read, a session on the example header writing to
// memory, and a log of what the loop did.
class LoopTest : public ::testing::Test {
 protected:
  // Reader of topic `name` with type "T" + `name`; gives its handle.
  NimbrelReader* add_reader(const std::string& name, std::deque<Take> script) {
    auto* handle =
        reinterpret_cast<NimbrelReader*>(static_cast<std::uintptr_t>(0x1000 + 8 * names_.size()));
    names_[handle] = name;
    scripts_[handle] = std::move(script);
    readers_.readers.push_back(
        LoopReader{.handle = handle, .topic = {.name = name, .type_name = "T" + name}});
    return handle;
  }
  void queue_more(NimbrelReader* reader, std::deque<Take> more) {
    auto& script = scripts_.at(reader);
    script.insert(script.end(), more.begin(), more.end());
  }

  StopCause run(std::optional<std::uint64_t> duration_ms) {
    const LoopEnv env{
        .take = [this](NimbrelReader* reader, std::vector<dcps::ReaderItem>& out,
                       std::size_t max_items,
                       std::size_t max_bytes) { return take(reader, out, max_items, max_bytes); },
        .close =
            [this](NimbrelReader* reader) {
              events_.push_back("close " + names_.at(reader));
              if (on_close_) on_close_(reader);
              return NIMBREL_STATUS_OK;
            },
        .mono_now = [this] { return now_; },
        .wall_ns = [this] { return wall_ns_ += wall_step_; },
        .sleep =
            [this](Duration d) {
              events_.push_back("sleep " + std::to_string(d.count()));
              now_ += d;
              if (stop_on_sleep_) stop_.store(true);
            },
        .out = &out_,
        .err = &err_,
    };
    return run_recording_loop(readers_, session_, stop_, duration_ms, start_, env, tally_);
  }

  // One-byte samples 1, 2, ..., each followed by an empty take, so that every pass finds one, as
  // from a publisher slower than the loop.
  static std::deque<Take> one_per_pass(std::size_t n) {
    std::deque<Take> script;
    for (std::size_t i = 0; i < n; ++i) {
      script.push_back(data({static_cast<std::uint8_t>(i + 1)}));
      script.push_back(Take{});
    }
    return script;
  }

  // One reader of `n` samples, one per pass, served until the first idle pass.
  void run_stream(std::size_t n) {
    add_reader("A", one_per_pass(n));
    stop_on_sleep_ = true;
    EXPECT_EQ(run(std::nullopt), StopCause::Sigint);
  }

  std::size_t count(const std::string& event) const {
    return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
  }

  static constexpr const char* idle = "sleep 5000000";
  static constexpr const char* sigint = "recorder-bridge: SIGINT received, draining...\n";
  static constexpr const char* duration_reached = "recorder-bridge: duration reached\n";

  std::shared_ptr<fixtures::SinkState> sink_ = std::make_shared<fixtures::SinkState>();
  NbrlrecOutput session_{recorder::RecordingWriter(fixtures::memory_sink(sink_)),
                         fixtures::example_header()};
  LoopReaders readers_;
  std::vector<std::string> events_;
  std::ostringstream out_;
  std::ostringstream err_;
  std::atomic<bool> stop_{false};
  bool stop_on_sleep_ = false;
  Duration take_cost_{0};  // fake time a take that yields data takes
  MonoInstant start_ = MonoInstant{} + 1h;
  MonoInstant now_ = start_;
  std::uint64_t wall_ns_ = fixtures::example_start_ns;
  std::uint64_t wall_step_ = 100;
  std::function<void(std::size_t)> before_record_;  // given the number of samples taken so far
  std::function<void(NimbrelReader*)> on_close_;
  WriterTally tally_;

 private:
  std::int32_t take(NimbrelReader* reader, std::vector<dcps::ReaderItem>& out,
                    std::size_t max_items, std::size_t max_bytes) {
    events_.push_back("take " + names_.at(reader));
    auto& script = scripts_.at(reader);
    if (!script.empty() && script.front().status != NIMBREL_STATUS_OK) {
      const auto status = script.front().status;
      script.pop_front();
      return status;
    }
    std::size_t bytes = 0;
    for (std::size_t n = 0; n < max_items && bytes < max_bytes && !script.empty(); ++n) {
      Take next = std::move(script.front());
      if (next.status != NIMBREL_STATUS_OK) break;
      script.pop_front();
      if (next.item) {
        out.push_back(std::move(*next.item));
        continue;
      }
      if (next.payload.empty() && !next.placeholder) break;
      out.emplace_back(sample_of(std::move(next.payload)));
      bytes += std::get<dcps::UserSample>(out.back()).body().size();
      now_ += take_cost_;
      if (before_record_) before_record_(++samples_taken_);
    }
    return NIMBREL_STATUS_OK;
  }

  std::map<NimbrelReader*, std::string> names_;
  std::map<NimbrelReader*, std::deque<Take>> scripts_;
  std::size_t samples_taken_ = 0;
};

struct IdleCase {
  const char* label;
  std::size_t readers;
  std::uint64_t duration_ms;
  bool stop_first;  // the stop flag is set before the loop starts
  std::size_t sleeps;
};

class IdleLoop : public LoopTest, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(IdleLoop, SleepsFiveMillisecondsAfterEachIdlePassUntilStopped) {
  const auto& c = GetParam();
  for (std::size_t i = 0; i < c.readers; ++i)
    add_reader(std::to_string(i), {});
  stop_.store(c.stop_first);
  EXPECT_EQ(run(c.duration_ms), c.stop_first ? StopCause::Sigint : StopCause::DurationReached);
  EXPECT_EQ(count(idle), c.sleeps);
  // One take per reader per pass; at the stop a close and a take for each.
  EXPECT_EQ(events_.size(), c.sleeps * (1 + c.readers) + 2 * c.readers);
  EXPECT_EQ(out_.str(), c.stop_first ? sigint : duration_reached);
  EXPECT_TRUE(sink_->bytes.empty());  // no sample, no header
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, IdleLoop, ::testing::Values(
    IdleCase{"StopFlagWinsOverAReachedDuration", 1, 0, true, 0},
    IdleCase{"ZeroDurationEndsBeforeAnyTake", 1, 0, false, 0},
    IdleCase{"NoReaders", 0, 1500, false, 300},
    IdleCase{"OneReader", 1, 1500, false, 300},
    IdleCase{"TwoReadersPartialStep", 2, 12, false, 3},
    IdleCase{"ExactlyOneStep", 1, 5, false, 1}),
    [](const auto& test) { return std::string(test.param.label); });
// clang-format on

TEST_F(LoopTest, ServesReadersInTurnAndSleepsOnlyWhenAllAreIdle) {
  add_reader("A", {data({0xA1}), data({0xA2, 0x02}), data({0xA3})});
  add_reader("B", {data({0xB1})});
  stop_on_sleep_ = true;
  EXPECT_EQ(run(std::nullopt), StopCause::Sigint);

  EXPECT_EQ(events_, (std::vector<std::string>{"take A", "take B", "take A", "take B", idle,
                                               "close A", "close B", "take A", "take B"}));
  // Each sample is stamped with the wall clock read right after its take (100 ns per read).
  EXPECT_EQ(fixtures::whole_frames(sink_->bytes),
            (std::vector<ParsedFrame>{{100, 0, 0, 0, bytes({0xA1})},
                                      {200, 0, 0, 0, bytes({0xA2, 0x02})},
                                      {300, 0, 0, 0, bytes({0xA3})},
                                      {400, 0, 1, 0, bytes({0xB1})}}));
  EXPECT_EQ(session_.recorded(), 4u);
  EXPECT_EQ(out_.str(), sigint);
  EXPECT_EQ(err_.str(), "");
}

// A reader that holds more than its share of a pass gives the rest in the next one.
TEST_F(LoopTest, AReaderGivesAtMostItsShareInOnePass) {
  std::deque<Take> many;
  for (int i = 0; i < 300; ++i)
    many.push_back(data({static_cast<std::uint8_t>(i)}));
  add_reader("A", std::move(many));
  add_reader("B", {data({0xB1})});
  stop_on_sleep_ = true;
  EXPECT_EQ(run(std::nullopt), StopCause::Sigint);
  EXPECT_EQ(count("take A"), 4u);  // 256, 44, nothing, and the drain's
  EXPECT_EQ(events_.at(1), "take B");
  const auto frames = fixtures::whole_frames(sink_->bytes);
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), 301u);
  EXPECT_EQ(frames->at(256).topic_idx, 1u);
}

class NothingTaken : public LoopTest, public ::testing::WithParamInterface<Take> {};

TEST_P(NothingTaken, CountsAsAnIdleTakeAndRecordsNothing) {
  add_reader("A", {GetParam()});
  stop_on_sleep_ = true;
  EXPECT_EQ(run(std::nullopt), StopCause::Sigint);
  EXPECT_EQ(events_, (std::vector<std::string>{"take A", idle, "close A", "take A"}));
  EXPECT_EQ(session_.recorded() + session_.dropped(), 0u);
  EXPECT_TRUE(sink_->bytes.empty());
  EXPECT_EQ(err_.str(), "");
}

// A null buffer, the empty sample's placeholder, a poisoned reader, a null argument.
INSTANTIATE_TEST_SUITE_P(Cases, NothingTaken,
                         ::testing::Values(Take{NIMBREL_STATUS_OK, {}, false},
                                           Take{NIMBREL_STATUS_OK, {}, true},
                                           Take{NIMBREL_STATUS_POISONED, {}, false},
                                           Take{NIMBREL_STATUS_NULL_ARGUMENT, {}, false}));

TEST_F(LoopTest, SessionErrorsArePrintedAndTheLoopGoesOn) {
  add_reader("A", {data({1}), data({2})});
  sink_->room = 0;
  stop_on_sleep_ = true;
  EXPECT_EQ(run(std::nullopt), StopCause::Sigint);
  // The repeat and the hole it leaves are told at the stop.
  EXPECT_EQ(err_.str(),
            "session error: writer: io: No space left on device\n"
            "session error: writer: io: No space left on device (repeated 1 time)\n"
            "session gap: 2 samples lost between 0.000s and 0.000s\n");
  // A failed append still counts as a busy take.
  EXPECT_EQ(events_, (std::vector<std::string>{"take A", "take A", idle, "close A", "take A"}));
  EXPECT_EQ(session_.recorded(), 0u);
  EXPECT_EQ(session_.dropped(), 2u);
}

// A full disk under a busy stream: 25 failures 100 ms apart give the first line at once, a count
// each second, and the rest at the stop.
TEST_F(LoopTest, ARepeatedErrorIsCountedAtMostOncePerSecond) {
  sink_->room = 0;
  take_cost_ = 100ms;
  wall_step_ = 250'000'000;
  run_stream(25);
  EXPECT_EQ(err_.str(),
            "session error: writer: io: No space left on device\n"
            "session error: writer: io: No space left on device (repeated 10 times)\n"
            "session error: writer: io: No space left on device (repeated 10 times)\n"
            "session error: writer: io: No space left on device (repeated 4 times)\n"
            "session gap: 25 samples lost between 0.250s and 6.250s\n");
  EXPECT_EQ(session_.dropped(), 25u);
  EXPECT_EQ(session_.failed(), 25u);
}

// Room for the header and two frames; space comes back before the fifth sample. Samples 3 and 4
// are missing from the file, counted as dropped, and marked by a line once writing recovers.
TEST_F(LoopTest, RecoveryMarksTheGapItLeaves) {
  sink_->room = 81 + 2 * 23;
  wall_step_ = 1'500'000'000;
  before_record_ = [this](std::size_t taken) {
    if (taken == 5) sink_->room.reset();
  };
  run_stream(6);
  EXPECT_EQ(err_.str(),
            "session error: writer: io: No space left on device\n"
            "session error: writer: io: No space left on device (repeated 1 time)\n"
            "session gap: 2 samples lost between 4.500s and 6.000s\n");
  const auto frames = fixtures::whole_frames(sink_->bytes);
  ASSERT_TRUE(frames);
  std::vector<std::byte> recorded;
  for (const auto& frame : *frames)
    recorded.push_back(frame.payload.at(0));
  EXPECT_EQ(recorded, bytes({1, 2, 5, 6}));
  EXPECT_EQ(session_.recorded(), 4u);
  EXPECT_EQ(session_.dropped(), 2u);
  EXPECT_EQ(done_line(session_, 1s),
            "recorder-bridge done: samples=4 dropped=2 bytes=173 elapsed=1.0s");
}

// Each distinct error gets its own first line; gaps that close within a second of the last gap
// line share the next one.
TEST_F(LoopTest, DistinctErrorsAndGapsCloseTogether) {
  wall_step_ = 1'000'000'000;
  before_record_ = [this](std::size_t taken) {
    const auto io = std::error_code(EIO, std::generic_category());
    const auto full = std::error_code(ENOSPC, std::generic_category());
    const std::optional<std::error_code> errors[] = {std::nullopt, full,         io, std::nullopt,
                                                     full,         std::nullopt, io, std::nullopt};
    sink_->write_error = errors[taken - 1];
  };
  run_stream(8);
  EXPECT_EQ(err_.str(),
            "session error: writer: io: No space left on device\n"
            "session error: writer: io: Input/output error\n"
            "session gap: 2 samples lost between 2.000s and 3.000s\n"
            "session error: writer: io: Input/output error (repeated 1 time)\n"
            "session error: writer: io: No space left on device (repeated 1 time)\n"
            "session gap: 2 samples lost in 2 gaps between 5.000s and 7.000s\n");
  EXPECT_EQ(session_.recorded(), 4u);
  EXPECT_EQ(session_.dropped(), 4u);
}

// A sample of a topic outside the header is dropped, but its take counts as busy.
TEST_F(LoopTest, DoneLineReportsTheSessionCounters) {
  add_reader("A", {data({1, 2, 3})});
  add_reader("C", {data({4})});
  stop_on_sleep_ = true;
  EXPECT_EQ(run(std::nullopt), StopCause::Sigint);
  EXPECT_EQ(events_, (std::vector<std::string>{"take A", "take C", "take A", "take C", idle,
                                               "close A", "close C", "take A", "take C"}));
  EXPECT_EQ(done_line(session_, 2s),
            "recorder-bridge done: samples=1 dropped=1 bytes=106 elapsed=2.0s");
}

// What the readers still hold at the stop goes to the file, an empty sample included, after every
// reader was closed; the last pass finds them all empty.
TEST_F(LoopTest, StopRecordsWhatTheClosedReadersStillHold) {
  NimbrelReader* a = add_reader("A", {});
  NimbrelReader* b = add_reader("B", {});
  on_close_ = [&](NimbrelReader* closed) {
    if (closed == a) queue_more(a, {data({1}), Take{NIMBREL_STATUS_OK, {}, true}, data({2})});
    if (closed == b) queue_more(b, {data({3})});
  };
  stop_.store(true);
  EXPECT_EQ(run(std::nullopt), StopCause::Sigint);
  EXPECT_EQ(events_, (std::vector<std::string>{"close A", "close B", "take A", "take B", "take A",
                                               "take B"}));
  EXPECT_EQ(session_.recorded(), 3u);
  EXPECT_EQ(out_.str(), sigint);
}

TEST_F(LoopTest, DrainEndsAtItsLimitAndSaysSo) {
  add_reader("A", one_per_pass(10));
  take_cost_ = 1s;
  EXPECT_EQ(run(0), StopCause::DurationReached);
  // Takes at 1 s, 2 s and 3 s of the drain; the limit is seen after the third.
  EXPECT_EQ(session_.recorded(), 3u);
  EXPECT_EQ(out_.str(), std::string(duration_reached) +
                            "recorder-bridge: drain stopped after 3 s; samples still queued are "
                            "not recorded\n");
}

TEST_F(LoopTest, StatisticsEveryFiveWholeSecondsWhileIdle) {
  EXPECT_EQ(run(10'100), StopCause::DurationReached);
  EXPECT_EQ(out_.str(),
            "  recorded=0 dropped=0 bytes=0\n"
            "  recorded=0 dropped=0 bytes=0\n"
            "recorder-bridge: duration reached\n");
}

TEST_F(LoopTest, StatisticsCountFromThePreviousLineWhileBusy) {
  // Each sample takes 3 s of fake time: lines after passes at 6 s and 12 s, not at 9 s or 15 s.
  add_reader("A", one_per_pass(5));
  take_cost_ = 3s;
  EXPECT_EQ(run(15'000), StopCause::DurationReached);
  EXPECT_EQ(out_.str(),
            "  recorded=2 dropped=0 bytes=127\n"  // 81-byte header, 23-byte frames
            "  recorded=4 dropped=0 bytes=173\n"
            "recorder-bridge: duration reached\n");
  EXPECT_EQ(count(idle), 0u);
}

// Every sample of a writer is either in the file or lost with its reason, wherever it was lost; a
// writer whose samples are too large is named once while the run goes on.
TEST_F(LoopTest, EachWritersSamplesAreRecordedOrLostWithTheirReason) {
  const auto lost = [](rtps::SequenceNumber first, rtps::SequenceNumber last,
                       rtps::LossReason reason) {
    return item(
        rtps::LostRange{.writer = writer_w, .first = first, .last = last, .reason = reason});
  };
  auto dispose = sample_of({});
  dispose.kind = rtps::change_kind::not_alive_disposed;
  add_reader("A", {data({1}), Take{}, lost(2, 3, rtps::LossReason::Network), item(dispose),
                   Take{NIMBREL_STATUS_OK, {}, true}, lost(6, 6, rtps::LossReason::TooLarge),
                   lost(7, 7, rtps::LossReason::TooLarge), data({8})});
  add_reader("B", {Take{}, data({9})});  // a writer without losses has no line
  sink_->write_error = std::error_code(EIO, std::generic_category());
  before_record_ = [this](std::size_t taken) {
    if (taken > 1) sink_->write_error.reset();
  };
  stop_on_sleep_ = true;
  EXPECT_EQ(run(std::nullopt), StopCause::Sigint);
  EXPECT_EQ(err_.str(),
            "session error: writer: io: Input/output error\n"
            "recorder-bridge: topic \"A\" writer " +
                rtps::to_string(writer_w) +
                " sends samples larger than --max-sample-size: they are lost as too large\n"
                "session gap: 1 sample lost between 0.000s and 0.000s\n");
  EXPECT_EQ(tally_.loss_lines(),
            std::vector<std::string>{"recorder-bridge lost: topic \"A\" writer " +
                                     rtps::to_string(writer_w) +
                                     " received=4 recorded=1 lost=6 (network=2 too_large=2 "
                                     "write_failed=1 not_recordable=1)"});
  EXPECT_EQ(session_.recorded(), 2u);
}

TEST(DoneLine, ShowsSecondsToOneDecimalPlace) {
  NbrlrecOutput session(
      recorder::RecordingWriter(fixtures::memory_sink(std::make_shared<fixtures::SinkState>())),
      fixtures::example_header());
  const std::pair<Duration, const char*> cases[] = {
      {0ns, "0.0"},      {40ms, "0.0"},     {1500ms, "1.5"},  {1560ms, "1.6"},
      {12340ms, "12.3"}, {59960ms, "60.0"}, {3600s, "3600.0"}};
  for (const auto& [elapsed, seconds] : cases) {
    EXPECT_EQ(done_line(session, elapsed),
              std::string("recorder-bridge done: samples=0 dropped=0 bytes=0 elapsed=")
                  .append(seconds)
                  .append("s"));
  }
}

}  // namespace
}  // namespace nimbrel::bridge
