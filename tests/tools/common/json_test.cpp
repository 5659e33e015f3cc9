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

}  // namespace
}  // namespace nimbrel::tools
