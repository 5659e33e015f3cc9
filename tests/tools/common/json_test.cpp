#include "tools/common/json.hpp"

#include <gtest/gtest.h>

#include <span>

namespace nimbrel::tools {
namespace {

TEST(Json, StringsStayValidWhateverTheBytes) {
  EXPECT_EQ(json_string("a\x01\xc3\xa9\xff\xe2\x82"), "\"a\\u0001\xc3\xa9\\ufffd\\ufffd\\ufffd\"");
  EXPECT_EQ(to_base64(std::as_bytes(std::span("foobar", 6))), "Zm9vYmFy");
  EXPECT_EQ(to_base64(std::as_bytes(std::span("fooba", 5))), "Zm9vYmE=");
}

struct NameCase {
  std::string_view raw;
  std::string_view escaped;
  std::string_view lossy;
};

TEST(Names, EscapedForTerminalsAndMadeUtf8) {
  // clang-format off
  const NameCase cases[] = {
      {"plain/name_1 \xc3\xa9", "plain/name_1 \xc3\xa9", "plain/name_1 \xc3\xa9"},
      {"a\nend: clean", "a\\nend: clean", "a\nend: clean"},           // a line of its own
      {"\x1b[2J\\\t\x7f", "\\x1b[2J\\\\\\t\\x7f", "\x1b[2J\\\t\x7f"},  // escape codes
      {"\xc2\x9b" "31m", "\\u009b" "31m", "\xc2\x9b" "31m"},         // C1 control introducer
      {"x\xff\xe2\x82", "x\\xff\\xe2\\x82", "x\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(text_escape(c.raw), c.escaped);
    EXPECT_EQ(utf8_lossy(c.raw), c.lossy);
  }
}

}  // namespace
}  // namespace nimbrel::tools
