#include "tools/common/args.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace nimbrel::tools {
namespace {

TEST(SplitDuration, TakesTheUnitOffTheEnd) {
  struct Case {
    std::string_view text, number, unit;
    std::uint64_t unit_ms;
  };
  const Case cases[] = {
      {"250", "250", "", 1},    {"250ms", "250", "ms", 1}, {"3s", "3", "s", 1000},
      {"ms", "", "ms", 1},      {"5m", "5m", "", 1},       {"", "", "", 1},
      {"2 s", "2 ", "s", 1000},
  };
  for (const auto& c : cases) {
    const auto d = split_duration(c.text);
    EXPECT_EQ(d.number, c.number) << c.text;
    EXPECT_EQ(d.unit, c.unit) << c.text;
    EXPECT_EQ(d.unit_ms, c.unit_ms) << c.text;
  }
}

TEST(ParseNumber, TakesTheWholeTextOrNothing) {
  EXPECT_EQ(parse_number<std::uint32_t>("4294967295"), 4294967295u);
  EXPECT_EQ(parse_number<std::uint32_t>("4294967296"), std::nullopt);
  for (const auto* bad : {"", " 7", "7 ", "+7", "-1", "7x"})
    EXPECT_EQ(parse_number<std::uint32_t>(bad), std::nullopt) << '"' << bad << '"';
  EXPECT_EQ(parse_number<double>("0.5"), 0.5);
}

}  // namespace
}  // namespace nimbrel::tools
