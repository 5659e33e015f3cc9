#include "foundation/md5.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "foundation/hex.hpp"

namespace nimbrel {
namespace {

struct Vector {
  std::string input;
  std::string_view digest;
};

// RFC 1321's suite, plus lengths around the one- and two-block padding edges.
const Vector vectors[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
    {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
};

TEST(Md5, MatchesKnownDigests) {
  for (const Vector& v : vectors) {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(v.input.data()), v.input.size());
    EXPECT_EQ(to_hex(md5(bytes)), v.digest) << "length " << v.input.size();
  }
}

}  // namespace
}  // namespace nimbrel
