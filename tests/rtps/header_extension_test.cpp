#include "rtps/header_extension.hpp"

#include <gtest/gtest.h>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using testing::bytes;
using testing::concat;

struct HeCase {
  std::string name;
  std::uint8_t le_flags;
  std::vector<std::byte> le_body;
  std::vector<std::byte> be_body;
  HeaderExtension expected;  // little_endian is set per byte order
};

void PrintTo(const HeCase& c, std::ostream* os) {
  *os << c.name;
}

HeaderExtension everything() {
  HeaderExtension he;
  he.message_length = 64;
  he.timestamp = HeTimestamp{0x12345678u, 0x80000000u};
  he.uextension4 = std::array<std::uint8_t, 4>{0xA1, 0xA2, 0xA3, 0xA4};
  he.wextension8 = std::array<std::uint8_t, 8>{0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8};
  he.checksum = HeChecksum{std::in_place_type<std::uint32_t>, 0xDEADBEEFu};
  he.parameters.emplace().push(pid::vendor_id, bytes({0x01, 0x0F, 0x00, 0x00}));
  return he;
}

HeaderExtension with_checksum(HeChecksum checksum) {
  HeaderExtension he;
  he.checksum = checksum;
  return he;
}

std::vector<HeCase> cases() {
  // clang-format off
  return {
      {"AllFields", 0xBF,
       bytes({0x40, 0x00, 0x00, 0x00,                          // messageLength 64
              0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x80,  // timestamp
              0xA1, 0xA2, 0xA3, 0xA4,                          // uExtension4
              0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8,  // wExtension8
              0xEF, 0xBE, 0xAD, 0xDE,                          // CRC-32
              0x16, 0x00, 0x04, 0x00, 0x01, 0x0F, 0x00, 0x00,  // PID_VENDORID
              0x01, 0x00, 0x00, 0x00}),                        // PID_SENTINEL
       bytes({0x00, 0x00, 0x00, 0x40,                          // messageLength 64
              0x12, 0x34, 0x56, 0x78, 0x80, 0x00, 0x00, 0x00,  // timestamp
              0xA1, 0xA2, 0xA3, 0xA4,                          // uExtension4
              0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8,  // wExtension8
              0xDE, 0xAD, 0xBE, 0xEF,                          // CRC-32
              0x00, 0x16, 0x00, 0x04, 0x01, 0x0F, 0x00, 0x00,  // PID_VENDORID
              0x00, 0x01, 0x00, 0x00}),                        // PID_SENTINEL
       everything()},
      {"Crc64", 0x41,
       bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}),  // CRC-64
       bytes({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}),  // CRC-64
       with_checksum(HeChecksum{std::in_place_type<std::uint64_t>, 0x0102030405060708u})},
      {"Md5", 0x61,
       bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}),  // MD5, raw
       bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}),  // MD5, raw
       with_checksum(HeChecksum{std::array<std::uint8_t, 16>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                                             11, 12, 13, 14, 15}})},
      {"Empty", 0x01, {}, {}, HeaderExtension{}},
  };
  // clang-format on
}

class HeaderExtensionGolden : public ::testing::TestWithParam<std::tuple<HeCase, bool>> {
 protected:
  const HeCase& c() const { return std::get<0>(GetParam()); }
  bool le() const { return std::get<1>(GetParam()); }
  const std::vector<std::byte>& body() const { return le() ? c().le_body : c().be_body; }
  std::uint8_t flags() const {
    return le() ? c().le_flags : static_cast<std::uint8_t>(c().le_flags & ~endianness_flag);
  }
  HeaderExtension expected() const {
    auto he = c().expected;
    he.little_endian = le();
    return he;
  }
};

TEST_P(HeaderExtensionGolden, Decodes) {
  EXPECT_EQ(HeaderExtension::read_body(body(), flags()), expected());
}

TEST_P(HeaderExtensionGolden, Encodes) {
  auto encoded = expected().write_body();
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->bytes, body());
  EXPECT_EQ(encoded->flags, flags());
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, HeaderExtensionGolden,
                         ::testing::Combine(::testing::ValuesIn(cases()), ::testing::Bool()),
                         [](const auto& param_info) {
                           return std::get<0>(param_info.param).name +
                                  (std::get<1>(param_info.param) ? "_LE" : "_BE");
                         });

TEST(HeaderExtension, EachCutFieldReportsItsSizeAndOffset) {
  const auto golden = cases()[0].le_body;
  // Parameter list errors count from the list's start at 28.
  const std::vector<std::pair<std::size_t, WireError>> cuts = {
      {0, WireError::eof(4, 0)},   {4, WireError::eof(8, 4)},   {12, WireError::eof(4, 12)},
      {16, WireError::eof(8, 16)}, {24, WireError::eof(4, 24)}, {28, WireError::eof(4, 0)},
      {32, WireError::eof(4, 4)},  {36, WireError::eof(4, 8)}};
  for (std::size_t length = 0; length < golden.size(); ++length) {
    std::size_t i = 0;
    while (i + 1 < cuts.size() && cuts[i + 1].first <= length)
      ++i;
    auto he = HeaderExtension::read_body(std::span(golden).first(length), 0xBF);
    ASSERT_FALSE(he) << "length " << length;
    EXPECT_EQ(he.error(), cuts[i].second) << "length " << length;
  }
}

std::vector<std::byte> parameters_filling(std::size_t body_length) {
  ParameterList list;
  list.push(pid::user_data, testing::filled(body_length - 8, 0x55));
  return *list.to_bytes(true);
}

TEST(HeaderExtension, BodyIsCappedAt16384Bytes) {
  EXPECT_TRUE(HeaderExtension::read_body(parameters_filling(16384), 0x81));
  EXPECT_EQ(
      HeaderExtension::read_body(concat({parameters_filling(16384), bytes({0})}), 0x81).error(),
      WireError::malformed("HE body exceeds MAX_HE_LENGTH"));

  HeaderExtension he;
  he.parameters.emplace().push(pid::user_data, testing::filled(16384 - 8, 0x55));
  EXPECT_TRUE(he.write_body());
  he.parameters->parameters[0].value.resize(16384 - 4);
  EXPECT_EQ(he.write_body().error(), WireError::malformed("HE body exceeds MAX_HE_LENGTH"));
}

TEST(HeaderExtension, TrailingBytesNeedTheParameterFlag) {
  EXPECT_EQ(HeaderExtension::read_body(bytes({1, 0, 0, 0, 9}), 0x03).error(),
            WireError::malformed("HE trailing bytes without P-flag"));
  // With P the rest must be a whole list, and bytes after its sentinel are ignored.
  auto he = HeaderExtension::read_body(bytes({1, 0, 0, 0, 0x01, 0x00, 0x00, 0x00, 9}), 0x83);
  ASSERT_TRUE(he);
  EXPECT_EQ(he->message_length, 1u);
  EXPECT_TRUE(he->parameters->empty());
}

TEST(HeaderExtension, ParametersMustBeUnderstood) {
  EXPECT_EQ(
      HeaderExtension::read_body(bytes({0x04, 0x40, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}), 0x81)
          .error(),
      WireError::malformed("ParameterList contains unknown must-understand PID"));
}

}  // namespace
}  // namespace nimbrel::rtps
