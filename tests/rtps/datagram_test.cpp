#include "rtps/datagram.hpp"

#include <gtest/gtest.h>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

std::vector<std::byte> golden() {
  // clang-format off
  return concat({
      golden_header(),
      bytes({0x09, 0x01, 0x08, 0x00,                          // INFO_TS, E, 8 bytes
             0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 100 s, fraction 0
             0x15, 0x05, 0x18, 0x00,                          // DATA, E|D, 24 bytes
             0x00, 0x00, 0x10, 0x00,                          // extraFlags, octetsToInlineQos
             0x00, 0x00, 0x00, 0x00,                          // readerId unknown
             0x00, 0x01, 0x00, 0xC2,                          // SPDP writer
             0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // writerSN 1
             0x00, 0x03, 0x00, 0x00,                          // payload
             0x07, 0x02, 0x00, 0x1C,                          // HEARTBEAT, F, big-endian, 28 bytes
             0x00, 0x01, 0x00, 0xC7,                          // readerId SPDP reader
             0x00, 0x01, 0x00, 0xC2,                          // writerId SPDP writer
             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,  // firstSN 1
             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02,  // lastSN 2
             0x00, 0x00, 0x00, 0x03}),                        // count 3
  });
  // clang-format on
}

ParsedDatagram golden_parsed() {
  ParsedDatagram d{.version = {2, 5},
                   .vendor_id = {0x01, 0xF0},
                   .guid_prefix = testing::golden_prefix,
                   .submessages = {}};
  d.submessages.emplace_back(InfoTimestampSubmessage{Time{100, 0}});
  d.submessages.emplace_back(DataSubmessage{.writer_id = entity_ids::spdp_writer,
                                            .writer_sn = 1,
                                            .serialized_payload = shared(bytes({0, 3, 0, 0}))});
  d.submessages.emplace_back(HeartbeatSubmessage{.reader_id = entity_ids::spdp_reader,
                                                 .writer_id = entity_ids::spdp_writer,
                                                 .first_sn = 1,
                                                 .last_sn = 2,
                                                 .count = 3,
                                                 .final_flag = true});
  return d;
}

TEST(DecodeDatagram, DecodesTheGoldenDatagramWithThePayloadInItsBuffer) {
  auto datagram = shared(golden());
  auto parsed = decode_bytes<ParsedDatagram>(datagram, true);
  EXPECT_EQ(parsed, golden_parsed());
  const auto& data = std::get<DataSubmessage>(parsed->submessages.at(1));
  EXPECT_TRUE(data.serialized_payload.shares_storage_with(datagram));
  EXPECT_EQ(data.serialized_payload.data(), datagram.data() + 56);
}

TEST(DecodeDatagram, EveryTruncationGivesItsError) {
  const auto full = golden();
  // Submessages end at these offsets; a cut inside one reports how much of it is missing.
  const std::vector<std::size_t> ends = {20, 32, 60, 92};
  ASSERT_EQ(ends.back(), full.size());
  for (std::size_t cut = 0; cut < full.size(); ++cut) {
    auto parsed = decode_bytes<ParsedDatagram>(
        shared(std::vector(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut))), true);
    if (cut < 20) {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.error(), CodecError::eof(20, 0)) << "cut " << cut;
      continue;
    }
    std::size_t i = 0;
    while (ends[i + 1] <= cut)
      ++i;
    const std::size_t start = ends[i];
    if (cut == start) {
      ASSERT_TRUE(parsed) << "cut " << cut;
      EXPECT_EQ(parsed->submessages.size(), i) << "cut " << cut;
    } else if (cut < start + 4) {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.error(), CodecError::eof(4, start)) << "cut " << cut;
    } else {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.error(), CodecError::eof(ends[i + 1] - cut, start + 4)) << "cut " << cut;
    }
  }
}

TEST(DecodeDatagram, RejectsBadMagic) {
  auto input = golden();
  input[3] = std::byte{'X'};
  EXPECT_EQ(decode_bytes<ParsedDatagram>(shared(input), true).error(),
            (CodecError{.kind = CodecError::Kind::BadMagic, .magic = {'R', 'T', 'P', 'X'}}));
}

// Except for PAD and INFO_TS, whose bodies may be empty.
TEST(DecodeDatagram, ZeroLengthRunsToTheEnd) {
  // clang-format off
  auto input = concat({golden_header(),
                       bytes({0x09, 0x01, 0x00, 0x00,                             // INFO_TS, length 0
                              0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00})});  // 1 s, fraction 2
  // clang-format on
  EXPECT_EQ(decode_bytes<ParsedDatagram>(shared(input), true).error(), CodecError::eof(8, 0));
  // A length-0 DATA takes every remaining byte as payload.
  const auto full = golden();
  auto data = concat({golden_header(), bytes({0x15, 0x05, 0x00, 0x00}),
                      std::vector(full.begin() + 36, full.begin() + 56), bytes({1, 2})});
  auto parsed = decode_bytes<ParsedDatagram>(shared(data), true);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(std::get<DataSubmessage>(parsed->submessages[0]).serialized_payload,
            shared(bytes({1, 2})));
}

struct IdCase {
  std::string name;
  ProtocolVersion version;
  std::vector<std::byte> submessages;
  CodecResult<std::vector<ParsedSubmessage>> expected;
};

void PrintTo(const IdCase& c, std::ostream* os) {
  *os << c.name;
}

class SubmessageIds : public ::testing::TestWithParam<IdCase> {};

TEST_P(SubmessageIds, AreKeptOrRejected) {
  const auto& c = GetParam();
  auto input = concat({golden_header(c.version.minor), c.submessages});
  input[4] = std::byte{c.version.major};
  auto parsed = decode_bytes<ParsedDatagram>(shared(input), true);
  ASSERT_EQ(parsed.has_value(), c.expected.has_value());
  if (parsed) {
    EXPECT_EQ(parsed->version, c.version);
    EXPECT_EQ(parsed->submessages, *c.expected);
  } else {
    EXPECT_EQ(parsed.error(), c.expected.error());
  }
}

using Subs = std::vector<ParsedSubmessage>;
const auto must_understand =
    std::unexpected(CodecError::malformed("Unknown submessage id with must-understand flag"));
const auto pad = submessage(submessage_id::pad, 0x01, bytes({0, 0, 0, 0}));
const auto he = submessage(submessage_id::header_extension, 0x03, bytes({0x30, 0, 0, 0}));
const HeaderExtension he_record = [] {
  HeaderExtension record;
  record.message_length = 0x30;
  return record;
}();

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, SubmessageIds, ::testing::Values(
    IdCase{"PadIsUnknown", {2, 5}, pad, Subs{UnknownSubmessage{1, 1}}},
    IdCase{"MustUnderstandUnknownRejects", {2, 5}, concat({pad, submessage(0x01, 0x81, {})}),
           must_understand},
    IdCase{"EmptyPadAndInfoTsEndAtTheirHeaders", {2, 5},
           concat({submessage(submessage_id::pad, 0x01, {}),
                   submessage(submessage_id::info_ts, 0x03, {}), pad}),
           Subs{UnknownSubmessage{1, 1}, InfoTimestampSubmessage{}, UnknownSubmessage{1, 1}}},
    IdCase{"InfoDst", {2, 5}, submessage(submessage_id::info_dst, 0x01, filled(12, 7)),
           Subs{InfoDestinationSubmessage{{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}}}},
    IdCase{"InfoDstCut", {2, 5}, submessage(submessage_id::info_dst, 0x01, filled(11, 7)),
           std::unexpected(CodecError::eof(12, 0))},
    IdCase{"VendorIdIsUnknown", {2, 3}, submessage(0x80, 0x01, testing::filled(56, 0)),
           Subs{UnknownSubmessage{0x80, 0x01}}},
    IdCase{"HeaderExtensionBefore25IsUnknown", {2, 4}, concat({pad, he}),
           Subs{UnknownSubmessage{1, 1}, UnknownSubmessage{0x80, 3}}},
    IdCase{"HeaderExtensionBefore25MustUnderstand", {2, 4},
           submessage(0x80, 0x81, bytes({0x01, 0, 0, 0})), must_understand},
    IdCase{"HeaderExtensionFirst", {2, 5}, concat({he, pad}),
           Subs{he_record, UnknownSubmessage{1, 1}}},
    IdCase{"HeaderExtensionInVersion3", {3, 0}, he, Subs{he_record}},
    IdCase{"HeaderExtensionSecondRejects", {2, 5}, concat({pad, he}),
           std::unexpected(CodecError::malformed(
               "HeaderExtension must appear directly after the RTPS header"))},
    IdCase{"ErrorInALaterSubmessageRejectsTheWhole", {2, 5},
           concat({pad, submessage(submessage_id::acknack, 0x01, bytes({0, 0, 0}))}),
           std::unexpected(CodecError::eof(8, 0))}),
    [](const auto& param_info) { return param_info.param.name; });
// clang-format on

TEST(DecodeDatagram, UnknownEntityKindIsWrittenBackAsZero) {
  // clang-format off
  const auto body = bytes({0x00, 0x00, 0x01, 0xC5,                          // readerId, kind 0xC5
                           0x00, 0x01, 0x00, 0xC2,                          // writerId
                           0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,  // firstSN, lastSN
                           0x01, 0x00, 0x00, 0x00});                        // count
  // clang-format on
  auto parsed = decode_bytes<ParsedDatagram>(
      shared(concat({golden_header(), submessage(0x07, 0x01, body)})), true);
  ASSERT_TRUE(parsed);
  const auto& hb = std::get<HeartbeatSubmessage>(parsed->submessages[0]);
  EXPECT_EQ(hb.reader_id.entity_kind, EntityKind::Unknown);
  const auto encoded = encode_body(hb, true).bytes;
  EXPECT_EQ(std::vector(encoded.begin(), encoded.begin() + 4), bytes({0x00, 0x00, 0x01, 0x00}));
}

TEST(BuildDataDatagram, WritesHeaderAndLittleEndianData) {
  const GuidPrefix prefix{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB};
  const DataSubmessage data[] = {
      {.writer_id = entity_ids::spdp_writer,
       .writer_sn = 1,
       .serialized_payload = shared(bytes({0x00, 0x03, 0x00, 0x00}))},
      {.writer_id = entity_ids::spdp_writer, .writer_sn = 2, .key_flag = true}};
  // clang-format off
  const auto expected = bytes({
      'R', 'T', 'P', 'S', 0x02, 0x03,                  // magic, version 2.3
      0x01, 0xF0,                                      // vendor id
      0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB,  // prefix
      0x15, 0x05, 0x18, 0x00,                          // DATA, E|D, 24 bytes
      0x00, 0x00, 0x10, 0x00,                          // extraFlags, octetsToInlineQos
      0x00, 0x00, 0x00, 0x00,                          // readerId
      0x00, 0x01, 0x00, 0xC2,                          // writerId
      0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // writerSN 1
      0x00, 0x03, 0x00, 0x00,                          // payload
      0x15, 0x09, 0x14, 0x00,                          // DATA, E|K, 20 bytes
      0x00, 0x00, 0x10, 0x00,                          // extraFlags, octetsToInlineQos
      0x00, 0x00, 0x00, 0x00,                          // readerId
      0x00, 0x01, 0x00, 0xC2,                          // writerId
      0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00});  // writerSN 2
  // clang-format on
  EXPECT_EQ(build_data_datagram(prefix, {2, 3}, nimbrel_vendor_id, data), expected);
}

TEST(BuildDataDatagram, BodyLimitIs65535Bytes) {
  DataSubmessage data{.serialized_payload = SharedBytes::adopt(testing::filled(65535 - 20, 1))};
  auto fits = build_data_datagram({}, {2, 5}, nimbrel_vendor_id, std::span(&data, 1));
  ASSERT_TRUE(fits);
  EXPECT_EQ(fits->size(), 20u + 4u + 65535u);
  data.serialized_payload = SharedBytes::adopt(testing::filled(65536 - 20, 1));
  EXPECT_EQ(build_data_datagram({}, {2, 5}, nimbrel_vendor_id, std::span(&data, 1)).error(),
            CodecError::resource_limit("DATA submessage body exceeds u16::MAX"));
}

TEST(BuildReplyDatagram, AddressesTheWriterWithInfoDst) {
  const GuidPrefix writer{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB};
  const auto body = bytes({0xAA, 0xBB, 0xCC, 0xDD});
  // clang-format off
  const auto prefix_and_info_dst = concat({golden_header(), bytes({
      0x0E, 0x01, 0x0C, 0x00,                                                  // INFO_DST
      0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB})});  // writer prefix
  EXPECT_EQ(build_reply_datagram(testing::golden_prefix, nimbrel_vendor_id, writer,
                                  submessage_id::acknack, 0x03, body),
            concat({prefix_and_info_dst, bytes({0x06, 0x03, 0x04, 0x00,        // ACKNACK, E|F, 4
                                                0xAA, 0xBB, 0xCC, 0xDD})}));
  EXPECT_EQ(build_reply_datagram(testing::golden_prefix, nimbrel_vendor_id, writer,
                                  submessage_id::nack_frag, 0x00, body),
            concat({prefix_and_info_dst, bytes({0x12, 0x00, 0x00, 0x04,        // NACK_FRAG, BE, 4
                                                0xAA, 0xBB, 0xCC, 0xDD})}));
  // clang-format on
  EXPECT_EQ(
      build_reply_datagram({}, nimbrel_vendor_id, writer, 0x06, 0x01, testing::filled(65536, 0))
          .error(),
      CodecError::resource_limit("submessage body exceeds u16::MAX"));
}

}  // namespace
}  // namespace nimbrel::rtps
