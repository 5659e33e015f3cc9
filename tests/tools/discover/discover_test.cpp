// nimbrel-discover's pieces: its command line, the view joined from builtin samples and the
// participants cache, and the JSON a script reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/discover/args.hpp"
#include "tools/discover/domain_view.hpp"
#include "tools/discover/report.hpp"

namespace nimbrel::discover {
namespace {

std::expected<Args, ParseStop> parse(std::vector<std::string> args) {
  args.insert(args.begin(), "nimbrel-discover");
  return parse_args(args);
}

TEST(DiscoverArgs, ParsesEveryFlagAndRefusesTheRest) {
  EXPECT_EQ(parse({}), (Args{}));
  EXPECT_EQ(parse({"--domain", "7", "--duration", "2s", "--json", "--types"}),
            (Args{.domain = 7, .duration_ms = 2000, .json = true, .types = true}));
  EXPECT_EQ(parse({"--duration", "2"})->duration_ms, 2000u);  // seconds, as cut and replay read it
  EXPECT_EQ(parse({"--duration", "1.5s"})->duration_ms, 1500u);
  EXPECT_EQ(parse({"--duration", "250ms"})->duration_ms, 250u);
  EXPECT_EQ(parse({"--duration", "86400s"})->duration_ms, 86'400'000u);  // the cap
  EXPECT_EQ(parse({"--duration", "86401s"}).error().message, "duration: not a duration: 86401s");
  EXPECT_EQ(parse({"--domain", "x"}).error().message, "domain: not a number: x");
  EXPECT_EQ(parse({"--domain"}).error().message, "--domain needs a value");
  EXPECT_EQ(parse({"--topics"}).error().message, "unknown argument: --topics");
  EXPECT_EQ(parse({"--exclude"}).error().message, "--exclude needs a value");
  EXPECT_EQ(parse({"--topic", "rt/*", "--exclude", "*/events", "--topic", "Sq"}),
            (Args{.topics = {.all = false, .includes = {"rt/*", "Sq"}, .excludes = {"*/events"}}}));
  EXPECT_EQ(parse({"--exclude", "DDSPerf*"}),  // still every other topic
            (Args{.topics = {.all = true, .includes = {}, .excludes = {"DDSPerf*"}}}));
  EXPECT_EQ(parse({"-h"}).error().kind, ParseStop::Kind::Help);
}

constexpr rtps::GuidPrefix peer{0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA};

template <typename Record>
std::vector<std::byte> sample(const Record& record) {
  auto out = rtps::encode_bytes(record, /*little_endian=*/true);
  EXPECT_TRUE(out);
  return out.value_or(std::vector<std::byte>{});
}

dcps::PublicationBuiltinTopicData writer(std::uint8_t key, rtps::EntityKind kind) {
  dcps::PublicationBuiltinTopicData out;
  out.key = {peer, rtps::make_entity_id(0, 0, key, kind)};
  out.participant_key = {peer, rtps::entity_ids::participant};
  out.topic_name = "Square";
  out.type_name = "Shape";
  out.reliability = rtps::ReliabilityKind::Reliable;
  out.partitions = {"p"};
  return out;
}

TEST(DomainView, JoinsSamplesWithTheCacheAndRendersJson) {
  const rtps::Guid participant{peer, rtps::entity_ids::participant};
  auto first = writer(1, rtps::EntityKind::UserWriterWithKey);
  auto changed = first;
  changed.durability = rtps::DurabilityKind::TransientLocal;
  dcps::SubscriptionBuiltinTopicData reader;
  static_cast<dcps::EndpointSampleFields&>(reader) = writer(2, rtps::EntityKind::UserReaderNoKey);
  reader.partitions = {};
  reader.reliability = rtps::ReliabilityKind::BestEffort;
  const TakenSamples samples{
      .participants = {sample(dcps::ParticipantBuiltinTopicData{
          .key = participant, .user_data = {std::byte{'p'}, std::byte{'1'}}})},
      .publications = {sample(first), sample(changed), {std::byte{1}}},
      .subscriptions = {sample(reader)},
  };
  discovery::DiscoveredParticipant known;
  known.data.participant_guid = participant;
  known.data.vendor_id = {0x01, 0x10};
  known.data.entity_name = "n";
  known.data.metatraffic_unicast_locator = rtps::Locator::udp_v4({127, 0, 0, 1}, 7410);
  known.data.default_unicast_locator = known.data.metatraffic_unicast_locator;  // listed once

  const auto view = build_domain_view(samples, {known}, Args{}.topics);
  EXPECT_EQ(view.undecodable_samples, 1u);
  const std::string guid = "0a0a0a0a0a0a0a0a0a0a0a0a:";
  EXPECT_EQ(
      render_json(view, 3),
      "{\"domain\":3,\"participants\":[{\"guid\":\"" + guid +
          "000001c1\",\"vendor\":\"01.10\",\"vendor_name\":\"Eclipse Cyclone DDS\",\"name\":\"n\","
          "\"user_data\":\"p1\",\"locators\":[\"udpv4:127.0.0.1:7410\"]}],"
          "\"topics\":[{\"name\":\"Square\",\"type_names\":[\"Shape\"],"
          "\"writers\":[{\"guid\":\"" +
          guid + "00000102\",\"participant\":\"" + guid +
          "000001c1\",\"type_name\":\"Shape\",\"reliability\":\"reliable\","
          "\"durability\":\"transient-local\",\"keyed\":true,\"partitions\":[\"p\"]}],"
          "\"readers\":[{\"guid\":\"" +
          guid + "00000204\",\"participant\":\"" + guid +
          "000001c1\",\"type_name\":\"Shape\",\"reliability\":\"best-effort\","
          "\"durability\":\"volatile\",\"keyed\":false,\"partitions\":[]}]}]}\n");
  EXPECT_NE(render_text(view, 3).find("writer " + guid +
                                      "00000102  reliable, transient-local, "
                                      "keyed, partitions \"p\"\n"),
            std::string::npos);
  const auto filtered = build_domain_view(samples, {known}, parse({"--exclude", "Sq*"})->topics);
  EXPECT_TRUE(filtered.topics.empty());  // its writer and its reader alike
  EXPECT_EQ(filtered.participants.size(), 1u);
}

TEST(DomainView, UserDataThatIsNoTextShowsAsHex) {
  EXPECT_EQ(user_data_text({std::byte{'o'}, std::byte{'k'}}), "ok");
  EXPECT_EQ(user_data_text({std::byte{0x00}, std::byte{0xFF}}), "00ff");
  EXPECT_EQ(user_data_text({std::byte{0xC3}}), "c3");  // a cut UTF-8 sequence
}

}  // namespace
}  // namespace nimbrel::discover
