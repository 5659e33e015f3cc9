#include "foundation/codec_error.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

using K = CodecError::Kind;

TEST(CodecError, EachKindSaysWhatItAlwaysSaid) {
  const std::pair<CodecError, const char*> cases[] = {
      {CodecError::eof(8, 12), "unexpected end of input: needed 8 bytes at offset 12"},
      {{.kind = K::BadMagic, .magic = {'R', 'T', 'P', 'X'}}, "bad magic: 52545058"},
      {CodecError::malformed("x", 3), "malformed: x"},
      {{.kind = K::UnsupportedEncapsulation, .encapsulation = {0, 1}},
       "unsupported encapsulation: 0001"},
      {{.kind = K::InvalidLocatorKind, .value = -5}, "invalid locator kind: -5"},
      {CodecError::unsupported("y"), "unsupported: y"},
      {CodecError::resource_limit("z"), "resource limit: z"},
      {CodecError::backpressure("w"), "backpressure: w"},
      {{.kind = K::InvalidUtf8, .offset = 4}, "invalid UTF-8 at offset 4"},
      {CodecError::with_message(K::InvalidString, "s", 2), "invalid string at offset 2: s"},
      {{.kind = K::DepthLimitExceeded, .offset = 9, .limit = 16},
       "nesting depth limit 16 exceeded at offset 9"},
      {CodecError::invalid_value(4294967295, 1), "invalid value 4294967295 at offset 1"},
      {CodecError::with_message(K::InvalidOptional, "o", 0), "invalid optional at offset 0: o"},
      {CodecError::with_message(K::InvalidElement, "eof", 7), "invalid element at offset 7: eof"},
      {CodecError::out_of_range("CDR string length exceeds u32::MAX"),
       "CDR string length exceeds u32::MAX"},
      {CodecError::rejected("token: truncated u32", 5), "token: truncated u32"},
  };
  for (const auto& [error, text] : cases)
    EXPECT_EQ(to_string(error), text);
}

TEST(CodecError, EqualityIgnoresAnOffsetTheTextLeavesOut) {
  EXPECT_EQ(CodecError::malformed("x", 3), CodecError::malformed("x"));
  EXPECT_NE(CodecError::malformed("x"), CodecError::unsupported("x"));
  EXPECT_NE(CodecError::eof(4, 0), CodecError::eof(4, 1));
  EXPECT_NE(CodecError::out_of_range("x"), CodecError::rejected("x"));
}

}  // namespace
}  // namespace nimbrel
