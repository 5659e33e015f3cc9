// Golden bodies of every submessage, the header extension among them, in both byte orders,
// decoded, re-encoded and cut at every byte.
#include "rtps/submessages.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>

#include "rtps/datagram.hpp"
#include "rtps/header_extension.hpp"
#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

constexpr EntityId reader = entity_ids::sedp_subscriptions_reader;  // 00 00 04 C7
constexpr EntityId writer = entity_ids::sedp_subscriptions_writer;  // 00 00 04 C2

// The encoder of a decoded record, where one exists; a header extension carries its byte order.
std::optional<EncodedBody> encode(const ParsedSubmessage& submessage, bool little_endian) {
  return std::visit(
      [&](const auto& s) -> std::optional<EncodedBody> {
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, HeaderExtension>) {
          auto he = s;
          he.little_endian = little_endian;
          return encode_body(he, he.little_endian).value();
        } else if constexpr (requires { encode_body(s, little_endian).value(); }) {
          return encode_body(s, little_endian).value();
        } else if constexpr (requires { encode_body(s, little_endian); }) {
          return encode_body(s, little_endian);
        } else {
          return std::nullopt;
        }
      },
      submessage);
}

// A body cut to a length from `from` on (up to the next entry) gives `error`; nullopt decodes.
struct Cut {
  std::size_t from;
  std::optional<CodecError> error;
};

struct Golden {
  std::string name;
  std::uint8_t id;
  std::uint8_t le_flags;  // the big-endian golden has the E bit clear
  std::vector<std::byte> le_body;
  std::vector<int> be_fields;      // big_endian() widths; empty where be_body is written out
  std::vector<std::byte> be_body;  // derived from le_body when not written out
  ParsedSubmessage expected;
  std::vector<Cut> cuts;
};

void PrintTo(const Golden& golden, std::ostream* os) {
  *os << golden.name;
}

CodecError eof(std::size_t needed, std::size_t offset) {
  return CodecError::eof(needed, offset);
}
CodecError malformed(const char* text) {
  return CodecError::malformed(text);
}

HeaderExtension header_extension(HeChecksum checksum = {}) {
  HeaderExtension he;
  he.checksum = checksum;
  return he;
}

std::vector<Golden> goldens() {
  std::vector<Golden> g;
  HeaderExtension he = header_extension(HeChecksum{std::in_place_type<std::uint32_t>, 0xDEADBEEFu});
  he.message_length = 64;
  he.timestamp = HeTimestamp{0x12345678u, 0x80000000u};
  he.uextension4 = std::array<std::uint8_t, 4>{0xA1, 0xA2, 0xA3, 0xA4};
  he.wextension8 = std::array<std::uint8_t, 8>{0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8};
  he.parameters.emplace().push(pid::vendor_id, bytes({0x01, 0x0F, 0x00, 0x00}));
  const HeartbeatSubmessage hb{.reader_id = reader,
                               .writer_id = writer,
                               .first_sn = 1,
                               .last_sn = (SequenceNumber{1} << 32) + 2,
                               .count = 7,
                               .final_flag = true};
  HeartbeatSubmessage group = hb;
  group.last_sn = 3;
  group.count = 2;
  group.final_flag = false;
  group.liveliness_flag = true;
  group.group_info = HeartbeatGroupInfo{
      .current_gsn = 9,
      .first_gsn = 4,
      .last_gsn = 9,
      .writer_set = {{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC},
                     {0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC}}};
  ParameterList qos;
  qos.push(pid::key_hash, bytes({0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A,
                                 0x1B, 0x1C, 0x1D, 0x1E, 0x1F}));
  // clang-format off
  g.push_back({"Heartbeat", submessage_id::heartbeat, 0x03,
      bytes({0x00, 0x00, 0x04, 0xC7,                       // readerId
             0x00, 0x00, 0x04, 0xC2,                       // writerId
             0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // firstSN 1
             0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,  // lastSN 2^32 + 2
             0x07, 0x00, 0x00, 0x00}),                     // count
      {},
      bytes({0x00, 0x00, 0x04, 0xC7,                       // readerId
             0x00, 0x00, 0x04, 0xC2,                       // writerId
             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,  // firstSN 1
             0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,  // lastSN 2^32 + 2
             0x00, 0x00, 0x00, 0x07}),                     // count
      hb, {{0, eof(28, 0)}, {28, std::nullopt}}});

  g.push_back({"HeartbeatGroupInfo", submessage_id::heartbeat, 0x0D,
      bytes({0x00, 0x00, 0x04, 0xC7,                       // readerId
             0x00, 0x00, 0x04, 0xC2,                       // writerId
             0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // firstSN 1
             0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  // lastSN 3
             0x02, 0x00, 0x00, 0x00,                       // count
             0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00,  // currentGSN 9
             0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // firstGSN 4
             0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00,  // lastGSN 9
             0x02, 0x00, 0x00, 0x00,                       // writerSet length
             0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC,  // prefix 1
             0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC}),  // prefix 2
      {-8, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {}, group,
      {{0, eof(28, 0)}, {28, eof(28, 28)},
       {56, malformed("HEARTBEAT.groupInfo.writerSet length exceeds body")}, {80, std::nullopt}}});

  g.push_back({"AckNack", submessage_id::acknack, 0x03,
      bytes({0x00, 0x00, 0x04, 0xC7,                       // readerId
             0x00, 0x00, 0x04, 0xC2,                       // writerId
             0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00,  // bitmapBase 10
             0x03, 0x00, 0x00, 0x00,                       // numBits 3
             0x00, 0x00, 0x00, 0xA0,                       // bits for 10 and 12
             0x05, 0x00, 0x00, 0x00}),                     // count
      {-8, 4, 4, 4, 4, 4}, {},
      AckNackSubmessage{.reader_id = reader, .writer_id = writer,
                        .reader_sn_state = {10, 3, {0xA0000000u}}, .count = 5, .final_flag = true},
      {{0, eof(8, 0)}, {8, eof(8, 8)}, {16, eof(4, 16)}, {20, eof(4, 20)}, {24, eof(4, 24)},
       {28, std::nullopt}}});

  g.push_back({"Gap", submessage_id::gap, 0x0D,
      bytes({0x00, 0x00, 0x04, 0xC7,                       // readerId
             0x00, 0x00, 0x04, 0xC2,                       // writerId
             0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,  // gapStart 5
             0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,  // gapList base 7
             0x00, 0x00, 0x00, 0x00,                       // numBits 0, no words
             0x00, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00,  // gapStartGSN 100
             0x00, 0x00, 0x00, 0x00, 0xC8, 0x00, 0x00, 0x00,  // gapEndGSN 200
             0x03, 0x00, 0x00, 0x00}),                     // filteredCount
      {-8, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {},
      GapSubmessage{.reader_id = reader, .writer_id = writer, .gap_start = 5,
                    .gap_list = {7, 0, {}}, .group_info = GapGroupInfo{100, 200},
                    .filtered_count = 3},
      {{0, eof(16, 0)}, {16, eof(8, 16)}, {24, eof(4, 24)}, {28, eof(16, 28)}, {44, eof(4, 44)},
       {48, std::nullopt}}});

  g.push_back({"NackFrag", submessage_id::nack_frag, 0x01,
      bytes({0x00, 0x00, 0x04, 0xC7,                       // readerId
             0x00, 0x00, 0x04, 0xC2,                       // writerId
             0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  // writerSN 3
             0x02, 0x00, 0x00, 0x00,                       // bitmapBase 2
             0x28, 0x00, 0x00, 0x00,                       // numBits 40
             0x01, 0x00, 0x00, 0x80,                       // fragments 2 and 33
             0x00, 0x00, 0x00, 0x80,                       // fragment 34
             0x09, 0x00, 0x00, 0x00}),                     // count
      {-8, 4, 4, 4, 4, 4, 4, 4}, {},
      NackFragSubmessage{.reader_id = reader, .writer_id = writer, .writer_sn = 3,
                         .fragment_number_state = {2, 40, {0x80000001u, 0x80000000u}}, .count = 9},
      {{0, eof(28, 0)}, {28, eof(8, 24)}, {32, eof(4, 32)}, {36, std::nullopt}}});

  g.push_back({"HeartbeatFrag", submessage_id::heartbeat_frag, 0x01,
      bytes({0x00, 0x00, 0x04, 0xC7,                       // readerId
             0x00, 0x00, 0x04, 0xC2,                       // writerId
             0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  // writerSN 3
             0x0C, 0x00, 0x00, 0x00,                       // lastFragmentNum 12
             0x04, 0x00, 0x00, 0x00}),                     // count
      {-8, 4, 4, 4, 4}, {},
      HeartbeatFragSubmessage{.reader_id = reader, .writer_id = writer, .writer_sn = 3,
                              .last_fragment_num = 12, .count = 4},
      {{0, eof(24, 0)}, {24, std::nullopt}}});

  g.push_back({"DataInlineQos", submessage_id::data, 0x07,
      bytes({0x00, 0x00,                                    // extraFlags
             0x10, 0x00,                                    // octetsToInlineQos 16
             0x00, 0x00, 0x04, 0xC7,                        // readerId
             0x00, 0x00, 0x04, 0xC2,                        // writerId
             0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // writerSN 1
             0x70, 0x00, 0x10, 0x00,                        // PID_KEY_HASH, length 16
             0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B,
             0x1C, 0x1D, 0x1E, 0x1F,
             0x01, 0x00, 0x00, 0x00,                        // PID_SENTINEL
             0x00, 0x01, 0x00, 0x00,                        // encapsulation CDR_LE
             'h', 'i', 0x00, 0x00}),                        // opaque to this layer
      {2, 2, -8, 4, 4, 2, 2, -16, 2, 2}, {},
      DataSubmessage{.reader_id = reader, .writer_id = writer, .writer_sn = 1, .inline_qos = qos,
                     .serialized_payload = shared(bytes({0x00, 0x01, 0x00, 0x00, 'h', 'i', 0, 0}))},
      // Inline QoS errors count from the start of the list, 20 bytes into the body.
      {{0, eof(20, 0)}, {20, eof(4, 0)}, {24, eof(16, 4)}, {40, eof(4, 20)}, {44, std::nullopt}}});

  // E|K|N: a key payload is never flagged as data as well.
  g.push_back({"DataKeyNonStandard", submessage_id::data, 0x19,
      bytes({0x34, 0x12,                                    // extraFlags
             0x10, 0x00,                                    // octetsToInlineQos 16
             0x00, 0x00, 0x00, 0x00,                        // readerId unknown
             0x00, 0x00, 0x04, 0xC2,                        // writerId
             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // writerSN -1
             0xCA, 0xFE}),                                  // payload
      {2, 2, -8, 4, 4}, {},
      DataSubmessage{.extra_flags = 0x1234, .reader_id = entity_ids::unknown, .writer_id = writer,
                     .writer_sn = -1, .serialized_payload = shared(bytes({0xCA, 0xFE})),
                     .key_flag = true, .non_standard_payload_flag = true},
      {{0, eof(20, 0)}, {20, std::nullopt}}});

  g.push_back({"DataFrag", submessage_id::data_frag, 0x15,
      bytes({0x00, 0x00,                                    // extraFlags
             0x1C, 0x00,                                    // octetsToInlineQos 28
             0x00, 0x00, 0x04, 0xC7,                        // readerId
             0x00, 0x00, 0x04, 0xC2,                        // writerId
             0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,  // writerSN 2
             0x01, 0x00, 0x00, 0x00,                        // fragmentStartingNum 1
             0x01, 0x00,                                    // fragmentsInSubmessage 1
             0x04, 0x00,                                    // fragmentSize 4
             0x0A, 0x00, 0x00, 0x00,                        // sampleSize 10
             'a', 'b', 'c', 'd'}),                          // fragment
      {2, 2, -8, 4, 4, 4, 2, 2, 4}, {},
      DataFragSubmessage{.reader_id = reader, .writer_id = writer, .writer_sn = 2,
                         .fragment_starting_num = 1, .fragments_in_submessage = 1,
                         .fragment_size = 4, .sample_size = 10,
                         .fragments = shared(bytes({'a', 'b', 'c', 'd'})), .key_flag = true,
                         .bit4_flag = true},
      {{0, eof(32, 0)}, {32, std::nullopt}}});

  g.push_back({"InfoTs", submessage_id::info_ts, 0x01,
      bytes({0x78, 0x56, 0x34, 0x12,                        // seconds
             0x00, 0x00, 0x00, 0x80}),                      // fraction 0.5
      {4, 4}, {}, InfoTimestampSubmessage{Time{0x12345678, 0x80000000u}},
      {{0, eof(8, 0)}, {8, std::nullopt}}});

  g.push_back({"InfoSrc", submessage_id::info_src, 0x01,
      bytes({0xEF, 0xBE, 0xAD, 0xDE,                        // unused
             0x02, 0x03,                                    // version 2.3
             0x01, 0x0F,                                    // vendor id
             0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6,            // GUID prefix
             0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC}),
      {4}, {},
      InfoSourceSubmessage{0xDEADBEEFu, {2, 3}, {0x01, 0x0F},
                           {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC}},
      {{0, eof(20, 0)}, {20, std::nullopt}}});

  g.push_back({"InfoReply", submessage_id::info_reply, 0x03,
      bytes({0x01, 0x00, 0x00, 0x00,                        // unicast count 1
             0x01, 0x00, 0x00, 0x00,                        // kind UDPv4
             0xF3, 0x1C, 0x00, 0x00,                        // port 7411
             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 127, 0, 0, 1,  // address
             0x01, 0x00, 0x00, 0x00,                        // multicast count 1
             0x01, 0x00, 0x00, 0x00,                        // kind UDPv4
             0xE8, 0x1C, 0x00, 0x00,                        // port 7400
             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 239, 255, 0, 1}),  // address
      {4, 4, 4, -16, 4, 4, 4}, {},
      InfoReplySubmessage{{Locator::udp_v4({127, 0, 0, 1}, 7411)},
                          std::vector{Locator::udp_v4({239, 255, 0, 1}, 7400)}},
      {{0, eof(4, 0)}, {4, malformed("InfoReply.locatorList length exceeds body")},
       {28, eof(4, 28)}, {32, malformed("InfoReply.locatorList length exceeds body")},
       {56, std::nullopt}}});

  g.push_back({"HeaderExtension", submessage_id::header_extension, 0xBF,
      bytes({0x40, 0x00, 0x00, 0x00,                          // messageLength 64
             0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x80,  // timestamp
             0xA1, 0xA2, 0xA3, 0xA4,                          // uExtension4
             0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8,  // wExtension8
             0xEF, 0xBE, 0xAD, 0xDE,                          // CRC-32
             0x16, 0x00, 0x04, 0x00, 0x01, 0x0F, 0x00, 0x00,  // PID_VENDORID
             0x01, 0x00, 0x00, 0x00}),                        // PID_SENTINEL
      {},
      bytes({0x00, 0x00, 0x00, 0x40,                          // messageLength 64
             0x12, 0x34, 0x56, 0x78, 0x80, 0x00, 0x00, 0x00,  // timestamp
             0xA1, 0xA2, 0xA3, 0xA4,                          // uExtension4
             0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8,  // wExtension8
             0xDE, 0xAD, 0xBE, 0xEF,                          // CRC-32
             0x00, 0x16, 0x00, 0x04, 0x01, 0x0F, 0x00, 0x00,  // PID_VENDORID
             0x00, 0x01, 0x00, 0x00}),                        // PID_SENTINEL
      he,
      // Parameter list errors count from the list's start at 28.
      {{0, eof(4, 0)}, {4, eof(8, 4)}, {12, eof(4, 12)}, {16, eof(8, 16)}, {24, eof(4, 24)},
       {28, eof(4, 0)}, {32, eof(4, 4)}, {36, eof(4, 8)}, {40, std::nullopt}}});

  g.push_back({"HeaderExtensionCrc64", submessage_id::header_extension, 0x41,
      bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}),  // CRC-64
      {8}, {}, header_extension(HeChecksum{std::in_place_type<std::uint64_t>, 0x0102030405060708u}),
      {{0, eof(8, 0)}, {8, std::nullopt}}});

  g.push_back({"HeaderExtensionMd5", submessage_id::header_extension, 0x61,
      bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}),  // MD5, raw
      {}, {},
      header_extension(HeChecksum{std::array<std::uint8_t, 16>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                                               11, 12, 13, 14, 15}}),
      {{0, eof(16, 0)}, {16, std::nullopt}}});

  g.push_back({"HeaderExtensionEmpty", submessage_id::header_extension, 0x01, {}, {}, {},
               header_extension(), {{0, std::nullopt}}});
  // clang-format on
  for (Golden& golden : g) {
    if (golden.be_body.empty())
      golden.be_body = testing::big_endian(golden.le_body, golden.be_fields);
  }
  return g;
}

class SubmessageGolden : public ::testing::TestWithParam<std::tuple<Golden, bool>> {
 protected:
  const Golden& golden() const { return std::get<0>(GetParam()); }
  bool little_endian() const { return std::get<1>(GetParam()); }
  const std::vector<std::byte>& body() const {
    return little_endian() ? golden().le_body : golden().be_body;
  }
  std::uint8_t flags() const {
    return little_endian() ? golden().le_flags
                           : static_cast<std::uint8_t>(golden().le_flags & ~endianness_flag);
  }
  ParsedSubmessage expected() const {
    auto record = golden().expected;
    if (auto* he = std::get_if<HeaderExtension>(&record)) he->little_endian = little_endian();
    return record;
  }
  // A datagram whose last submessage runs to the end (octetsToNextHeader 0), cut after `length`
  // body bytes, so the body decoder itself sees the short input.
  std::vector<std::byte> datagram_with_body_length(std::size_t length) const {
    auto out = concat({golden_header(), bytes({golden().id, flags(), 0, 0})});
    out.insert(out.end(), body().begin(), body().begin() + static_cast<std::ptrdiff_t>(length));
    return out;
  }
};

TEST_P(SubmessageGolden, DecodesToTheExpectedRecord) {
  auto parsed = decode_bytes<ParsedDatagram>(
      shared(concat({golden_header(), testing::submessage(golden().id, flags(), body())})), true);
  ASSERT_TRUE(parsed) << to_string(parsed.error());
  ASSERT_EQ(parsed->submessages.size(), 1u);
  EXPECT_EQ(parsed->submessages[0], expected());
}

// Only the submessages this system sends have encoders.
class SubmessageEncoderGolden : public SubmessageGolden {};

TEST_P(SubmessageEncoderGolden, EncodesToTheGoldenBody) {
  auto encoded = encode(expected(), little_endian());
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->bytes, body());
  EXPECT_EQ(encoded->flags, flags());
}

TEST_P(SubmessageGolden, EveryTruncationGivesItsError) {
  const auto& cuts = golden().cuts;
  ASSERT_LE(cuts.back().from, body().size());
  ASSERT_FALSE(cuts.back().error);
  for (std::size_t length = 0; length < body().size(); ++length) {
    std::size_t i = 0;
    while (i + 1 < cuts.size() && cuts[i + 1].from <= length)
      ++i;
    auto parsed = decode_bytes<ParsedDatagram>(shared(datagram_with_body_length(length)), true);
    if (cuts[i].error) {
      ASSERT_FALSE(parsed) << "body length " << length;
      EXPECT_EQ(parsed.error(), *cuts[i].error) << "body length " << length;
    } else {
      EXPECT_TRUE(parsed) << "body length " << length << ": " << to_string(parsed.error());
    }
  }
}

std::string name_of(const ::testing::TestParamInfo<std::tuple<Golden, bool>>& info) {
  return std::get<0>(info.param).name + (std::get<1>(info.param) ? "_LE" : "_BE");
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, SubmessageGolden,
                         ::testing::Combine(::testing::ValuesIn(goldens()), ::testing::Bool()),
                         name_of);

std::vector<Golden> encodable_goldens() {
  auto all = goldens();
  std::erase_if(all, [](const Golden& g) { return !encode(g.expected, true); });
  return all;
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, SubmessageEncoderGolden,
                         ::testing::Combine(::testing::ValuesIn(encodable_goldens()),
                                            ::testing::Bool()),
                         name_of);

}  // namespace
}  // namespace nimbrel::rtps
