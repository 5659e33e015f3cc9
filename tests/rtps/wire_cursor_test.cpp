#include "rtps/wire_cursor.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "rtps/wire_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using testing::bytes;

TEST(WireReader, FailedReadConsumesNothing) {
  const auto input = bytes({1, 2, 3, 4, 5, 6, 7});
  WireReader r(input, /*little_endian=*/true);
  ASSERT_EQ(r.read_u16(), 0x0201u);
  EXPECT_EQ(r.read_sequence_number().error(), CodecError::eof(8, 2));
  EXPECT_EQ(r.read_locator().error(), CodecError::eof(24, 2));
  EXPECT_EQ(r.position(), 2u);
  EXPECT_EQ(r.read_u32(), 0x06050403u);
}

TEST(WireReader, SequenceNumberHasASignedHighHalf) {
  // clang-format off
  const auto input = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF,   // -2
                            0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00});  // INT64_MIN
  // clang-format on
  WireReader r(input, /*little_endian=*/true);
  EXPECT_EQ(r.read_sequence_number(), -2);
  EXPECT_EQ(r.read_sequence_number(), std::numeric_limits<SequenceNumber>::min());
  std::vector<std::byte> out;
  WireWriter w(out, /*little_endian=*/true);
  w.write_sequence_number(-2);
  w.write_sequence_number(std::numeric_limits<SequenceNumber>::min());
  EXPECT_EQ(out, input);
}

TEST(WireReader, AlignStopsAtTheEnd) {
  const auto input = bytes({1, 2, 3, 4, 5, 6});
  WireReader r(input, /*little_endian=*/false);
  r.seek(5);
  r.align(4);
  EXPECT_EQ(r.position(), 6u);
  EXPECT_EQ(r.read_u8().error(), CodecError::eof(1, 6));
  r.seek(1);
  r.align(4);
  EXPECT_EQ(r.read_u16(), 0x0506u);
}

TEST(WireReader, WindowsCountFromTheirStartAndShareTheBuffer) {
  const auto shared = SharedBytes::copy_of(bytes({9, 1, 2, 3, 4, 5}));
  WireReader r(shared, /*little_endian=*/true);
  ASSERT_EQ(r.read_u8(), 9u);
  WireReader window = r.window(4, /*little_endian=*/false);
  EXPECT_EQ(r.position(), 1u);  // the outer reader stays
  EXPECT_EQ(window.read_u16(), 0x0102u);
  EXPECT_EQ(window.read_u32().error(), CodecError::eof(4, 2));
  const auto view = window.read_shared(2);
  ASSERT_TRUE(view);
  EXPECT_EQ(*view, SharedBytes::copy_of(bytes({3, 4})));
  EXPECT_TRUE(view->shares_storage_with(shared));
  EXPECT_EQ(r.with_byte_order(false).read_u16(), 0x0102u);
  // Over a plain span there is no buffer to share: the view is a copy.
  const auto plain = bytes({1, 2});
  WireReader copy(plain, true);
  EXPECT_FALSE(copy.read_shared(2)->shares_storage_with(shared));
}

TEST(WireWriter, PadsRelativeToAnOriginAndPatchesInItsByteOrder) {
  std::vector<std::byte> out = bytes({0xEE, 0xEE});
  WireWriter w(out, /*little_endian=*/false);
  const std::size_t length_at = w.size();
  w.write_u16(0);
  w.write_u8(7);
  w.pad_to(4, /*origin=*/2);
  w.patch_u16(length_at, 0x0102);
  EXPECT_EQ(out, bytes({0xEE, 0xEE, 0x01, 0x02, 7, 0}));
  WireWriter le(out, /*little_endian=*/true);
  le.patch_u16(length_at, 0x0102);
  EXPECT_EQ(out, bytes({0xEE, 0xEE, 0x02, 0x01, 7, 0}));
}

}  // namespace
}  // namespace nimbrel::rtps
