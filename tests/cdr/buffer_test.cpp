#include "cdr/buffer.hpp"

#include <gtest/gtest.h>

#include "foundation/bytes_test_util.hpp"

namespace nimbrel::cdr {
namespace {

using testing::bytes;

TEST(BufferWriter, PadsPrimitivesToTheirSizeWithZeros) {
  BufferWriter w(/*little_endian=*/true);
  w.write_bytes(bytes({0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
  w.write_u32(0x01020304);
  EXPECT_EQ(w.bytes(), bytes({0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0, 0, 0, 4, 3, 2, 1}));

  BufferWriter w16(/*little_endian=*/false);
  w16.write_bytes(bytes({0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
  w16.write_u16(0x0102);
  w16.write_u64(0x0102030405060708);
  EXPECT_EQ(w16.bytes(), bytes({0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0, 1, 2, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(BufferWriter, StringsCountTheirTerminator) {
  BufferWriter w(/*little_endian=*/true);
  ASSERT_TRUE(w.write_string(""));
  w.write_u8(7);
  ASSERT_TRUE(w.write_string("ab"));
  // clang-format off
  EXPECT_EQ(w.bytes(), bytes({
      1, 0, 0, 0, 0,        // empty string: length 1, NUL
      7,                    // one byte
      0, 0,                 // pad to 4
      3, 0, 0, 0, 'a', 'b', 0}));
  // clang-format on
  BufferReader r(w.bytes(), /*little_endian=*/true);
  EXPECT_EQ(r.read_string(), "");
  EXPECT_EQ(r.read_u8(), 7);
  EXPECT_EQ(r.read_string(), "ab");
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(BufferReader, ByteOrderFollowsConstruction) {
  auto be = bytes({0, 0, 0, 0x2A});
  auto le = bytes({0x2A, 0, 0, 0});
  EXPECT_EQ(BufferReader(be, false).read_u32(), 42u);
  EXPECT_EQ(BufferReader(le, true).read_u32(), 42u);
  auto neg = bytes({0xFE, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(BufferReader(neg, true).read_i32(), -2);
}

TEST(BufferReader, EndOfInputReportsNeededAndOffset) {
  auto three = bytes({1, 2, 3});
  BufferReader r(three, true);
  EXPECT_EQ(r.read_u32().error(), CodecError::eof(4, 0));

  // Padding that does not fit leaves the position where it was.
  BufferReader pad(three, true);
  ASSERT_TRUE(pad.read_u8());
  EXPECT_EQ(pad.read_u32().error(), CodecError::eof(3, 1));
  EXPECT_EQ(pad.position(), 1u);

  // Padding that fits stays skipped when the primitive does not.
  auto five = bytes({1, 2, 3, 4, 5});
  BufferReader skipped(five, true);
  ASSERT_TRUE(skipped.read_bytes(3));
  EXPECT_EQ(skipped.read_u32().error(), CodecError::eof(4, 4));
  EXPECT_EQ(skipped.position(), 4u);

  EXPECT_EQ(BufferReader(three, true).read_bytes(4).error(), CodecError::eof(4, 0));
}

TEST(BufferReader, RejectsBadStrings) {
  using K = CodecError::Kind;
  struct Case {
    std::vector<std::byte> input;
    CodecError expected;
  };
  const Case cases[] = {
      {bytes({0, 0, 0, 0}),
       {.kind = K::InvalidString,
        .offset = 0,
        .message = "length must be > 0 (null terminator required)"}},
      {bytes({2, 0, 0, 0, 'a', 'b'}),
       {.kind = K::InvalidString, .offset = 0, .message = "missing null terminator"}},
      {bytes({3, 0, 0, 0, 0xC3, 0x28, 0}), {.kind = K::InvalidUtf8, .offset = 4}},
      {bytes({9, 0, 0, 0, 'a', 0}), CodecError::eof(9, 4)},
      {bytes({9, 0}), CodecError::eof(4, 0)},
  };
  for (const auto& c : cases) {
    BufferReader r(c.input, true);
    EXPECT_EQ(r.read_string().error(), c.expected) << to_string(c.expected);
  }
  // The offset is that of the string, before its padding.
  auto padded = bytes({7, 0, 0, 0, 0, 0, 0, 0});
  BufferReader r(padded, true);
  ASSERT_TRUE(r.read_u8());
  EXPECT_EQ(r.read_string().error(),
            (CodecError{.kind = K::InvalidString,
                        .offset = 1,
                        .message = "length must be > 0 (null terminator required)"}));
}

TEST(Utf8, AcceptsWellFormedAndRejectsOverlongsAndSurrogates) {
  EXPECT_TRUE(is_valid_utf8(bytes({'a', 0xC2, 0xA7, 0xE2, 0x86, 0x92, 0xF0, 0x9F, 0x98, 0x80})));
  EXPECT_FALSE(is_valid_utf8(bytes({0xC0, 0x80})));              // overlong NUL
  EXPECT_FALSE(is_valid_utf8(bytes({0xED, 0xA0, 0x80})));        // surrogate
  EXPECT_FALSE(is_valid_utf8(bytes({0xF4, 0x90, 0x80, 0x80})));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8(bytes({0xE2, 0x86})));              // truncated
  EXPECT_FALSE(is_valid_utf8(bytes({0x80})));                    // lone continuation
}

}  // namespace
}  // namespace nimbrel::cdr
