// Checks the datagrams this system sends against an independent decoder: Wireshark's RTPS
// dissector. The datagrams come from the real encoders, are framed into a pcap file and read back
// with `tshark -T pdml`; every submessage must decode to the field values put in, with no
// malformed packet and no expert info of warning severity or above.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "rtps/datagram.hpp"
#include "rtps/message_builder.hpp"
#include "rtps/participant_data.hpp"
#include "rtps/participant_message_data.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/tshark_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using testing::find_tshark;
using testing::Ipv4;
using testing::Node;
using testing::parse_pdml;
using testing::PcapWriter;

// ---------------------------------------------------------------------------------------------
// The datagrams

constexpr GuidPrefix own_prefix{0x4E, 0x42, 0x52, 0x4C, 0x11, 0x22,
                                0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
constexpr GuidPrefix remote_prefix{0x01, 0x10, 0xCA, 0xFE, 0x00, 0x00,
                                   0x00, 0x01, 0x00, 0x00, 0x00, 0x02};
constexpr const char* own_prefix_hex = "4e42524c1122334455667788";
constexpr const char* remote_prefix_hex = "0110cafe0000000100000002";

constexpr Ipv4 loopback{127, 0, 0, 1};
constexpr Ipv4 spdp_group{239, 255, 0, 1};
constexpr std::uint16_t multicast_send_port = 40002;
constexpr std::uint16_t spdp_port = 7400;
constexpr std::uint16_t remote_meta_port = 7410;

constexpr EntityId user_reader = make_entity_id(0, 0, 1, EntityKind::UserReaderWithKey);
constexpr EntityId remote_user_writer = make_entity_id(0, 0, 0x0B, EntityKind::UserWriterWithKey);

constexpr std::uint16_t fragment_size = 1344;
constexpr std::uint32_t fragmented_sample_size = 1345;  // leaves a 1-byte last fragment

std::vector<std::byte> spdp_announcement() {
  ParticipantBuiltinTopicData participant;
  participant.participant_guid = {own_prefix, entity_ids::participant};
  participant.protocol_version = protocol_version_2_5;
  participant.vendor_id = nimbrel_vendor_id;
  participant.domain_id = 0;
  participant.default_unicast_locator = Locator::udp_v4({127, 0, 0, 1}, 40001);
  participant.metatraffic_unicast_locator = Locator::udp_v4({127, 0, 0, 1}, 40000);
  participant.metatraffic_multicast_locator = Locator::udp_v4({239, 255, 0, 1}, spdp_port);
  participant.builtin_endpoint_set = 0x00003C3F;
  participant.lease_duration = {100, 0};

  DataSubmessage data;
  data.reader_id = entity_ids::spdp_reader;
  data.writer_id = entity_ids::spdp_writer;
  data.writer_sn = 1;
  data.serialized_payload = SharedBytes::adopt(participant.to_pl_cdr_le());
  auto datagram = encode_data_datagram(own_prefix, protocol_version_2_5, nimbrel_vendor_id,
                                       std::span(&data, 1));
  EXPECT_TRUE(datagram.has_value());
  return datagram.value_or(std::vector<std::byte>{});
}

// Appends each body to one builder, as a reliable writer's repair tick does.
std::vector<std::byte> build_one(
    std::initializer_list<std::pair<std::uint8_t, EncodedBody>> parts) {
  MessageBuilder builder(own_prefix, nimbrel_vendor_id, nullptr, /*mtu=*/1472);
  std::vector<OutboundDatagram> closed;
  for (const auto& [id, body] : parts)
    EXPECT_TRUE(builder.append(id, body.flags, body.bytes, closed).has_value());
  EXPECT_TRUE(closed.empty());
  auto last = builder.finish();
  EXPECT_TRUE(last.has_value());
  return last ? last->bytes : std::vector<std::byte>{};
}

// Subscription DATA, then a GAP and a HEARTBEAT.
std::vector<std::byte> sedp_subscription_repair() {
  SubscriptionBuiltinTopicData subscription;
  subscription.participant_guid = {own_prefix, entity_ids::participant};
  subscription.endpoint_guid = {own_prefix, user_reader};
  subscription.topic_name = "DDSPerfRDataKS";
  subscription.type_name = "KeyedSeq";
  subscription.reliability.kind = ReliabilityKind::Reliable;
  subscription.data_representation = {0, 2};
  auto payload = subscription.to_pl_cdr_le();
  EXPECT_TRUE(payload.has_value());

  DataSubmessage data;
  data.reader_id = entity_ids::sedp_subscriptions_reader;
  data.writer_id = entity_ids::sedp_subscriptions_writer;
  data.writer_sn = 1;
  data.serialized_payload = SharedBytes::adopt(payload.value_or(std::vector<std::byte>{}));
  auto data_body = data.write_body(/*little_endian=*/true);
  EXPECT_TRUE(data_body.has_value());

  GapSubmessage gap;
  gap.reader_id = entity_ids::sedp_subscriptions_reader;
  gap.writer_id = entity_ids::sedp_subscriptions_writer;
  gap.gap_start = 2;
  gap.gap_list = SequenceNumberSet::empty_range(3, 0);

  HeartbeatSubmessage heartbeat;
  heartbeat.reader_id = entity_ids::sedp_subscriptions_reader;
  heartbeat.writer_id = entity_ids::sedp_subscriptions_writer;
  heartbeat.first_sn = 1;
  heartbeat.last_sn = 3;
  heartbeat.count = 7;

  return build_one({{submessage_id::data, data_body.value_or(EncodedBody{})},
                    {submessage_id::gap, gap.write_body(/*little_endian=*/true)},
                    {submessage_id::heartbeat, heartbeat.write_body(/*little_endian=*/true)}});
}

std::vector<std::byte> reply(std::uint8_t id, const EncodedBody& body) {
  auto datagram = encode_reply_datagram(own_prefix, nimbrel_vendor_id, remote_prefix, id,
                                        body.flags, body.bytes);
  EXPECT_TRUE(datagram.has_value());
  return datagram.value_or(std::vector<std::byte>{});
}

std::vector<std::byte> acknack_reply(SequenceNumber base, std::vector<SequenceNumber> missing,
                                     std::uint32_t count, bool final_flag) {
  AckNackSubmessage acknack;
  acknack.reader_id = entity_ids::sedp_subscriptions_reader;
  acknack.writer_id = entity_ids::sedp_subscriptions_writer;
  acknack.reader_sn_state = SequenceNumberSet::from_members(base, missing);
  acknack.count = count;
  acknack.final_flag = final_flag;
  return reply(submessage_id::acknack, acknack.write_body(/*little_endian=*/true));
}

std::vector<std::byte> nackfrag_reply() {
  NackFragSubmessage nackfrag;
  nackfrag.reader_id = user_reader;
  nackfrag.writer_id = remote_user_writer;
  nackfrag.writer_sn = 42;
  const FragmentNumber missing[] = {2, 3, 7};
  nackfrag.fragment_number_state = FragmentNumberSet::from_members(2, missing);
  nackfrag.count = 1;
  return reply(submessage_id::nack_frag, nackfrag.write_body(/*little_endian=*/true));
}

// Fragment `number` of a CDR sample that does not divide into whole fragments.
std::vector<std::byte> data_frag(FragmentNumber number) {
  std::vector<std::byte> sample(fragmented_sample_size, std::byte{0xEE});
  sample[0] = std::byte{0x00};
  sample[1] = std::byte{0x01};
  sample[2] = std::byte{0x00};
  sample[3] = std::byte{0x00};
  const std::size_t start = std::size_t{fragment_size} * (number - 1);
  const std::size_t length = std::min<std::size_t>(fragment_size, sample.size() - start);

  DataFragSubmessage frag;
  frag.reader_id = entity_ids::type_lookup_reply_reader;
  frag.writer_id = entity_ids::type_lookup_reply_writer;
  frag.writer_sn = 2;
  frag.fragment_starting_num = number;
  frag.fragments_in_submessage = 1;
  frag.fragment_size = fragment_size;
  frag.sample_size = fragmented_sample_size;
  frag.fragments = SharedBytes::copy_of(std::span(sample).subspan(start, length));
  return build_one({{submessage_id::data_frag, frag.write_body(/*little_endian=*/true)}});
}

std::vector<std::byte> wlp_pulse() {
  ParticipantMessageData message;
  message.participant_guid = {own_prefix, entity_ids::participant};
  message.kind = 0;
  auto payload = message.to_cdr(/*little_endian=*/true);
  EXPECT_TRUE(payload.has_value());

  DataSubmessage data;
  data.reader_id = entity_ids::participant_message_reader;
  data.writer_id = entity_ids::participant_message_writer;
  data.writer_sn = 1;
  data.serialized_payload = SharedBytes::adopt(payload.value_or(std::vector<std::byte>{}));
  auto datagram = encode_data_datagram(own_prefix, protocol_version_2_5, nimbrel_vendor_id,
                                       std::span(&data, 1));
  EXPECT_TRUE(datagram.has_value());
  return datagram.value_or(std::vector<std::byte>{});
}

// Not sent by this system: a HEARTBEAT cut short, proving that the checks below do see a
// malformed packet when there is one.
std::vector<std::byte> truncated_control() {
  HeartbeatSubmessage heartbeat;
  heartbeat.reader_id = entity_ids::sedp_subscriptions_reader;
  heartbeat.writer_id = entity_ids::sedp_subscriptions_writer;
  heartbeat.first_sn = 1;
  heartbeat.last_sn = 1;
  auto datagram =
      build_one({{submessage_id::heartbeat, heartbeat.write_body(/*little_endian=*/true)}});
  datagram.resize(datagram.size() - 20);
  return datagram;
}

// ---------------------------------------------------------------------------------------------
// Running tshark once for the whole file

struct FrameNumbers {
  std::size_t spdp = 0;
  std::size_t sedp_repair = 0;
  std::size_t acknack_one_word = 0;
  std::size_t acknack_four_words = 0;
  std::size_t acknack_final = 0;
  std::size_t nackfrag = 0;
  std::size_t data_frag_first = 0;
  std::size_t data_frag_last = 0;
  std::size_t wlp = 0;
  std::size_t control = 0;
  std::size_t frames = 0;
};

struct Capture {
  FrameNumbers frames;  // 1-based, in file order
  std::vector<Node> packets;
  std::string failure;  // why tshark gave nothing usable
};

class TsharkAgreementTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    capture_ = std::make_unique<Capture>();
    tshark_ = find_tshark();
    if (!tshark_) return;

    PcapWriter pcap;
    FrameNumbers& f = capture_->frames;
    f.spdp =
        pcap.add_udp(loopback, multicast_send_port, spdp_group, spdp_port, spdp_announcement());
    f.sedp_repair =
        pcap.add_udp(loopback, 40000, loopback, remote_meta_port, sedp_subscription_repair());
    f.acknack_one_word = pcap.add_udp(loopback, 40000, loopback, remote_meta_port,
                                      acknack_reply(10, {10, 12, 40}, 3, false));
    f.acknack_four_words = pcap.add_udp(loopback, 40000, loopback, remote_meta_port,
                                        acknack_reply(1, {1, 40, 100}, 4, false));
    f.acknack_final = pcap.add_udp(loopback, 40000, loopback, remote_meta_port,
                                   acknack_reply(4, {}, 5, /*final_flag=*/true));
    f.nackfrag = pcap.add_udp(loopback, 40001, loopback, 7411, nackfrag_reply());
    f.data_frag_first = pcap.add_udp(loopback, 40001, loopback, 7411, data_frag(1));
    f.data_frag_last = pcap.add_udp(loopback, 40001, loopback, 7411, data_frag(2));
    f.wlp = pcap.add_udp(loopback, multicast_send_port, spdp_group, spdp_port, wlp_pulse());
    f.control = pcap.add_udp(loopback, 40000, loopback, remote_meta_port, truncated_control());
    f.frames = f.control;

    const auto dir = std::filesystem::path(::testing::TempDir()) /
                     ("nimbrel_tshark_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "profile");
    const auto pcap_path = dir / "sent.pcap";
    const auto stderr_path = dir / "tshark.stderr";
    if (!pcap.save(pcap_path.string())) {
      capture_->failure = "cannot write " + pcap_path.string();
      return;
    }
    // An empty personal profile, so local preferences cannot disable the dissector; -n keeps
    // tshark from resolving any address.
    const std::string command = "WIRESHARK_CONFIG_DIR='" + (dir / "profile").string() + "' '" +
                                *tshark_ + "' -n --enable-heuristic rtps_udp -r '" +
                                pcap_path.string() + "' -T pdml 2>'" + stderr_path.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
      capture_->failure = "cannot start tshark";
      return;
    }
    std::string pdml;
    std::array<char, 65536> chunk{};
    while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe))
      pdml.append(chunk.data(), n);
    const int status = ::pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::ifstream err(stderr_path);
      capture_->failure = "tshark failed (status " + std::to_string(status) +
                          "): " + std::string(std::istreambuf_iterator<char>(err), {});
      return;
    }
    capture_->packets = parse_pdml(pdml);
    std::filesystem::remove_all(dir);
  }

  static void TearDownTestSuite() { capture_.reset(); }

  void SetUp() override {
    if (!tshark_) {
      if (std::getenv("NIMBREL_ALLOW_MISSING_TSHARK") != nullptr)
        GTEST_SKIP() << "tshark not installed";
      FAIL() << "tshark not found on PATH (install the Debian package tshark)";
    }
    ASSERT_TRUE(capture_->failure.empty()) << capture_->failure;
    ASSERT_EQ(capture_->packets.size(), capture_->frames.frames);
  }

  static const FrameNumbers& frames() { return capture_->frames; }

  // The RTPS tree of a frame (1-based), or a failure if tshark did not dissect it as RTPS.
  static const Node& rtps(std::size_t frame) {
    static const Node none;
    const Node* hit = capture_->packets.at(frame - 1).find("rtps");
    EXPECT_NE(hit, nullptr) << "frame " << frame << " not dissected as RTPS";
    return hit ? *hit : none;
  }
  static std::vector<const Node*> submessages(std::size_t frame) {
    return rtps(frame).find_all("rtps.sm.id");
  }

  // Expert infos of warning severity or above, and malformed markers, as readable lines.
  static std::vector<std::string> complaints(std::size_t frame) {
    const Node& packet = capture_->packets.at(frame - 1);
    std::vector<std::string> out;
    for (const Node* expert : packet.find_all("_ws.expert")) {
      const Node* severity_node = expert->find("_ws.expert.severity");
      const long severity = severity_node ? std::stol(severity_node->show) : pi_warn;
      if (severity >= pi_warn) out.push_back(expert->show_of("_ws.expert.message"));
    }
    if (packet.find("_ws.malformed") != nullptr) out.emplace_back("malformed packet");
    return out;
  }

  static void expect_header(std::size_t frame) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    const Node& r = rtps(frame);
    EXPECT_EQ(r.show_of("rtps.magic"), "RTPS");
    EXPECT_EQ(r.show_of("rtps.version.major"), "2");
    EXPECT_EQ(r.show_of("rtps.version.minor"), "5");
    EXPECT_EQ(r.show_of("rtps.vendorId"), "0x01f0");
    EXPECT_EQ(r.value_of("rtps.guidPrefix.src"), own_prefix_hex);
  }

  static constexpr long pi_warn = 0x00600000;  // Wireshark's PI_WARN severity

  static inline std::unique_ptr<Capture> capture_;
  static inline std::optional<std::string> tshark_;
};

// A submessage as tshark shows it: id, flags, length, reader and writer entity ids.
void expect_submessage(const Node& sm, std::string_view id, std::string_view flags,
                       std::string_view octets_to_next, std::string_view reader,
                       std::string_view writer) {
  EXPECT_EQ(sm.show, id);
  EXPECT_EQ(sm.show_of("rtps.sm.flags"), flags);
  EXPECT_EQ(sm.show_of("rtps.sm.octetsToNextHeader"), octets_to_next);
  EXPECT_EQ(sm.show_of("rtps.sm.rdEntityId"), reader);
  EXPECT_EQ(sm.show_of("rtps.sm.wrEntityId"), writer);
}

// The parameters of a serialized parameter list, keyed by tshark's parameter id text.
std::vector<std::pair<std::string, const Node*>> parameters(const Node& sm) {
  std::vector<std::pair<std::string, const Node*>> out;
  const Node* data = sm.child_shown("serializedData");
  const Node* list = data ? data->child_shown("serializedData:") : nullptr;
  if (list == nullptr) return out;
  for (const auto& parameter : list->children)
    out.emplace_back(parameter.show_of("rtps.param.id"), &parameter);
  return out;
}

const Node& parameter(const std::vector<std::pair<std::string, const Node*>>& list,
                      std::string_view id) {
  static const Node none;
  for (const auto& [pid, node] : list)
    if (pid == id) return *node;
  ADD_FAILURE() << "parameter " << id << " not decoded";
  return none;
}

// ---------------------------------------------------------------------------------------------

TEST_F(TsharkAgreementTest, EveryDatagramDecodesWithoutComplaint) {
  for (std::size_t frame = 1; frame <= frames().frames; ++frame) {
    if (frame == frames().control || frame == frames().data_frag_last) continue;
    SCOPED_TRACE("frame " + std::to_string(frame));
    EXPECT_EQ(complaints(frame), std::vector<std::string>{});
    expect_header(frame);
  }
}

TEST_F(TsharkAgreementTest, TruncatedControlIsReportedSoTheCheckIsNotVacuous) {
  EXPECT_FALSE(complaints(frames().control).empty());
}

TEST_F(TsharkAgreementTest, SpdpAnnouncement) {
  const auto sms = submessages(frames().spdp);
  ASSERT_EQ(sms.size(), 1u);
  const Node& data = *sms[0];
  expect_submessage(data, "0x15", "0x05", "176", "0x000100c7", "0x000100c2");
  EXPECT_EQ(data.show_of("rtps.extra_flags"), "0x0000");
  EXPECT_EQ(data.show_of("rtps.octets_to_inline_qos"), "16");
  EXPECT_EQ(data.show_of("rtps.sm.seqNumber"), "1");
  EXPECT_EQ(data.show_of("rtps.param.serialize.encap_kind"), "0x0003");  // PL_CDR_LE

  const auto list = parameters(data);
  std::vector<std::string> ids;
  for (const auto& [id, node] : list)
    ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<std::string>{"0x0015", "0x0016", "0x0050", "0x0031", "0x0032",
                                           "0x0033", "0x000f", "0x0058", "0x0002", "0x0001"}));

  EXPECT_EQ(parameter(list, "0x0015").show_of("rtps.version.major"), "2");
  EXPECT_EQ(parameter(list, "0x0015").show_of("rtps.version.minor"), "5");
  EXPECT_EQ(parameter(list, "0x0016").show_of("rtps.vendorId"), "0x01f0");
  EXPECT_EQ(parameter(list, "0x0050").value_of("rtps.param.participant_guid"),
            std::string(own_prefix_hex) + "000001c1");
  const std::array<std::tuple<const char*, const char*, const char*>, 3> locators{{
      {"0x0031", "127.0.0.1", "40001"},
      {"0x0032", "127.0.0.1", "40000"},
      {"0x0033", "239.255.0.1", "7400"},
  }};
  for (const auto& [pid, address, port] : locators) {
    SCOPED_TRACE(pid);
    const Node& locator = parameter(list, pid);
    EXPECT_EQ(locator.show_of("rtps.param.length"), "24");
    EXPECT_EQ(locator.show_of("rtps.locator.kind"), "0x00000001");  // UDPv4
    EXPECT_EQ(locator.show_of("rtps.locator.ipv4"), address);
    EXPECT_EQ(locator.show_of("rtps.locator.port"), port);
  }
  // Wireshark 4.0 shows PID_DOMAIN_ID as raw bytes only.
  EXPECT_EQ(parameter(list, "0x000f").show_of("rtps.parameter_data"), "00:00:00:00");
  EXPECT_EQ(parameter(list, "0x0058").show_of("rtps.param.builtin_endpoint_set"), "0x00003c3f");
  EXPECT_EQ(parameter(list, "0x0002").show_of("rtps.param.ntpTime.sec"), "100");
  EXPECT_EQ(parameter(list, "0x0002").show_of("rtps.param.ntpTime.fraction"), "0");
}

TEST_F(TsharkAgreementTest, SedpSubscriptionGapAndHeartbeat) {
  const auto sms = submessages(frames().sedp_repair);
  ASSERT_EQ(sms.size(), 3u);

  const Node& data = *sms[0];
  expect_submessage(data, "0x15", "0x05", "184", "0x000004c7", "0x000004c2");
  EXPECT_EQ(data.show_of("rtps.sm.seqNumber"), "1");
  EXPECT_EQ(data.show_of("rtps.param.serialize.encap_kind"), "0x0003");
  const auto list = parameters(data);
  std::vector<std::string> ids;
  for (const auto& [id, node] : list)
    ids.push_back(id);
  EXPECT_EQ(ids,
            (std::vector<std::string>{"0x0050", "0x005a", "0x0005", "0x0007", "0x001d", "0x001a",
                                      "0x001f", "0x001b", "0x0023", "0x0073", "0x0001"}));
  EXPECT_EQ(parameter(list, "0x0050").value_of("rtps.param.participant_guid"),
            std::string(own_prefix_hex) + "000001c1");
  EXPECT_EQ(parameter(list, "0x005a").value_of("rtps.param.endpoint_guid"),
            std::string(own_prefix_hex) + "00000107");
  EXPECT_EQ(parameter(list, "0x0005").show_of("rtps.param.topicName"), "DDSPerfRDataKS");
  EXPECT_EQ(parameter(list, "0x0007").show_of("rtps.param.typeName"), "KeyedSeq");
  EXPECT_EQ(parameter(list, "0x001d").show_of("rtps.durability"), "0x00000000");  // volatile
  const Node& reliability = parameter(list, "0x001a");
  EXPECT_EQ(reliability.show_of("rtps.param.length"), "12");
  EXPECT_EQ(reliability.show_of("rtps.reliability_kind"), "0x00000002");  // reliable
  // Wireshark 4.0 decodes only the kind; the whole value carries the 100 ms max blocking time.
  EXPECT_EQ(reliability.value,
            "1a000c00"
            "02000000"
            "00000000"
            "99999919");
  EXPECT_EQ(parameter(list, "0x001f").show_of("rtps.ownership"), "0x00000000");  // shared
  EXPECT_EQ(parameter(list, "0x001b").show_of("rtps.liveliness.kind"), "0x00000000");
  EXPECT_EQ(parameter(list, "0x001b").show_of("rtps.param.ntpTime.sec"), "2147483647");
  EXPECT_EQ(parameter(list, "0x0023").show_of("rtps.param.ntpTime.fraction"), "4294967295");
  const auto representations = parameter(list, "0x0073").find_all("rtps.param.data_representation");
  ASSERT_EQ(representations.size(), 2u);
  EXPECT_EQ(representations[0]->show, "0");  // XCDR
  EXPECT_EQ(representations[1]->show, "2");  // XCDR2
  EXPECT_EQ(parameter(list, "0x0073").show_of("rtps.param.length"), "8");

  const Node& gap = *sms[1];
  expect_submessage(gap, "0x08", "0x01", "28", "0x000004c7", "0x000004c2");
  const auto gap_numbers = gap.find_all("rtps.sm.seqNumber");
  ASSERT_EQ(gap_numbers.size(), 2u);
  EXPECT_EQ(gap_numbers[0]->show, "2");  // gapStart
  EXPECT_EQ(gap_numbers[1]->show, "3");  // gapList base
  EXPECT_EQ(gap.show_of("rtps.bitmap.num_bits"), "0");

  const Node& heartbeat = *sms[2];
  expect_submessage(heartbeat, "0x07", "0x01", "28", "0x000004c7", "0x000004c2");
  const auto hb_numbers = heartbeat.find_all("rtps.sm.seqNumber");
  ASSERT_EQ(hb_numbers.size(), 2u);
  EXPECT_EQ(hb_numbers[0]->show, "1");  // firstSN
  EXPECT_EQ(hb_numbers[1]->show, "3");  // lastSN
  EXPECT_EQ(heartbeat.show_of("rtps.heartbeat_count"), "7");
}

// The bit string tshark prints for a set: one character per bit, base first.
std::string bit_string(std::uint32_t num_bits, std::initializer_list<std::uint32_t> offsets) {
  std::string bits(num_bits, '0');
  for (std::uint32_t k : offsets)
    bits[k] = '1';
  return bits;
}

std::string bitmap_shown(const Node& set) {
  const std::string shown = set.showname_of("rtps.bitmap");
  const std::string label = "bitmap: ";
  return shown.starts_with(label) ? shown.substr(label.size()) : shown;
}

struct AckNackCase {
  const char* label;
  std::size_t FrameNumbers::*frame;
  const char* flags;
  const char* octets_to_next;
  const char* base;
  std::uint32_t num_bits;
  std::initializer_list<std::uint32_t> offsets;
  const char* analysis;
  const char* count;
};

TEST_F(TsharkAgreementTest, AckNackRepliesCarryInfoDstAndTheirBitmaps) {
  const AckNackCase cases[] = {
      {"one word",
       &FrameNumbers::acknack_one_word,
       "0x01",
       "28",
       "10",
       31,
       {0, 2, 30},
       "Acknack Analysis: Lost samples 10, 12, 40 in range [10,40]",
       "3"},
      {"four words",
       &FrameNumbers::acknack_four_words,
       "0x01",
       "40",
       "1",
       100,
       {0, 39, 99},
       "Acknack Analysis: Lost samples 1, 40, 100 in range [1,100]",
       "4"},
      {"final, empty",
       &FrameNumbers::acknack_final,
       "0x03",
       "24",
       "4",
       0,
       {},
       "Acknack Analysis: Expecting sample 4",
       "5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto sms = submessages(frames().*c.frame);
    ASSERT_EQ(sms.size(), 2u);
    EXPECT_EQ(sms[0]->show, "0x0e");  // INFO_DST
    EXPECT_EQ(sms[0]->show_of("rtps.sm.flags"), "0x01");
    EXPECT_EQ(sms[0]->show_of("rtps.sm.octetsToNextHeader"), "12");
    EXPECT_EQ(sms[0]->value_of("rtps.guidPrefix.dst"), remote_prefix_hex);

    const Node& acknack = *sms[1];
    expect_submessage(acknack, "0x06", c.flags, c.octets_to_next, "0x000004c7", "0x000004c2");
    const Node* set = acknack.child_shown("readerSNState");
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->show_of("rtps.sm.seqNumber"), c.base);
    EXPECT_EQ(set->show_of("rtps.bitmap.num_bits"), std::to_string(c.num_bits));
    EXPECT_EQ(set->showname_of("rtps.sm.acknack_analysis"), c.analysis);
    if (c.num_bits > 0) {
      EXPECT_EQ(bitmap_shown(*set), bit_string(c.num_bits, c.offsets));
    }
    EXPECT_EQ(acknack.show_of("rtps.acknack.count"), c.count);
  }
}

TEST_F(TsharkAgreementTest, NackFragReplyCarriesInfoDstAndItsFragmentSet) {
  const auto sms = submessages(frames().nackfrag);
  ASSERT_EQ(sms.size(), 2u);
  EXPECT_EQ(sms[0]->show, "0x0e");
  EXPECT_EQ(sms[0]->value_of("rtps.guidPrefix.dst"), remote_prefix_hex);

  const Node& nackfrag = *sms[1];
  expect_submessage(nackfrag, "0x12", "0x01", "32", "0x00000107", "0x00000b02");
  EXPECT_EQ(nackfrag.show_of("rtps.sm.seqNumber"), "42");
  const Node* set = nackfrag.child_shown("fragmentNumberState");
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->show_of("rtps.fragment_number.base32"), "2");
  EXPECT_EQ(set->show_of("rtps.fragment_number.num_bits"), "6");
  // One little-endian word, bits 0, 1 and 5 (fragments 2, 3 and 7).
  EXPECT_EQ(set->value_of("rtps.bitmap"), "000000c4");
  // Wireshark 4.0 prints one bit fewer than numBits for fragment number sets (its ACKNACK
  // bitmaps are complete), so the printed string may lack the last bit.
  const std::string expected = bit_string(6, {0, 1, 5});
  const std::string shown = bitmap_shown(*set);
  EXPECT_TRUE(shown == expected || shown == expected.substr(0, expected.size() - 1)) << shown;
  EXPECT_EQ(nackfrag.show_of("rtps.nack_frag.count"), "1");
}

TEST_F(TsharkAgreementTest, DataFragFirstFragment) {
  const auto sms = submessages(frames().data_frag_first);
  ASSERT_EQ(sms.size(), 1u);
  const Node& frag = *sms[0];
  expect_submessage(frag, "0x16", "0x01", std::to_string(32 + fragment_size), "0x000301c4",
                    "0x000301c3");
  EXPECT_EQ(frag.show_of("rtps.octets_to_inline_qos"), "28");
  EXPECT_EQ(frag.show_of("rtps.sm.seqNumber"), "2");
  EXPECT_EQ(frag.show_of("rtps.data_frag.number"), "1");
  EXPECT_EQ(frag.show_of("rtps.data_frag.num_fragments"), "1");
  EXPECT_EQ(frag.show_of("rtps.data_frag.size"), std::to_string(fragment_size));
  EXPECT_EQ(frag.show_of("rtps.data_frag.sample_size"), std::to_string(fragmented_sample_size));
}

// DDSI-RTPS 2.5 section 9.4.5.4 lets the last fragment hold whatever remains of the sample, here
// one byte. Wireshark 4.0 wants at least 4 payload bytes in every DATA_FRAG, reports exactly
// this and stops decoding the submessage; everything up to its length is still checked.
TEST_F(TsharkAgreementTest, DataFragShortLastFragmentOnlyTripsTheDissectorsMinimumLength) {
  const std::size_t frame = frames().data_frag_last;
  EXPECT_EQ(complaints(frame), std::vector<std::string>{"(Error: should be >= 36)"});
  expect_header(frame);
  const auto sms = submessages(frame);
  ASSERT_EQ(sms.size(), 1u);
  EXPECT_EQ(sms[0]->show, "0x16");
  EXPECT_EQ(sms[0]->show_of("rtps.sm.flags"), "0x01");
  EXPECT_EQ(sms[0]->show_of("rtps.sm.octetsToNextHeader"), "33");
  // The bytes tshark framed as the submessage: header, fixed fields, then the one byte.
  EXPECT_EQ(sms[0]->value,
            "16012100"  // id, flags, octetsToNextHeader 33
            "0000"
            "1c00"  // extraFlags, octetsToInlineQos 28
            "000301c4"
            "000301c3"  // readerId, writerId
            "00000000"
            "02000000"  // writerSN 2
            "02000000"
            "0100"
            "4005"      // fragment 2, 1 in submessage, size 1344
            "41050000"  // sampleSize 1345
            "ee");
}

TEST_F(TsharkAgreementTest, WlpPulse) {
  const auto sms = submessages(frames().wlp);
  ASSERT_EQ(sms.size(), 1u);
  const Node& data = *sms[0];
  expect_submessage(data, "0x15", "0x05", "48", "0x000200c7", "0x000200c2");
  EXPECT_EQ(data.show_of("rtps.sm.seqNumber"), "1");
  const Node* message = data.child_shown("ParticipantMessageData");
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->show_of("rtps.param.serialize.encap_kind"), "0x0001");  // CDR_LE
  EXPECT_EQ(message->show_of("rtps.param.serialize.encap_len"), "0x0000");
  EXPECT_EQ(message->value_of("rtps.sm.guidPrefix"), own_prefix_hex);
  // DDSI-RTPS 2.5 section 9.6.2.1 has a 12-byte GUID prefix before the kind; this system writes
  // the whole 16-byte participant GUID, so Wireshark reads its entity id 00 00 01 C1 as the kind
  // and the real kind (0) as the data length. The bytes are as intended.
  EXPECT_EQ(message->value_of("rtps.encapsulation_kind"), "000001c1");
  EXPECT_EQ(message->show_of("rtps.sequence_size"), "0");
  EXPECT_EQ(message->value, std::string("00010000") + own_prefix_hex +
                                "000001c1"
                                "00000000"
                                "00000000");
}

}  // namespace
}  // namespace nimbrel::rtps
