#include "dcps/tick_loop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "dcps/metatraffic.hpp"
#include "dcps/runtime_test_util.hpp"
#include "dcps/user_traffic_util.hpp"

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

  // The senders of what one tick at `at` (after start) sends, in order.
  std::vector<std::string> tick_at(Duration at) {
    now_ = start_ + at;
    loop_.tick();
    std::vector<std::string> senders;
    for (const auto& sent : tx_->take())
      senders.push_back(testing::sender_of(sent.bytes));
    return senders;
  }

  // Gives SEDP someone to heartbeat.
  void know_remote_participant() {
    testing::give_sedp_a_subscription(*state_);
    auto sedp = state_->sedp.lock();
    (*sedp)->on_participant_discovered(
        {.data = testing::remote_participant_data(), .sender_prefix = testing::remote_prefix});
  }

  static long count(const std::vector<std::string>& senders, const std::string& kind) {
    return std::count(senders.begin(), senders.end(), kind);
  }
};

TEST_F(TickLoopTest, AnnouncesOnTheFirstTickThenEverySpdpPeriod) {
  EXPECT_EQ(count(tick_at(0ms), "spdp"), 1);
  EXPECT_EQ(count(tick_at(5ms), "spdp"), 0);
  EXPECT_EQ(count(tick_at(4999ms), "spdp"), 0);
  EXPECT_EQ(count(tick_at(5000ms), "spdp"), 1);
  EXPECT_EQ(count(tick_at(9999ms), "spdp"), 0);
  EXPECT_EQ(count(tick_at(10000ms), "spdp"), 1);
}

TEST_F(TickLoopTest, ANewlyHeardParticipantBringsTheNextAnnouncementForward) {
  EXPECT_EQ(count(tick_at(0ms), "spdp"), 1);
  handle_spdp_datagram(*state_, testing::spdp_announcement(testing::remote_participant_data()));
  EXPECT_EQ(count(tick_at(5ms), "spdp"), 1);
  // A participant heard again is no newcomer; the period runs from the early announcement.
  handle_spdp_datagram(*state_, testing::spdp_announcement(testing::remote_participant_data()));
  EXPECT_EQ(count(tick_at(10ms), "spdp"), 0);
  EXPECT_EQ(count(tick_at(5004ms), "spdp"), 0);
  EXPECT_EQ(count(tick_at(5005ms), "spdp"), 1);
}

TEST_F(TickLoopTest, OneTickSendsSpdpThenSedpThenLiveliness) {
  know_remote_participant();
  now_ = start_;
  loop_.tick();
  const auto sent = tx_->take();
  std::vector<std::string> senders;
  for (const auto& datagram : sent) {
    const auto sender = testing::sender_of(datagram.bytes);
    if (senders.empty() || senders.back() != sender) senders.push_back(sender);
    const auto expected = sender == "sedp" ? testing::remote_metatraffic
                                           : rtps::Locator::udp_v4({239, 255, 0, 1}, 7400);
    EXPECT_EQ(datagram.destination, expected) << sender;
  }
  EXPECT_EQ(senders, (std::vector<std::string>{"spdp", "sedp", "wlp"}));
}

TEST(SpdpDestinationTest, FollowsTheDomainAndFallsBackToThePortOfDomainZero) {
  const auto tx = std::make_shared<RecordingTransport>();
  for (const auto& [domain, port] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {0, 7400}, {1, 7650}, {232, 65400}, {300, 7400}}) {
    const auto state = testing::make_state(tx, MonoInstant{}, domain);
    EXPECT_EQ(spdp_destination(*state), rtps::Locator::udp_v4({239, 255, 0, 1}, port)) << domain;
  }
}

// Another thread must be able to take every component lock while the tick loop sends; a lock held
// across a send would make it wait until the send returns.
TEST_F(TickLoopTest, HoldsNoComponentLockWhileSending) {
  know_remote_participant();
  std::vector<std::string> held;
  tx_->on_send = [&] {
    const auto free_within = [](auto& guarded) {
      // Detached, so that a held lock makes this wait time out instead of deadlocking the test.
      std::packaged_task<bool()> task([&guarded] { return guarded.lock().has_value(); });
      auto probe = task.get_future();
      std::thread(std::move(task)).detach();
      return probe.wait_for(20s) == std::future_status::ready && probe.get();
    };
    if (!free_within(state_->beacon)) held.push_back("beacon");
    if (!free_within(state_->participants)) held.push_back("participants");
    if (!free_within(state_->sedp)) held.push_back("sedp");
    if (!free_within(state_->wlp)) held.push_back("wlp");
  };
  const auto senders = tick_at(0s);
  EXPECT_EQ(count(senders, "spdp") + count(senders, "wlp"), 2);
  EXPECT_GT(count(senders, "sedp"), 0);
  EXPECT_TRUE(held.empty()) << held.front();
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
    return register_user_reader(*state_, std::move(config)).value().entity_id;
  }
};

TEST_F(UserReaderTickTest, AcknowledgementsLeaveThroughTheUserSocketOnTheTick) {
  know_writer(writer_a);
  reader_with({});
  // Half a sample: the missing fragment is asked for on the next tick, not at once.
  const rtps::DataFragSubmessage frag{.writer_id = testing::writer_id,
                                      .writer_sn = 1,
                                      .fragment_starting_num = 1,
                                      .fragments_in_submessage = 1,
                                      .fragment_size = 8,
                                      .sample_size = 16,
                                      .fragments = SharedBytes::adopt(std::vector<std::byte>(8))};
  receive(testing::datagram_from(
      writer_a, {{rtps::submessage_id::data_frag, frag.write_body(/*little_endian=*/true)}}));
  EXPECT_TRUE(user_->take().empty());
  tick_at(5ms);
  std::vector<std::size_t> kinds;  // of each datagram's last submessage
  for (const auto& sent : user_->take()) {
    EXPECT_EQ(sent.destination, testing::remote_user);
    const auto reply = rtps::decode_datagram(SharedBytes::copy_of(sent.bytes)).value();
    kinds.push_back(reply.submessages.back().index());
  }
  const rtps::ParsedSubmessage nack_frag{rtps::NackFragSubmessage{}};
  const rtps::ParsedSubmessage acknack{rtps::AckNackSubmessage{}};
  EXPECT_EQ(kinds, (std::vector<std::size_t>{nack_frag.index(), acknack.index()}));
}

TEST_F(UserReaderTickTest, RequestedDeadlineMissesOncePerPeriodOfSilence) {
  const auto id = reader_with({.deadline = {1, 0}});
  tick_at(999ms);
  EXPECT_EQ(slot(id).requested_deadline_missed, 0u);
  tick_at(1500ms);
  tick_at(1600ms);
  EXPECT_EQ(slot(id).requested_deadline_missed, 1u);
  tick_at(2500ms);
  EXPECT_EQ(slot(id).requested_deadline_missed, 2u);
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
