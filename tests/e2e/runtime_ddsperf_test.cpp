// The runtime discovers Eclipse Cyclone DDS `ddsperf pub` processes: their participants through
// SPDP and their DDSPerfRDataKS publications, with QoS, through SEDP.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "dcps/runtime/runtime.hpp"
#include "discovery/spdp.hpp"
#include "e2e/peer_process.hpp"
#include "e2e/spdp_watch.hpp"

namespace nimbrel::dcps {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::PeerProcess;

constexpr rtps::GuidPrefix own_prefix{0x4e, 0x42, 0x52, 0x4c, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr auto generous = 20s;

// ddsperf's own time limit only ends a peer that a crashed test left behind.
std::unique_ptr<PeerProcess> start_publisher() {
  auto peer = PeerProcess::spawn({"ddsperf", "-D", "120", "pub", "100Hz"});
  if (!peer) ADD_FAILURE() << "cannot start ddsperf (Debian package cyclonedds-tools)";
  return peer;
}

bool is_ddsperf_publication(const rtps::PublicationBuiltinTopicData& publication) {
  return publication.topic_name == "DDSPerfRDataKS" && publication.type_name == "KeyedSeq";
}

// The prefixes of participants that are known and whose DDSPerfRDataKS publication is known.
std::set<rtps::GuidPrefix> publishing_participants(const DcpsRuntime& runtime) {
  std::set<rtps::GuidPrefix> known;
  for (const auto& participant : runtime.discovered_participants()) {
    known.insert(participant.data.participant_guid.prefix);
  }
  std::set<rtps::GuidPrefix> publishing;
  for (const auto& [guid, publication] : runtime.discovered_publications()) {
    if (is_ddsperf_publication(publication) && known.contains(guid.prefix)) {
      publishing.insert(guid.prefix);
    }
  }
  return publishing;
}

// Seconds until `count` publishing participants are known, or a negative value at the deadline.
double seconds_until_publishers(const DcpsRuntime& runtime, std::size_t count,
                                Clock::time_point since) {
  const auto deadline = since + generous;
  while (Clock::now() < deadline) {
    if (publishing_participants(runtime).size() >= count) {
      return std::chrono::duration<double>(Clock::now() - since).count();
    }
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

class RuntimeDdsperfTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!HasFailure()) return;
    for (const auto& peer : peers_) {
      if (peer) std::printf("ddsperf output:\n%s\n", peer->output().c_str());
    }
  }

  // Starts `count` publishers and returns once each has announced itself, so that the runtime
  // meets peers that are up, as a recorder joining a running system does.
  bool start_running_publishers(std::size_t count) {
    testing::SpdpWatch watch;
    for (std::size_t i = 0; i < count; ++i) {
      peers_.push_back(start_publisher());
      if (!peers_.back()) return false;
    }
    return watch.wait_for(count, generous);
  }

  std::shared_ptr<DcpsRuntime> start_runtime() {
    started_ = Clock::now();
    auto runtime = DcpsRuntime::start(0, own_prefix, RuntimeConfig{});
    if (!runtime) ADD_FAILURE() << to_string(runtime.error());
    return runtime ? *runtime : nullptr;
  }

  std::vector<std::unique_ptr<PeerProcess>> peers_;
  Clock::time_point started_;
};

TEST_F(RuntimeDdsperfTest, LearnsTheParticipantAndItsPublicationWithQos) {
  ASSERT_TRUE(start_running_publishers(1));
  const auto runtime = start_runtime();
  ASSERT_TRUE(runtime);

  const double took = seconds_until_publishers(*runtime, 1, started_);
  std::printf("ddsperf publication known %.3f s after the runtime started\n", took);
  ASSERT_GE(took, 0.0) << "publication not discovered within the deadline";
  EXPECT_LT(took, 10.0);

  const auto publications = runtime->discovered_publications();
  const auto found = std::find_if(publications.begin(), publications.end(), [](const auto& entry) {
    return is_ddsperf_publication(entry.second);
  });
  ASSERT_NE(found, publications.end());
  const auto& publication = found->second;
  EXPECT_EQ(publication.reliability.kind, rtps::ReliabilityKind::Reliable);
  EXPECT_EQ(publication.durability, rtps::DurabilityKind::Volatile);
  EXPECT_EQ(publication.data_representation, (std::vector<std::int16_t>{0, 2}));
  EXPECT_EQ(publication.participant_guid.prefix, found->first.prefix);
}

// Started together, the peer is not yet listening when the first announcement leaves, so it
// learns of the runtime from the next one, a period later.
TEST_F(RuntimeDdsperfTest, StartedTogetherTheNextAnnouncementCompletesDiscovery) {
  peers_.push_back(start_publisher());
  ASSERT_TRUE(peers_.back());
  const auto runtime = start_runtime();
  ASSERT_TRUE(runtime);
  const double took = seconds_until_publishers(*runtime, 1, started_);
  std::printf("started together: publication known %.3f s after the runtime started\n", took);
  ASSERT_GE(took, 0.0) << "publication not discovered within the deadline";
}

TEST_F(RuntimeDdsperfTest, LearnsTwoPublishersApart) {
  ASSERT_TRUE(start_running_publishers(2));
  const auto runtime = start_runtime();
  ASSERT_TRUE(runtime);

  const double took = seconds_until_publishers(*runtime, 2, started_);
  std::printf("both ddsperf publications known %.3f s after the runtime started\n", took);
  ASSERT_GE(took, 0.0) << "publications not discovered within the deadline";
  EXPECT_EQ(publishing_participants(*runtime).size(), 2u);
  EXPECT_EQ(runtime->discovered_participants().size(), 2u);
}

TEST_F(RuntimeDdsperfTest, ShutdownJoinsWithinAboutASecondWhilePeersTalk) {
  ASSERT_TRUE(start_running_publishers(1));
  const auto runtime = start_runtime();
  ASSERT_TRUE(runtime);
  ASSERT_GE(seconds_until_publishers(*runtime, 1, started_), 0.0);

  const auto stop = Clock::now();
  runtime->shutdown();
  const double took = std::chrono::duration<double>(Clock::now() - stop).count();
  std::printf("shutdown joined all four threads in %.3f s\n", took);
  EXPECT_LT(took, 5.0);
}

}  // namespace
}  // namespace nimbrel::dcps
