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
    const auto datagrams = (*state_->sedp.lock())->tick(Elapsed::from_secs(1)).value();
    for (const auto& datagram : datagrams)
      if (std::ranges::count(*datagram.destinations, testing::remote_metatraffic) > 0) return true;
    return false;
  }
};

TEST_F(MetatrafficTest, NewParticipantIsRecordedOnceAndGetsSedpProxies) {
  handle_spdp_datagram(*state_, testing::spdp_announcement(state_->local_participant));
  EXPECT_EQ(participants(), 0u);  // its own announcement looped back changes nothing
  EXPECT_FALSE(sedp_reaches_remote());
  handle_spdp_datagram(*state_, testing::remote_announcement());
  EXPECT_EQ(participants(), 1u);
  EXPECT_TRUE(sedp_reaches_remote());
  handle_spdp_datagram(*state_, testing::remote_announcement());
  EXPECT_EQ(participants(), 1u);
}

TEST_F(MetatrafficTest, PoisonedParticipantsCacheSkipsTheAnnouncement) {
  state_->participants.poison();
  handle_spdp_datagram(*state_, testing::remote_announcement());
  EXPECT_FALSE(sedp_reaches_remote());
}

// One datagram reaches every handler: the SPDP data and the liveliness pulse packed together are
// both taken.
TEST_F(MetatrafficTest, EveryHandlerSeesTheDatagram) {
  WlpEndpoint remote_wlp(testing::remote_prefix, 1s);
  auto pulse = remote_wlp.tick(Elapsed{}).value().value();
  auto spdp = testing::remote_announcement();
  // The pulse's submessages appended after the announcement, under the announcement's header.
  std::vector<std::byte> both(spdp.span().begin(), spdp.span().end());
  both.insert(both.end(), pulse.begin() + rtps::rtps_header_size, pulse.end());

  handle_metatraffic_datagram(*state_, SharedBytes::adopt(std::move(both)), Elapsed::from_secs(3));
  EXPECT_EQ(participants(), 1u);
  EXPECT_EQ((*state_->wlp.lock())->liveliness(),
            (std::map<rtps::GuidPrefix, LivelinessEntry>{
                {testing::remote_prefix, {Elapsed::from_secs(3), 0}}}));
}

}  // namespace
}  // namespace nimbrel::dcps
