#include "rtps/data_representation.hpp"

#include <gtest/gtest.h>

#include <string>

#include "rtps/records_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using data_representation::Negotiation;
using testing::bytes;
using Ids = std::vector<std::int16_t>;

struct NegotiateCase {
  const char* name;
  Ids writer;
  Ids reader;
  bool search;
  Negotiation expected;
};

class Negotiate : public ::testing::TestWithParam<NegotiateCase> {};

TEST_P(Negotiate, PicksTheRepresentation) {
  const auto& c = GetParam();
  EXPECT_EQ(data_representation::negotiate(c.writer, c.reader, c.search), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Negotiate,
    ::testing::Values(
        NegotiateCase{"both_empty_mean_xcdr1", {}, {}, false, {true, 0}},
        NegotiateCase{"empty_writer_offers_xcdr1", {}, {0, 2}, false, {true, 0}},
        NegotiateCase{"empty_reader_accepts_xcdr1_only", {2}, {}, true, {false, 2}},
        NegotiateCase{"first_only_without_search", {2, 0}, {0}, false, {false, 2}},
        NegotiateCase{"search_finds_the_second", {2, 0}, {0}, true, {true, 0}},
        NegotiateCase{"search_keeps_the_writers_order", {0, 2}, {2, 0}, true, {true, 0}},
        NegotiateCase{"first_accepted_without_search", {2, 0}, {0, 2}, false, {true, 2}},
        NegotiateCase{"failed_search_reports_the_last", {1, 2, 5}, {0}, true, {false, 5}},
        NegotiateCase{"empty_reader_and_xcdr1_writer", {0, 2}, {}, false, {true, 0}}),
    [](const auto& test) { return std::string(test.param.name); });

std::vector<std::byte> written(std::span<const std::int16_t> ids) {
  std::vector<std::byte> out;
  WireWriter w(out, /*little_endian=*/true);
  EXPECT_TRUE(data_representation::write_list(w, ids));
  return out;
}

Ids read(std::span<const std::byte> value, bool little_endian) {
  WireReader r(value, little_endian);
  return data_representation::read_list(r);
}

TEST(DataRepresentationList, GoldenLittleEndian) {
  // clang-format off
  const auto golden = bytes({
      0x02, 0x00, 0x00, 0x00,  // count 2
      0x00, 0x00,              // XCDR1
      0x02, 0x00});            // XCDR2
  // clang-format on
  EXPECT_EQ(written(Ids{0, 2}), golden);
  EXPECT_EQ(read(golden, true), (Ids{0, 2}));
  EXPECT_EQ(written(Ids{}), bytes({0, 0, 0, 0}));
}

TEST(DataRepresentationList, DecodesLeniently) {
  const std::vector<std::pair<std::vector<std::byte>, Ids>> cases = {
      {bytes({}), {}},
      {bytes({0x00, 0x00, 0x02}), {}},
      // Count 3 with room for one id; a trailing odd byte is not an id.
      {bytes({0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00}), {2}},
      // Count 1 with room for two.
      {bytes({0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00}), {2}},
      {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}), {-2}},
      {bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x02}), {}},
  };
  for (const auto& [value, ids] : cases) {
    EXPECT_EQ(read(value, /*little_endian=*/false), ids) << ::testing::PrintToString(value);
  }
}

}  // namespace
}  // namespace nimbrel::rtps
