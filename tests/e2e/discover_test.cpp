// The real nimbrel-discover next to Cyclone DDS `ddsperf pub` and `ddsperf sub` and a keyed Fast
// DDS publisher: its JSON lists every participant with its vendor, and each topic with its type,
// its writers and readers, their QoS and keyedness.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "e2e/peer_process.hpp"
#include "e2e/spdp_watch.hpp"

namespace nimbrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto generous = 60s;

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// The object of topic `name` in the listing, up to the next topic.
std::string topic_of(const std::string& json, const std::string& name) {
  const auto start = json.find("{\"name\":\"" + name + "\"");
  if (start == std::string::npos) return {};
  const auto end = json.find("{\"name\":", start + 1);
  return json.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The writers (up to the readers) or the readers (to the end) of a topic object.
std::string writers_of(const std::string& topic) {
  const auto start = topic.find("\"writers\":[");
  return topic.substr(start, topic.find("\"readers\":[") - start);
}
std::string readers_of(const std::string& topic) {
  return topic.substr(topic.find("\"readers\":["));
}

TEST(Discover, ListsCycloneAndFastDdsPeersWithTheirTopics) {
  SpdpWatch watch;
  std::vector<std::unique_ptr<PeerProcess>> peers;
  // The peers' own limits only end what a crashed test left behind.
  peers.push_back(PeerProcess::spawn({"ddsperf", "-D", "120", "pub", "10Hz"}));
  peers.push_back(PeerProcess::spawn({"ddsperf", "-D", "120", "sub"}));
  peers.push_back(PeerProcess::spawn({NIMBREL_FASTDDS_PUBLISHER, "1", "120"}));
  for (const auto& peer : peers)
    ASSERT_TRUE(peer) << "cannot start a peer (cyclonedds-tools, fastdds_keyed_publisher)";
  ASSERT_TRUE(watch.wait_for(3, generous));

  auto discover =
      PeerProcess::spawn({NIMBREL_DISCOVER_BINARY, "--json", "--types", "--duration", "8s"});
  ASSERT_TRUE(discover);
  ASSERT_EQ(discover->wait_exit(generous), std::optional<int>(0)) << discover->output();
  const std::string json = discover->output();
  SCOPED_TRACE(json);

  EXPECT_EQ(json.rfind("{\"domain\":0,\"participants\":[", 0), 0u);
  EXPECT_EQ(count_of(json, "\"vendor_name\":\"Eclipse Cyclone DDS\""), 2u);
  EXPECT_EQ(count_of(json, "\"vendor_name\":\"eProsima Fast DDS\""), 1u);
  // Fast DDS names its participant; Cyclone DDS says who it is in its user data.
  EXPECT_EQ(count_of(json, "\"name\":\"\",\"user_data\":\"DDSPerf:"), 2u);
  EXPECT_EQ(count_of(json, "\"vendor_name\":\"eProsima Fast DDS\",\"name\":\"\""), 0u);
  EXPECT_EQ(count_of(json, "\"locators\":[]"), 0u);

  // ddsperf pub writes DDSPerfRDataKS; ddsperf sub reads it and announces an idle writer beside.
  const std::string keyed_seq = topic_of(json, "DDSPerfRDataKS");
  ASSERT_FALSE(keyed_seq.empty());
  EXPECT_NE(keyed_seq.find("\"type_names\":[\"KeyedSeq\"]"), std::string::npos);
  const std::string ks_writers = writers_of(keyed_seq);
  const std::string ks_readers = readers_of(keyed_seq);
  EXPECT_EQ(count_of(ks_writers, "\"guid\""), 2u);
  EXPECT_EQ(count_of(ks_writers,
                     "\"reliability\":\"reliable\",\"durability\":\"volatile\","
                     "\"keyed\":true"),
            2u);
  EXPECT_GE(count_of(ks_readers, "\"guid\""), 1u);
  EXPECT_EQ(count_of(ks_readers, "\"keyed\":true"), count_of(ks_readers, "\"guid\""));
  // Both writers' type, fetched from ddsperf by type lookup, once.
  EXPECT_EQ(count_of(keyed_seq, "\"identifier\":\"f2"), 1u);
  EXPECT_NE(
      keyed_seq.find(R"(struct KeyedSeq {\n  unsigned long seq;\n  @key unsigned long keyval;)"),
      std::string::npos);

  const std::string counter = topic_of(json, "KeyedCounter");
  ASSERT_FALSE(counter.empty());
  EXPECT_NE(counter.find("\"type_names\":[\"KeyedCounter\"]"), std::string::npos);
  const std::string counter_writers = writers_of(counter);
  EXPECT_EQ(count_of(counter_writers, "\"guid\""), 1u);
  EXPECT_EQ(count_of(counter_writers, "\"reliability\":\"reliable\""), 1u);
  EXPECT_EQ(count_of(counter_writers, "\"keyed\":true"), 1u);
  EXPECT_EQ(count_of(counter, "\"readers\":[]"), 1u);
  EXPECT_EQ(count_of(counter, "\"types\":[]"), 1u);  // it announces no type
}

TEST(Discover, TextListingOfAnEmptyDomain) {
  auto discover =
      PeerProcess::spawn({NIMBREL_DISCOVER_BINARY, "--domain", "3", "--duration", "500ms"});
  ASSERT_TRUE(discover);
  ASSERT_EQ(discover->wait_exit(generous), std::optional<int>(0)) << discover->output();
  EXPECT_EQ(discover->output(), "domain 3: 0 participants, 0 topics\n");
}

}  // namespace
}  // namespace nimbrel::testing
