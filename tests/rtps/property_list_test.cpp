#include "rtps/property_list.hpp"

#include <gtest/gtest.h>

#include <string>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace testing;

// clang-format off
const std::vector<std::byte> golden_le = bytes({
    0x01, 0x00, 0x00, 0x00,              // property count 1
    0x02, 0x00, 0x00, 0x00, 'a', 0x00,   // name "a"
    0x00, 0x00,                          // padding
    0x02, 0x00, 0x00, 0x00, 'b', 0x00,   // value "b"
    0x00, 0x00,                          // padding
    0x00, 0x00, 0x00, 0x00});            // binary count 0
const std::vector<std::byte> golden_be = bytes({
    0x00, 0x00, 0x00, 0x01,              // property count 1
    0x00, 0x00, 0x00, 0x02, 'a', 0x00,   // name "a"
    0x00, 0x00,                          // padding
    0x00, 0x00, 0x00, 0x02, 'b', 0x00,   // value "b"
    0x00, 0x00,                          // padding
    0x00, 0x00, 0x00, 0x00});            // binary count 0
// clang-format on

const WirePropertyList golden_list{{{"a", "b"}}};

class PropertyListGolden : public ::testing::TestWithParam<bool> {
 protected:
  bool le() const { return GetParam(); }
  const std::vector<std::byte>& golden() const { return le() ? golden_le : golden_be; }
};

TEST_P(PropertyListGolden, EncodesAndDecodes) {
  EXPECT_EQ(encode_bytes(golden_list, le()), golden());
  EXPECT_EQ(decode_bytes<WirePropertyList>(golden(), le()), golden_list);
}

TEST_P(PropertyListGolden, EveryTruncationGivesItsError) {
  // A cut into padding reports the next field where it was due.
  const testing::Cuts cuts = {{0, CodecError::eof(4, 0)},   {4, CodecError::eof(4, 4)},
                              {8, CodecError::eof(2, 8)},   {10, CodecError::eof(4, 12)},
                              {12, CodecError::eof(4, 12)}, {16, CodecError::eof(2, 16)},
                              {18, CodecError::eof(4, 20)}};
  testing::expect_every_cut_fails(
      golden(), [&](auto cut) { return decode_bytes<WirePropertyList>(cut, le()); },
      [&](std::size_t length) { return testing::cut_at(cuts, length); });
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, PropertyListGolden, ::testing::Bool());

TEST(WirePropertyList, BinaryPropertiesAreCheckedAndDropped) {
  // clang-format off
  const auto input = bytes({
      0x01, 0x00, 0x00, 0x00,                          // property count 1
      0x03, 0x00, 0x00, 0x00, 'k', '1', 0x00, 0x00,    // name "k1", padding
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // value "", padding
      0x02, 0x00, 0x00, 0x00,                          // binary count 2
      0x02, 0x00, 0x00, 0x00, 'b', 0x00, 0x00, 0x00,   // name "b", padding
      0x03, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0x00,  // value length 3, bytes, padding
      0x02, 0x00, 0x00, 0x00, 'c', 0x00, 0x00, 0x00,   // name "c", padding
      0x00, 0x00, 0x00, 0x00});                        // empty value
  // clang-format on
  EXPECT_EQ(decode_bytes<WirePropertyList>(input, true), (WirePropertyList{{{"k1", ""}}}));
  // The last binary value may end without its padding; a short value may not.
  // clang-format off
  const auto unpadded = bytes({0x00, 0x00, 0x00, 0x00,                          // no strings
                               0x01, 0x00, 0x00, 0x00,                          // binary count 1
                               0x02, 0x00, 0x00, 0x00, 'b', 0x00, 0x00, 0x00,   // name "b"
                               0x03, 0x00, 0x00, 0x00, 0xAA, 0xBB, 0xCC});      // length 3, bytes
  // clang-format on
  EXPECT_EQ(decode_bytes<WirePropertyList>(unpadded, true), WirePropertyList{});
  EXPECT_EQ(decode_bytes<WirePropertyList>(std::span(input).first(38), true).error(),
            CodecError::eof(3, 36));
}

std::vector<std::byte> counts(std::uint32_t strings, std::uint32_t binaries) {
  std::vector<std::byte> out;
  WireWriter w(out, /*little_endian=*/true);
  w.write_u32(strings);
  for (std::uint32_t i = 0; i < strings; ++i) {
    w.write_u32(1);  // ""
    w.write_u32(0);
    w.write_u32(1);
    w.write_u32(0);
  }
  w.write_u32(binaries);
  for (std::uint32_t i = 0; i < binaries; ++i) {
    w.write_u32(1);
    w.write_u32(0);
    w.write_u32(0);  // empty value
  }
  return out;
}

TEST(WirePropertyList, CountsAreCappedAt1024) {
  auto at_cap = decode_bytes<WirePropertyList>(counts(1024, 1024), true);
  ASSERT_TRUE(at_cap);
  EXPECT_EQ(at_cap->properties.size(), 1024u);
  EXPECT_EQ(decode_bytes<WirePropertyList>(counts(1025, 0), true).error(),
            CodecError::resource_limit("PropertyList: count exceeds MAX_PROPERTIES"));
  EXPECT_EQ(decode_bytes<WirePropertyList>(counts(0, 1025), true).error(),
            CodecError::resource_limit("PropertyList: binary count exceeds MAX_PROPERTIES"));
  // A hostile count with nothing behind it fails on the first missing string.
  EXPECT_EQ(decode_bytes<WirePropertyList>(bytes({0x00, 0x04, 0, 0}), true).error(),
            CodecError::eof(4, 4));

  WirePropertyList list;
  list.properties.resize(1024);
  EXPECT_TRUE(encode_bytes(list, true));
  list.properties.resize(1025);
  EXPECT_EQ(encode_bytes(list, true).error(),
            CodecError::resource_limit("PropertyList: exceeds MAX_PROPERTIES"));
}

TEST(WirePropertyList, BinaryValuesAreCappedAt65536) {
  const auto binary_of = [](std::uint32_t length) {
    std::vector<std::byte> input;
    WireWriter w(input, /*little_endian=*/true);
    for (std::uint32_t v : {0u, 1u, 1u, 0u, length})  // no strings, one binary named ""
      w.write_u32(v);
    w.write_zeros(length);
    return input;
  };
  EXPECT_EQ(decode_bytes<WirePropertyList>(binary_of(65536), true), WirePropertyList{});
  EXPECT_EQ(decode_bytes<WirePropertyList>(binary_of(65537), true).error(),
            CodecError::resource_limit("PropertyList: binary value exceeds cap"));
}

TEST(WirePropertyList, StringLengthCapsDifferByOneBetweenEncoderAndDecoder) {
  const WirePropertyList longest_decodable{{{"n", std::string(65535, 'x')}}};
  auto encoded = encode_bytes(longest_decodable, true);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(decode_bytes<WirePropertyList>(*encoded, true), longest_decodable);

  const WirePropertyList encodable_only{{{std::string(65536, 'x'), "v"}}};
  encoded = encode_bytes(encodable_only, true);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(decode_bytes<WirePropertyList>(*encoded, true).error(),
            CodecError::resource_limit("CDR string exceeds MAX_PROPERTY_STRING_LEN"));

  const WirePropertyList too_long{{{"n", std::string(65537, 'x')}}};
  EXPECT_EQ(encode_bytes(too_long, true).error(),
            CodecError::resource_limit("PropertyList: string exceeds MAX_PROPERTY_STRING_LEN"));
}

TEST(WirePropertyList, InnerNulIsRejectedBeforeAnythingOfThePropertyIsWritten) {
  const WirePropertyList list{{{"ok", "fine"}, {"a", std::string("b\0c", 3)}}};
  EXPECT_EQ(encode_bytes(list, true).error(),
            CodecError::malformed("PropertyList: string contains inner null byte"));
}

// The text read and the offset just past its NUL.
struct StringRead {
  std::string value;
  std::size_t end = 0;
};

struct StringCase {
  std::string name;
  std::vector<std::byte> input;
  std::size_t offset;
  CodecResult<StringRead> expected;
};

void PrintTo(const StringCase& c, std::ostream* os) {
  *os << c.name;
}

class CdrString : public ::testing::TestWithParam<StringCase> {};

TEST_P(CdrString, DecodesOrFailsAsExpected) {
  const auto& c = GetParam();
  WireReader r(c.input, /*little_endian=*/true);
  r.seek(c.offset);
  auto got = read_property_string(r);
  ASSERT_EQ(got.has_value(), c.expected.has_value());
  if (got) {
    EXPECT_EQ(*got, c.expected->value);
    EXPECT_EQ(r.position(), c.expected->end);
  } else {
    EXPECT_EQ(got.error(), c.expected.error());
  }
}

CodecResult<StringRead> fails(CodecError e) {
  return std::unexpected(e);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CdrString,
    ::testing::Values(
        StringCase{"Plain", bytes({9, 3, 0, 0, 0, 'h', 'i', 0}), 1, StringRead{"hi", 8}},
        StringCase{"Utf8", bytes({3, 0, 0, 0, 0xC3, 0xA9, 0}), 0, StringRead{"\xC3\xA9", 7}},
        StringCase{"ShortLength", bytes({9, 3, 0, 0}), 1, fails(CodecError::eof(4, 1))},
        StringCase{"OffsetPastEnd", bytes({1}), 8, fails(CodecError::eof(4, 8))},
        StringCase{"ZeroLength", bytes({0, 0, 0, 0}), 0,
                   fails(CodecError::malformed("CDR string length 0 (missing null terminator)"))},
        StringCase{"OverCap", bytes({0x01, 0x00, 0x01, 0x00}), 0,
                   fails(CodecError::resource_limit("CDR string exceeds MAX_PROPERTY_STRING_LEN"))},
        StringCase{"ShortText", bytes({9, 4, 0, 0, 0, 'h', 'i'}), 1, fails(CodecError::eof(4, 5))},
        StringCase{"NoTerminator", bytes({2, 0, 0, 0, 'h', 'i'}), 0,
                   fails(CodecError::malformed("CDR string missing null terminator"))},
        StringCase{"NotUtf8", bytes({3, 0, 0, 0, 0xC3, 0x28, 0}), 0,
                   fails(CodecError::malformed("CDR string is not valid UTF-8"))}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(CdrString, WritesLengthTextAndNulWithoutAlignment) {
  std::vector<std::byte> out = bytes({0xAA});
  WireWriter w(out, /*little_endian=*/false);
  ASSERT_TRUE(w.write_cdr_string("ab"));
  EXPECT_EQ(out, bytes({0xAA, 0, 0, 0, 3, 'a', 'b', 0}));
}

}  // namespace
}  // namespace nimbrel::rtps
