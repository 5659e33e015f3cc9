#include "dcps/metatraffic.hpp"

#include <gtest/gtest.h>

#include "dcps/runtime_test_util.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;

class MetatrafficTest : public ::testing::Test {
 protected:
  std::shared_ptr<testing::RecordingTransport> tx_ =
      std::make_shared<testing::RecordingTransport>();
  std::shared_ptr<RuntimeState> state_ = testing::make_state(tx_, MonoInstant{});

  void SetUp() override { testing::give_sedp_a_subscription(*state_); }

  std::size_t participants() { return (*state_->participants.lock())->size(); }
  // SEDP talks to a participant once it has proxies for it.
  bool sedp_reaches_remote() {
    auto sedp = state_->sedp.lock();
    const auto datagrams = (*sedp)->tick(Elapsed::from_secs(1)).value();
    for (const auto& datagram : datagrams) {
      for (const auto& locator : *datagram.destinations) {
        if (locator == testing::remote_metatraffic) return true;
      }
    }
    return false;
  }
};

TEST_F(MetatrafficTest, OwnAnnouncementLoopedBackChangesNothing) {
  handle_spdp_datagram(*state_, testing::spdp_announcement(state_->local_participant));
  EXPECT_EQ(participants(), 0u);
  EXPECT_FALSE(sedp_reaches_remote());
}

TEST_F(MetatrafficTest, NewParticipantIsRecordedAndGetsSedpProxies) {
  handle_spdp_datagram(*state_, testing::spdp_announcement(testing::remote_participant_data()));
  EXPECT_EQ(participants(), 1u);
  EXPECT_TRUE(sedp_reaches_remote());
  handle_spdp_datagram(*state_, testing::spdp_announcement(testing::remote_participant_data()));
  EXPECT_EQ(participants(), 1u);
}

TEST_F(MetatrafficTest, PoisonedParticipantsCacheSkipsTheAnnouncement) {
  state_->participants.poison();
  handle_spdp_datagram(*state_, testing::spdp_announcement(testing::remote_participant_data()));
  EXPECT_FALSE(sedp_reaches_remote());
}

// One datagram reaches every handler: the SPDP data and the liveliness pulse packed together are
// both taken.
TEST_F(MetatrafficTest, EveryHandlerSeesTheDatagram) {
  WlpEndpoint remote_wlp(testing::remote_prefix, 1s);
  auto pulse = remote_wlp.tick(Elapsed{}).value().value();
  auto spdp = testing::spdp_announcement(testing::remote_participant_data());
  // The pulse's submessages appended after the announcement, under the announcement's header.
  std::vector<std::byte> both(spdp.span().begin(), spdp.span().end());
  both.insert(both.end(), pulse.begin() + rtps::rtps_header_size, pulse.end());

  handle_metatraffic_datagram(*state_, SharedBytes::adopt(std::move(both)), Elapsed::from_secs(3));
  EXPECT_EQ(participants(), 1u);
  const auto liveliness = (*state_->wlp.lock())->liveliness();
  ASSERT_EQ(liveliness.size(), 1u);
  EXPECT_EQ(liveliness.begin()->first, testing::remote_prefix);
  EXPECT_EQ(liveliness.begin()->second.last_pulse, Elapsed::from_secs(3));
}

}  // namespace
}  // namespace nimbrel::dcps
