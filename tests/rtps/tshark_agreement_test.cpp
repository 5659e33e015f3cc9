// Checks the datagrams this system sends against an independent decoder: Wireshark's RTPS
// dissector. The datagrams come from the real encoders, are framed into a pcap file and read back
// with `tshark -T pdml`; every submessage must decode to the field values put in, with no
// malformed packet and no expert info of warning severity or above.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
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

using testing::Node;
using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// The datagrams

constexpr GuidPrefix own_prefix{0x4E, 0x42, 0x52, 0x4C, 0x11, 0x22,
                                0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
constexpr GuidPrefix remote_prefix{0x01, 0x10, 0xCA, 0xFE, 0x00, 0x00,
                                   0x00, 0x01, 0x00, 0x00, 0x00, 0x02};
const std::string own_hex = "4e42524c1122334455667788";
const std::string remote_hex = "0110cafe0000000100000002";

constexpr EntityId sedp_reader = entity_ids::sedp_subscriptions_reader;
constexpr EntityId sedp_writer = entity_ids::sedp_subscriptions_writer;
constexpr EntityId user_reader = make_entity_id(0, 0, 1, EntityKind::UserReaderWithKey);
constexpr EntityId remote_user_writer = make_entity_id(0, 0, 0x0B, EntityKind::UserWriterWithKey);

constexpr std::uint16_t fragment_size = 1344;
constexpr std::uint32_t fragmented_sample_size = 1345;  // leaves a 1-byte last fragment

// A DATA numbered 1 alone in a datagram, as SPDP and WLP send it.
std::vector<std::byte> data_datagram(EntityId reader, EntityId writer,
                                     std::vector<std::byte> payload) {
  const DataSubmessage data{.reader_id = reader,
                            .writer_id = writer,
                            .writer_sn = 1,
                            .serialized_payload = SharedBytes::adopt(std::move(payload))};
  return build_data_datagram(own_prefix, protocol_version_2_5, nimbrel_vendor_id,
                             std::span(&data, 1))
      .value();
}

// Appends each body to one builder, as a reliable writer's repair tick does.
std::vector<std::byte> build_one(
    std::initializer_list<std::pair<std::uint8_t, EncodedBody>> parts) {
  MessageBuilder builder(own_prefix, nimbrel_vendor_id, nullptr, /*mtu=*/1472);
  std::vector<OutboundDatagram> closed;
  for (const auto& [id, body] : parts)
    EXPECT_TRUE(builder.append(id, body.flags, body.bytes, closed).has_value());
  EXPECT_TRUE(closed.empty());
  return builder.finish().value().bytes;
}

std::vector<std::byte> spdp_announcement() {
  ParticipantBuiltinTopicData participant;
  participant.participant_guid = {own_prefix, entity_ids::participant};
  participant.vendor_id = nimbrel_vendor_id;
  participant.domain_id = 0;
  participant.default_unicast_locator = Locator::udp_v4({127, 0, 0, 1}, 40001);
  participant.metatraffic_unicast_locator = Locator::udp_v4({127, 0, 0, 1}, 40000);
  participant.metatraffic_multicast_locator = Locator::udp_v4({239, 255, 0, 1}, 7400);
  participant.builtin_endpoint_set = 0x00003C3F;
  participant.lease_duration = {100, 0};
  return data_datagram(entity_ids::spdp_reader, entity_ids::spdp_writer,
                       encode_bytes(participant, true));
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
  const DataSubmessage data{
      .reader_id = sedp_reader,
      .writer_id = sedp_writer,
      .writer_sn = 1,
      .serialized_payload = SharedBytes::adopt(encode_bytes(subscription, true).value())};
  const GapSubmessage gap{.reader_id = sedp_reader,
                          .writer_id = sedp_writer,
                          .gap_start = 2,
                          .gap_list = SequenceNumberSet::empty_range(3, 0)};
  const HeartbeatSubmessage heartbeat{
      .reader_id = sedp_reader, .writer_id = sedp_writer, .first_sn = 1, .last_sn = 3, .count = 7};
  return build_one({{submessage_id::data, encode_body(data, /*little_endian=*/true).value()},
                    {submessage_id::gap, encode_body(gap, /*little_endian=*/true)},
                    {submessage_id::heartbeat, encode_body(heartbeat, /*little_endian=*/true)}});
}

std::vector<std::byte> reply(std::uint8_t id, const EncodedBody& body) {
  return build_reply_datagram(own_prefix, nimbrel_vendor_id, remote_prefix, id, body.flags,
                              body.bytes)
      .value();
}

std::vector<std::byte> acknack_reply(SequenceNumber base, std::vector<SequenceNumber> missing,
                                     std::uint32_t count, bool final_flag) {
  const AckNackSubmessage acknack{.reader_id = sedp_reader,
                                  .writer_id = sedp_writer,
                                  .reader_sn_state = SequenceNumberSet::from_members(base, missing),
                                  .count = count,
                                  .final_flag = final_flag};
  return reply(submessage_id::acknack, encode_body(acknack, /*little_endian=*/true));
}

std::vector<std::byte> nackfrag_reply() {
  const FragmentNumber missing[] = {2, 3, 7};
  const NackFragSubmessage nackfrag{
      .reader_id = user_reader,
      .writer_id = remote_user_writer,
      .writer_sn = 42,
      .fragment_number_state = FragmentNumberSet::from_members(2, missing),
      .count = 1};
  return reply(submessage_id::nack_frag, encode_body(nackfrag, /*little_endian=*/true));
}

// Fragment `number` of a CDR_LE sample that does not divide into whole fragments.
std::vector<std::byte> data_frag(FragmentNumber number) {
  std::vector<std::byte> sample(fragmented_sample_size, std::byte{0xEE});
  std::fill_n(sample.begin(), 4, std::byte{0});
  sample[1] = std::byte{0x01};
  const std::size_t start = std::size_t{fragment_size} * (number - 1);
  const std::size_t length = std::min<std::size_t>(fragment_size, sample.size() - start);
  const DataFragSubmessage frag{
      .reader_id = entity_ids::type_lookup_reply_reader,
      .writer_id = entity_ids::type_lookup_reply_writer,
      .writer_sn = 2,
      .fragment_starting_num = number,
      .fragments_in_submessage = 1,
      .fragment_size = fragment_size,
      .sample_size = fragmented_sample_size,
      .fragments = SharedBytes::copy_of(std::span(sample).subspan(start, length))};
  return build_one({{submessage_id::data_frag, encode_body(frag, /*little_endian=*/true)}});
}

std::vector<std::byte> wlp_pulse() {
  const ParticipantMessageData message{{own_prefix, entity_ids::participant}, 0, {}};
  return data_datagram(entity_ids::participant_message_reader,
                       entity_ids::participant_message_writer,
                       encode_bytes(message, /*little_endian=*/true).value());
}

// Not sent by this system: a HEARTBEAT cut short, proving that the checks below do see a
// malformed packet when there is one.
std::vector<std::byte> truncated_control() {
  const HeartbeatSubmessage heartbeat{
      .reader_id = sedp_reader, .writer_id = sedp_writer, .first_sn = 1, .last_sn = 1};
  auto datagram =
      build_one({{submessage_id::heartbeat, encode_body(heartbeat, /*little_endian=*/true)}});
  datagram.resize(datagram.size() - 20);
  return datagram;
}

// The frames of the capture in file order, numbered from 1 as tshark numbers them.
// clang-format off
enum Frame : std::size_t { spdp = 1, sedp_repair, acknack_one_word, acknack_four_words,
                           acknack_final, nackfrag, data_frag_first, data_frag_last, wlp, control };
// clang-format on

// ---------------------------------------------------------------------------------------------
// Running tshark once for the whole file

// A field to check: the attribute of the first node of that name, or of the node itself when the
// name is empty.
struct Field {
  std::string name;
  std::string expected;
  std::string Node::*attribute = &Node::show;
};

void expect_fields(const Node& node, const std::vector<Field>& fields) {
  for (const auto& f : fields) {
    EXPECT_EQ(f.name.empty() ? node.*f.attribute : node.attribute_of(f.name, f.attribute),
              f.expected)
        << f.name;
  }
}

class TsharkAgreementTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    has_tshark_ = std::system("command -v tshark >/dev/null 2>&1") == 0;
    if (!has_tshark_) return;
    constexpr testing::Ipv4 loopback{127, 0, 0, 1};
    constexpr testing::Ipv4 spdp_group{239, 255, 0, 1};
    testing::PcapWriter pcap;
    const auto to_group = [&](const auto& b) {
      pcap.add_udp(loopback, 40002, spdp_group, 7400, b);
    };
    const auto to_meta = [&](const auto& b) { pcap.add_udp(loopback, 40000, loopback, 7410, b); };
    const auto to_user = [&](const auto& b) { pcap.add_udp(loopback, 40001, loopback, 7411, b); };
    to_group(spdp_announcement());  // in the order of `Frame`
    to_meta(sedp_subscription_repair());
    to_meta(acknack_reply(10, {10, 12, 40}, 3, /*final_flag=*/false));
    to_meta(acknack_reply(1, {1, 40, 100}, 4, /*final_flag=*/false));
    to_meta(acknack_reply(4, {}, 5, /*final_flag=*/true));
    to_user(nackfrag_reply());
    to_user(data_frag(1));
    to_user(data_frag(2));
    to_group(wlp_pulse());
    to_meta(truncated_control());

    const auto dir = std::filesystem::path(::testing::TempDir()) /
                     ("nimbrel_tshark_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "profile");
    if (!pcap.save((dir / "sent.pcap").string())) {
      failure_ = "cannot write " + (dir / "sent.pcap").string();
      return;
    }
    // An empty personal profile, so local preferences cannot disable the dissector; -n keeps
    // tshark from resolving any address.
    std::string command = "WIRESHARK_CONFIG_DIR='" + (dir / "profile").string() + "'";
    command.append(" tshark -n --enable-heuristic rtps_udp -r '" + (dir / "sent.pcap").string());
    command.append("' -T pdml >'" + (dir / "pdml").string() + "' 2>'");
    command.append((dir / "stderr").string() + "'");
    const int status = std::system(command.c_str());
    const auto read = [&](const char* name) {
      std::ifstream in(dir / name);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    if (status != 0) {
      failure_ = "tshark failed (status " + std::to_string(status) + "): " + read("stderr");
      return;
    }
    packets_ = testing::parse_pdml(read("pdml"));
    std::filesystem::remove_all(dir);
  }

  void SetUp() override {
    if (!has_tshark_) {
      if (std::getenv("NIMBREL_ALLOW_MISSING_TSHARK") != nullptr)
        GTEST_SKIP() << "tshark not installed";
      FAIL() << "tshark not found on PATH (install the Debian package tshark)";
    }
    ASSERT_TRUE(failure_.empty()) << failure_;
    ASSERT_EQ(packets_.size(), std::size_t{control});
  }

  // The RTPS tree of a frame, or a failure if tshark did not dissect it as RTPS.
  static const Node& rtps(std::size_t frame) {
    static const Node none;
    const Node* hit = packets_.at(frame - 1).find("rtps");
    EXPECT_NE(hit, nullptr) << "frame " << frame << " not dissected as RTPS";
    return hit ? *hit : none;
  }
  static std::vector<const Node*> submessages(std::size_t frame) {
    return rtps(frame).find_all("rtps.sm.id");
  }

  // Expert infos of warning severity or above, and malformed markers, as readable lines.
  static Strings complaints(std::size_t frame) {
    constexpr long pi_warn = 0x00600000;  // Wireshark's PI_WARN severity
    const Node& packet = packets_.at(frame - 1);
    Strings out;
    for (const Node* expert : packet.find_all("_ws.expert")) {
      const Node* severity = expert->find("_ws.expert.severity");
      if ((severity ? std::stol(severity->show) : pi_warn) >= pi_warn)
        out.push_back(expert->show_of("_ws.expert.message"));
    }
    if (packet.find("_ws.malformed") != nullptr) out.emplace_back("malformed packet");
    return out;
  }

  static void expect_header(std::size_t frame) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    expect_fields(rtps(frame), {{"rtps.magic", "RTPS"},
                                {"rtps.version.major", "2"},
                                {"rtps.version.minor", "5"},
                                {"rtps.vendorId", "0x01f0"},
                                {"rtps.guidPrefix.src", own_hex, &Node::value}});
  }

  static inline bool has_tshark_ = false;
  static inline std::string failure_;
  static inline std::vector<Node> packets_;
};

// A submessage as tshark shows it: id, flags, length, reader and writer entity ids.
void expect_submessage(const Node& sm, std::string id, std::string flags,
                       std::string octets_to_next, std::string reader, std::string writer) {
  expect_fields(sm, {{"", std::move(id)},
                     {"rtps.sm.flags", std::move(flags)},
                     {"rtps.sm.octetsToNextHeader", std::move(octets_to_next)},
                     {"rtps.sm.rdEntityId", std::move(reader)},
                     {"rtps.sm.wrEntityId", std::move(writer)}});
}

void expect_info_dst(const Node& sm) {
  expect_fields(sm, {{"", "0x0e"},
                     {"rtps.sm.flags", "0x01"},
                     {"rtps.sm.octetsToNextHeader", "12"},
                     {"rtps.guidPrefix.dst", remote_hex, &Node::value}});
}

Strings shown_all(const Node& node, std::string_view name) {
  Strings out;
  for (const Node* hit : node.find_all(name))
    out.push_back(hit->show);
  return out;
}

// The parameters of a serialized parameter list, as tshark nests them.
std::vector<Node> parameters(const Node& sm) {
  const Node* data = sm.child_shown("serializedData");
  const Node* list = data ? data->child_shown("serializedData:") : nullptr;
  EXPECT_NE(list, nullptr) << "no parameter list";
  return list ? list->children : std::vector<Node>{};
}

const Node& parameter(const std::vector<Node>& list, const std::string& id) {
  static const Node none;
  const auto at =
      std::ranges::find(list, id, [](const Node& p) { return p.show_of("rtps.param.id"); });
  EXPECT_NE(at, list.end()) << "parameter " << id << " not decoded";
  return at == list.end() ? none : *at;
}

// The ids of the parameters in order, then for each (id, field) that field of the parameter.
void expect_parameters(const std::vector<Node>& list, const Strings& ids,
                       const std::vector<std::pair<std::string, Field>>& checks) {
  Strings got;
  for (const auto& p : list)
    got.push_back(p.show_of("rtps.param.id"));
  EXPECT_EQ(got, ids);
  for (const auto& [id, field] : checks) {
    SCOPED_TRACE("parameter " + id);
    expect_fields(parameter(list, id), {field});
  }
}

// ---------------------------------------------------------------------------------------------

TEST_F(TsharkAgreementTest, EveryDatagramDecodesWithoutComplaint) {
  for (std::size_t frame = 1; frame <= control; ++frame) {
    if (frame == control || frame == data_frag_last) continue;
    SCOPED_TRACE("frame " + std::to_string(frame));
    EXPECT_EQ(complaints(frame), Strings{});
    expect_header(frame);
  }
}

TEST_F(TsharkAgreementTest, TruncatedControlIsReportedSoTheCheckIsNotVacuous) {
  EXPECT_FALSE(complaints(control).empty());
}

TEST_F(TsharkAgreementTest, SpdpAnnouncement) {
  const auto sms = submessages(spdp);
  ASSERT_EQ(sms.size(), 1u);
  expect_submessage(*sms[0], "0x15", "0x05", "176", "0x000100c7", "0x000100c2");
  expect_fields(*sms[0], {{"rtps.extra_flags", "0x0000"},
                          {"rtps.octets_to_inline_qos", "16"},
                          {"rtps.sm.seqNumber", "1"},
                          {"rtps.param.serialize.encap_kind", "0x0003"}});  // PL_CDR_LE
  // Wireshark 4.0 shows PID_DOMAIN_ID as raw bytes only.
  // clang-format off
  expect_parameters(parameters(*sms[0]),
      {"0x0015", "0x0016", "0x0050", "0x0031", "0x0032", "0x0033", "0x000f", "0x0058", "0x0002",
       "0x0001"},
      {{"0x0015", {"rtps.version.major", "2"}},       {"0x0015", {"rtps.version.minor", "5"}},
       {"0x0016", {"rtps.vendorId", "0x01f0"}},
       {"0x0050", {"rtps.param.participant_guid", own_hex + "000001c1", &Node::value}},
       {"0x0031", {"rtps.param.length", "24"}}, {"0x0031", {"rtps.locator.kind", "0x00000001"}},
       {"0x0031", {"rtps.locator.ipv4", "127.0.0.1"}}, {"0x0031", {"rtps.locator.port", "40001"}},
       {"0x0032", {"rtps.param.length", "24"}}, {"0x0032", {"rtps.locator.kind", "0x00000001"}},
       {"0x0032", {"rtps.locator.ipv4", "127.0.0.1"}}, {"0x0032", {"rtps.locator.port", "40000"}},
       {"0x0033", {"rtps.param.length", "24"}}, {"0x0033", {"rtps.locator.kind", "0x00000001"}},
       {"0x0033", {"rtps.locator.ipv4", "239.255.0.1"}}, {"0x0033", {"rtps.locator.port", "7400"}},
       {"0x000f", {"rtps.parameter_data", "00:00:00:00"}},
       {"0x0058", {"rtps.param.builtin_endpoint_set", "0x00003c3f"}},
       {"0x0002", {"rtps.param.ntpTime.sec", "100"}},
       {"0x0002", {"rtps.param.ntpTime.fraction", "0"}}});
  // clang-format on
}

TEST_F(TsharkAgreementTest, SedpSubscriptionGapAndHeartbeat) {
  const auto sms = submessages(sedp_repair);
  ASSERT_EQ(sms.size(), 3u);
  expect_submessage(*sms[0], "0x15", "0x05", "184", "0x000004c7", "0x000004c2");
  expect_fields(*sms[0],
                {{"rtps.sm.seqNumber", "1"}, {"rtps.param.serialize.encap_kind", "0x0003"}});
  // Wireshark 4.0 decodes only the reliability kind; the whole value carries the 100 ms max
  // blocking time. Durability volatile, ownership shared, data representations XCDR and XCDR2.
  // clang-format off
  const auto list = parameters(*sms[0]);
  expect_parameters(list,
      {"0x0050", "0x005a", "0x0005", "0x0007", "0x001d", "0x001a", "0x001f", "0x001b", "0x0023",
       "0x0073", "0x0001"},
      {{"0x0050", {"rtps.param.participant_guid", own_hex + "000001c1", &Node::value}},
       {"0x005a", {"rtps.param.endpoint_guid", own_hex + "00000107", &Node::value}},
       {"0x0005", {"rtps.param.topicName", "DDSPerfRDataKS"}},
       {"0x0007", {"rtps.param.typeName", "KeyedSeq"}},
       {"0x001d", {"rtps.durability", "0x00000000"}},
       {"0x001a", {"rtps.param.length", "12"}}, {"0x001a", {"rtps.reliability_kind", "0x00000002"}},
       {"0x001a", {"", "1a000c00" "02000000" "00000000" "99999919", &Node::value}},
       {"0x001f", {"rtps.ownership", "0x00000000"}},
       {"0x001b", {"rtps.liveliness.kind", "0x00000000"}},
       {"0x001b", {"rtps.param.ntpTime.sec", "2147483647"}},
       {"0x0023", {"rtps.param.ntpTime.fraction", "4294967295"}},
       {"0x0073", {"rtps.param.length", "8"}}});
  // clang-format on
  EXPECT_EQ(shown_all(parameter(list, "0x0073"), "rtps.param.data_representation"),
            (Strings{"0", "2"}));

  expect_submessage(*sms[1], "0x08", "0x01", "28", "0x000004c7", "0x000004c2");
  EXPECT_EQ(shown_all(*sms[1], "rtps.sm.seqNumber"), (Strings{"2", "3"}));  // gapStart, base
  EXPECT_EQ(sms[1]->show_of("rtps.bitmap.num_bits"), "0");

  expect_submessage(*sms[2], "0x07", "0x01", "28", "0x000004c7", "0x000004c2");
  EXPECT_EQ(shown_all(*sms[2], "rtps.sm.seqNumber"), (Strings{"1", "3"}));  // firstSN, lastSN
  EXPECT_EQ(sms[2]->show_of("rtps.heartbeat_count"), "7");
}

// The bit string tshark prints for a set: one character per bit, base first.
std::string bit_string(std::uint32_t num_bits, std::initializer_list<std::uint32_t> offsets) {
  std::string bits(num_bits, '0');
  for (std::uint32_t k : offsets)
    bits[k] = '1';
  return "bitmap: " + bits;
}

TEST_F(TsharkAgreementTest, AckNackRepliesCarryInfoDstAndTheirBitmaps) {
  struct Case {
    Frame frame;
    std::string flags, octets_to_next, base;
    std::uint32_t num_bits;
    std::initializer_list<std::uint32_t> offsets;
    std::string analysis, count;
  };
  // clang-format off
  const Case cases[] = {
      {acknack_one_word,   "0x01", "28", "10", 31,  {0, 2, 30},
       "Lost samples 10, 12, 40 in range [10,40]", "3"},
      {acknack_four_words, "0x01", "40", "1",  100, {0, 39, 99},
       "Lost samples 1, 40, 100 in range [1,100]", "4"},
      {acknack_final,      "0x03", "24", "4",  0,   {}, "Expecting sample 4", "5"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE("frame " + std::to_string(c.frame));
    const auto sms = submessages(c.frame);
    ASSERT_EQ(sms.size(), 2u);
    expect_info_dst(*sms[0]);
    expect_submessage(*sms[1], "0x06", c.flags, c.octets_to_next, "0x000004c7", "0x000004c2");
    EXPECT_EQ(sms[1]->show_of("rtps.acknack.count"), c.count);
    const Node* set = sms[1]->child_shown("readerSNState");
    ASSERT_NE(set, nullptr);
    expect_fields(
        *set, {{"rtps.sm.seqNumber", c.base},
               {"rtps.bitmap.num_bits", std::to_string(c.num_bits)},
               {"rtps.sm.acknack_analysis", "Acknack Analysis: " + c.analysis, &Node::showname}});
    if (c.num_bits > 0) {
      EXPECT_EQ(set->attribute_of("rtps.bitmap", &Node::showname),
                bit_string(c.num_bits, c.offsets));
    }
  }
}

TEST_F(TsharkAgreementTest, NackFragReplyCarriesInfoDstAndItsFragmentSet) {
  const auto sms = submessages(nackfrag);
  ASSERT_EQ(sms.size(), 2u);
  expect_info_dst(*sms[0]);
  expect_submessage(*sms[1], "0x12", "0x01", "32", "0x00000107", "0x00000b02");
  expect_fields(*sms[1], {{"rtps.sm.seqNumber", "42"}, {"rtps.nack_frag.count", "1"}});
  const Node* set = sms[1]->child_shown("fragmentNumberState");
  ASSERT_NE(set, nullptr);
  // One little-endian word, bits 0, 1 and 5 (fragments 2, 3 and 7).
  expect_fields(*set, {{"rtps.fragment_number.base32", "2"},
                       {"rtps.fragment_number.num_bits", "6"},
                       {"rtps.bitmap", "000000c4", &Node::value}});
  // Wireshark 4.0 prints one bit fewer than numBits for fragment number sets (its ACKNACK
  // bitmaps are complete), so the printed string may lack the last bit.
  const std::string expected = bit_string(6, {0, 1, 5});
  const std::string shown = set->attribute_of("rtps.bitmap", &Node::showname);
  EXPECT_TRUE(shown == expected || shown == expected.substr(0, expected.size() - 1)) << shown;
}

TEST_F(TsharkAgreementTest, DataFragFirstFragment) {
  const auto sms = submessages(data_frag_first);
  ASSERT_EQ(sms.size(), 1u);
  expect_submessage(*sms[0], "0x16", "0x01", std::to_string(32 + fragment_size), "0x000301c4",
                    "0x000301c3");
  expect_fields(*sms[0], {{"rtps.octets_to_inline_qos", "28"},
                          {"rtps.sm.seqNumber", "2"},
                          {"rtps.data_frag.number", "1"},
                          {"rtps.data_frag.num_fragments", "1"},
                          {"rtps.data_frag.size", std::to_string(fragment_size)},
                          {"rtps.data_frag.sample_size", std::to_string(fragmented_sample_size)}});
}

// DDSI-RTPS 2.5 section 9.4.5.4 lets the last fragment hold whatever remains of the sample, here
// one byte. Wireshark 4.0 wants at least 4 payload bytes in every DATA_FRAG, reports exactly
// this and stops decoding the submessage; everything up to its length is still checked.
TEST_F(TsharkAgreementTest, DataFragShortLastFragmentOnlyTripsTheDissectorsMinimumLength) {
  EXPECT_EQ(complaints(data_frag_last), Strings{"(Error: should be >= 36)"});
  expect_header(data_frag_last);
  const auto sms = submessages(data_frag_last);
  ASSERT_EQ(sms.size(), 1u);
  // The bytes tshark framed as the submessage: header, fixed fields, then the one byte.
  expect_fields(*sms[0], {{"", "0x16"},
                          {"rtps.sm.flags", "0x01"},
                          {"rtps.sm.octetsToNextHeader", "33"},
                          {"",
                           "16012100"          // id, flags, octetsToNextHeader 33
                           "00001c00"          // extraFlags, octetsToInlineQos 28
                           "000301c4000301c3"  // readerId, writerId
                           "0000000002000000"  // writerSN 2
                           "0200000001004005"  // fragment 2, 1 in submessage, size 1344
                           "41050000"          // sampleSize 1345
                           "ee",
                           &Node::value}});
}

TEST_F(TsharkAgreementTest, WlpPulse) {
  const auto sms = submessages(wlp);
  ASSERT_EQ(sms.size(), 1u);
  expect_submessage(*sms[0], "0x15", "0x05", "48", "0x000200c7", "0x000200c2");
  EXPECT_EQ(sms[0]->show_of("rtps.sm.seqNumber"), "1");
  const Node* message = sms[0]->child_shown("ParticipantMessageData");
  ASSERT_NE(message, nullptr);
  // DDSI-RTPS 2.5 section 9.6.2.1 has a 12-byte GUID prefix before the kind; this system writes
  // the whole 16-byte participant GUID, so Wireshark reads its entity id 00 00 01 C1 as the kind
  // and the real kind (0) as the data length. The bytes are as intended.
  expect_fields(*message, {{"rtps.param.serialize.encap_kind", "0x0001"},  // CDR_LE
                           {"rtps.param.serialize.encap_len", "0x0000"},
                           {"rtps.sm.guidPrefix", own_hex, &Node::value},
                           {"rtps.encapsulation_kind", "000001c1", &Node::value},
                           {"rtps.sequence_size", "0"},
                           {"", "00010000" + own_hex + "000001c10000000000000000", &Node::value}});
}

}  // namespace
}  // namespace nimbrel::rtps
