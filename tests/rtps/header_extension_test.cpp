// Limits of the header extension; its goldens are among the submessage goldens.
#include "rtps/header_extension.hpp"

#include <gtest/gtest.h>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

std::vector<std::byte> parameters_filling(std::size_t body_length) {
  ParameterList list;
  list.push(pid::user_data, testing::filled(body_length - 8, 0x55));
  return *encode_bytes(list, true);
}

TEST(HeaderExtension, BodyIsCappedAt16384Bytes) {
  EXPECT_TRUE(decode_bytes<HeaderExtension>(parameters_filling(16384), true, std::uint8_t{0x81}));
  EXPECT_EQ(decode_bytes<HeaderExtension>(concat({parameters_filling(16384), bytes({0})}), true,
                                          std::uint8_t{0x81})
                .error(),
            CodecError::resource_limit("HE body exceeds MAX_HE_LENGTH"));

  HeaderExtension he;
  he.parameters.emplace().push(pid::user_data, testing::filled(16384 - 8, 0x55));
  EXPECT_TRUE(encode_body(he, he.little_endian));
  he.parameters->parameters[0].value.resize(16384 - 4);
  EXPECT_EQ(encode_body(he, he.little_endian).error(),
            CodecError::resource_limit("HE body exceeds MAX_HE_LENGTH"));
}

TEST(HeaderExtension, TrailingBytesNeedTheParameterFlag) {
  EXPECT_EQ(decode_bytes<HeaderExtension>(bytes({1, 0, 0, 0, 9}), true, std::uint8_t{0x03}).error(),
            CodecError::malformed("HE trailing bytes without P-flag"));
  // With P the rest must be a whole list, and bytes after its sentinel are ignored.
  auto he = decode_bytes<HeaderExtension>(bytes({1, 0, 0, 0, 0x01, 0x00, 0x00, 0x00, 9}), true,
                                          std::uint8_t{0x83});
  ASSERT_TRUE(he);
  EXPECT_EQ(he->message_length, 1u);
  EXPECT_TRUE(he->parameters->empty());
}

TEST(HeaderExtension, ParametersMustBeUnderstood) {
  EXPECT_EQ(decode_bytes<HeaderExtension>(bytes({0x04, 0x40, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}),
                                          true, std::uint8_t{0x81})
                .error(),
            CodecError::malformed("ParameterList contains unknown must-understand PID"));
}

}  // namespace
}  // namespace nimbrel::rtps
