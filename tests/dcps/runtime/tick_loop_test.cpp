#include "dcps/runtime/tick_loop.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "dcps/runtime_test_util.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;
using testing::RecordingTransport;

class TickLoopTest : public ::testing::Test {
 protected:
  MonoInstant start_ = MonoInstant{} + 1000s;
  MonoInstant now_ = start_;
  std::shared_ptr<RecordingTransport> tx_ = std::make_shared<RecordingTransport>();
  std::shared_ptr<RuntimeState> state_ = testing::make_state(tx_, start_);
  TickLoop loop_{*state_, [this] { return now_; }};

  // How many SPDP announcements one tick at `at` (after start) sends.
  long announcements_at(Duration at) {
    now_ = start_ + at;
    loop_.tick();
    return std::ranges::count_if(
        tx_->take(), [](const auto& sent) { return testing::sender_of(sent.bytes) == "spdp"; });
  }
};

TEST_F(TickLoopTest, AnnouncesOnTheFirstTickFourTimesQuicklyThenEverySpdpPeriod) {
  for (const auto& [at, count] : {std::pair{0ms, 1},
                                  {5ms, 0},
                                  {249ms, 0},
                                  {250ms, 1},
                                  {500ms, 1},
                                  {750ms, 1},
                                  {1000ms, 0},
                                  {5749ms, 0},
                                  {5750ms, 1},
                                  {10749ms, 0},
                                  {10750ms, 1}})
    EXPECT_EQ(announcements_at(at), count) << at.count();
}

TEST_F(TickLoopTest, ANewlyHeardParticipantBringsTheNextAnnouncementForward) {
  EXPECT_EQ(announcements_at(0ms), 1);
  testing::deliver(*state_, testing::remote_announcement());
  EXPECT_EQ(announcements_at(5ms), 1);
  // A participant heard again is no newcomer; the quick announcements run from the early one.
  testing::deliver(*state_, testing::remote_announcement());
  EXPECT_EQ(announcements_at(10ms), 0);
  EXPECT_EQ(announcements_at(255ms), 1);
  EXPECT_EQ(announcements_at(505ms), 1);
  EXPECT_EQ(announcements_at(5504ms), 0);
  EXPECT_EQ(announcements_at(5505ms), 1);
}

TEST(SpdpDestinationTest, FollowsTheDomainAndFallsBackToThePortOfDomainZero) {
  const auto tx = std::make_shared<RecordingTransport>();
  for (const auto& [domain, port] :
       {std::pair{0u, 7400u}, {1u, 7650u}, {232u, 65400u}, {300u, 7400u}}) {
    const auto state = testing::make_state(tx, MonoInstant{}, domain);
    EXPECT_EQ(spdp_destination(state->participant), rtps::Locator::udp_v4({239, 255, 0, 1}, port))
        << domain;
  }
}

// One tick sends SPDP to the group, then SEDP to the remote participant, then liveliness to the
// group. Another thread must be able to take every component lock while it sends; a lock held
// across a send would make it wait until the send returns.
TEST_F(TickLoopTest, SendsSpdpThenSedpThenLivelinessHoldingNoComponentLock) {
  testing::give_sedp_a_subscription(*state_);
  (*state_->participant.sedp.lock())
      ->on_participant_discovered(
          {.data = testing::participant_data(), .sender_prefix = testing::remote_prefix});
  std::vector<std::string> held;
  tx_->on_send = [&] {
    const auto free_within = [](auto& guarded) {
      // Detached, so that a held lock makes this wait time out instead of deadlocking the test.
      std::packaged_task<bool()> task([&guarded] { return guarded.lock().has_value(); });
      auto probe = task.get_future();
      std::thread(std::move(task)).detach();
      return probe.wait_for(20s) == std::future_status::ready && probe.get();
    };
    if (!free_within(state_->participant.beacon)) held.push_back("beacon");
    if (!free_within(state_->participant.participants)) held.push_back("participants");
    if (!free_within(state_->participant.sedp)) held.push_back("sedp");
    if (!free_within(state_->participant.wlp)) held.push_back("wlp");
  };
  loop_.tick();
  std::vector<std::string> senders;
  for (const auto& datagram : tx_->take()) {
    const auto sender = testing::sender_of(datagram.bytes);
    if (senders.empty() || senders.back() != sender) senders.push_back(sender);
    const auto expected = sender == "sedp" ? testing::remote_metatraffic
                                           : rtps::Locator::udp_v4({239, 255, 0, 1}, 7400);
    EXPECT_EQ(datagram.destination, expected) << sender;
  }
  EXPECT_EQ(senders, (std::vector<std::string>{"spdp", "sedp", "wlp"}));
  EXPECT_EQ(held, std::vector<std::string>{});
}

class UserReaderTickTest : public testing::UserTrafficTest {
 protected:
  static constexpr rtps::GuidPrefix writer_a{0xA, 0xA, 0xA, 0xA, 0xA, 0xA,
                                             0xA, 0xA, 0xA, 0xA, 0xA, 0xA};
  TickLoop loop_{*state_, [this] { return now_; }};
  MonoInstant now_ = start_;

  void tick_at(Duration at) {
    now_ = start_ + at;
    loop_.tick();
  }
  rtps::EntityId reader_with(UserReaderConfig config) {
    config.topic_name = "Topic";
    config.type_name = "Type";
    return register_user_reader(state_->participant, state_->readers, std::move(config))
        .value()
        .entity_id;
  }
};

TEST_F(UserReaderTickTest, AcknowledgementsLeaveThroughTheUserSocketOnTheTick) {
  know_writer(writer_a);
  reader_with({});
  // Half of an announced sample: the missing fragment is asked for on the next tick, not at once.
  receive(testing::datagram_from(writer_a, {testing::heartbeat(1, 1, 1)}));
  static_cast<void>(user_->take());
  const rtps::DataFragSubmessage frag{.writer_id = testing::writer_id,
                                      .writer_sn = 1,
                                      .fragment_starting_num = 1,
                                      .fragments_in_submessage = 1,
                                      .fragment_size = 8,
                                      .sample_size = 16,
                                      .fragments = SharedBytes::adopt(std::vector<std::byte>(8))};
  receive(
      testing::datagram_from(writer_a, {testing::framed(rtps::submessage_id::data_frag, frag)}));
  EXPECT_TRUE(user_->take().empty());
  tick_at(5ms);
  std::vector<std::size_t> kinds;  // of each datagram's last submessage
  for (const auto& sent : user_->take()) {
    EXPECT_EQ(sent.destination, testing::remote_user);
    const auto reply =
        rtps::decode_bytes<rtps::ParsedDatagram>(SharedBytes::copy_of(sent.bytes), true).value();
    kinds.push_back(reply.submessages.back().index());
  }
  const rtps::ParsedSubmessage nack_frag{rtps::NackFragSubmessage{}};
  const rtps::ParsedSubmessage acknack{rtps::AckNackSubmessage{}};
  EXPECT_EQ(kinds, (std::vector<std::size_t>{nack_frag.index(), acknack.index()}));
}

TEST_F(UserReaderTickTest, RequestedDeadlineMissesOncePerPeriodOfSilence) {
  const auto id = reader_with({.deadline = {1, 0}});
  for (const auto& [at, missed] :
       {std::pair{999ms, 0u}, {1500ms, 1u}, {1600ms, 1u}, {2500ms, 2u}}) {
    tick_at(at);
    EXPECT_EQ(slot(id).requested_deadline_missed, missed) << at.count();
  }
}

TEST_F(UserReaderTickTest, SilentWriterIsNotAliveOnceUntilTheNextSample) {
  know_writer(writer_a);
  const auto id = reader_with(
      {.liveliness = {.kind = rtps::LivelinessKind::Automatic, .lease_duration = {1, 0}}});
  tick_at(1500ms);
  tick_at(3000ms);
  EXPECT_FALSE(slot(id).writer_alive);
  EXPECT_EQ(slot(id).not_alive, 1u);
  receive(testing::datagram_from(writer_a, {testing::data(1)}), Elapsed::from_millis(3100));
  EXPECT_TRUE(slot(id).writer_alive);
  EXPECT_EQ(slot(id).liveliness_changed, 1u);
  tick_at(3500ms);
  EXPECT_TRUE(slot(id).writer_alive);
}

}  // namespace
}  // namespace nimbrel::dcps
