// The token decoder against golden bytes: every field, every cap at its limit and one past it,
// and every error text.
#include "security/token.hpp"

#include <gtest/gtest.h>

#include <string>

#include "security/security_test_util.hpp"

namespace nimbrel::security {
namespace {

using testing::CdrBuilder;

CodecResult<DataHolder> decode(std::span<const std::byte> bytes) {
  return rtps::decode_bytes<DataHolder>(bytes, /*little_endian=*/true);
}

std::vector<std::byte> b(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values)
    out.push_back(static_cast<std::byte>(v));
  return out;
}

std::string error_of(const std::vector<std::byte>& bytes) {
  const auto decoded = decode(bytes);
  return decoded ? "ok" : to_string(decoded.error());
}

// A token with one property and one binary property.
const std::vector<std::byte> golden = b({
    // clang-format off
    4, 0, 0, 0, 'a', '/', 'b', 0,       // class id "a/b"
    1, 0, 0, 0,                         // one property
    2, 0, 0, 0, 'k', 0, 0, 0,           // name "k", padded to 4
    3, 0, 0, 0, 'v', 'w', 0, 0,         // value "vw", padded
    1, 0, 0, 0,                         // one binary property
    2, 0, 0, 0, 'c', 0, 0, 0,           // name "c"
    3, 0, 0, 0, 0xDE, 0xAD, 0xBE,       // value: 3 bytes
    // clang-format on
});

TEST(Token, DecodesTheGolden) {
  const auto holder = decode(golden);
  ASSERT_TRUE(holder) << to_string(holder.error());
  EXPECT_EQ(*holder, (DataHolder{.class_id = "a/b",
                                 .properties = {{"k", "vw"}},
                                 .binary_properties = {{"c", b({0xDE, 0xAD, 0xBE})}}}));
}

TEST(Token, EveryCutOfTheGoldenFails) {
  const char* truncated_u32 = "token: truncated u32";
  for (std::size_t cut = 0; cut < golden.size(); ++cut) {
    const std::string error = error_of(std::vector(golden.begin(), golden.begin() + cut));
    const bool expected_text = error == truncated_u32 || error == "token: truncated string" ||
                               error == "token: truncated binary";
    EXPECT_TRUE(expected_text) << cut << ": " << error;
  }
  EXPECT_EQ(error_of({}), truncated_u32);
  EXPECT_EQ(error_of(std::vector(golden.begin(), golden.begin() + 6)), "token: truncated string");
}

TEST(Token, ZeroLengthStringIsTheEmptyText) {
  const auto holder = decode(CdrBuilder().u32(0).u32(0).u32(0).bytes());
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->class_id, "");
}

TEST(Token, StringErrors) {
  EXPECT_EQ(error_of(CdrBuilder().u32(2).raw({std::byte{'x'}, std::byte{'y'}}).bytes()),
            "token: string missing trailing NUL");
  EXPECT_EQ(error_of(CdrBuilder().u32(2).raw({std::byte{0xC3}, std::byte{0}}).bytes()),
            "token: string not UTF-8");
  // The longest string holds 8,191 characters and its NUL; one more is refused unread.
  const std::string longest(token::max_string_length - 1, 'x');
  EXPECT_EQ(error_of(CdrBuilder().str(longest).u32(0).u32(0).bytes()), "ok");
  EXPECT_EQ(error_of(CdrBuilder().u32(token::max_string_length + 1).bytes()),
            "token: string exceeds cap");
}

TEST(Token, PropertyCountCaps) {
  CdrBuilder at_cap;
  at_cap.u32(0).u32(token::max_properties);
  for (std::size_t i = 0; i < token::max_properties; ++i)
    at_cap.u32(0).u32(0);
  at_cap.u32(0);
  const auto holder = decode(at_cap.bytes());
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->properties.size(), token::max_properties);
  EXPECT_EQ(error_of(CdrBuilder().u32(0).u32(token::max_properties + 1).bytes()),
            "token: property count exceeds cap");
}

TEST(Token, BinaryPropertyCaps) {
  CdrBuilder at_cap;
  at_cap.u32(0).u32(0).u32(token::max_binary_properties);
  for (std::size_t i = 0; i < token::max_binary_properties; ++i)
    at_cap.u32(0).u32(0);
  EXPECT_EQ(error_of(at_cap.bytes()), "ok");
  EXPECT_EQ(error_of(CdrBuilder().u32(0).u32(0).u32(token::max_binary_properties + 1).bytes()),
            "token: binary_property count exceeds cap");

  const std::vector<std::byte> largest(token::max_binary_value, std::byte{7});
  const auto holder = decode(CdrBuilder().u32(0).u32(0).u32(1).u32(0).octets(largest).bytes());
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->binary_properties[0].value, largest);
  EXPECT_EQ(
      error_of(CdrBuilder().u32(0).u32(0).u32(1).u32(0).u32(token::max_binary_value + 1).bytes()),
      "token: binary value exceeds cap");
  EXPECT_EQ(error_of(CdrBuilder().u32(0).u32(0).u32(1).u32(0).u32(2).zeros(1).bytes()),
            "token: truncated binary");
}

TEST(Token, WholeInputCap) {
  // Trailing bytes are not read, so the cap alone decides.
  auto at_cap = CdrBuilder().u32(0).u32(0).u32(0).bytes();
  at_cap.resize(token::max_token_bytes);
  EXPECT_EQ(error_of(at_cap), "ok");
  at_cap.push_back(std::byte{0});
  EXPECT_EQ(error_of(at_cap), "token: payload exceeds DoS cap");
}

}  // namespace
}  // namespace nimbrel::security
