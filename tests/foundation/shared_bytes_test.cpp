#include "foundation/shared_bytes.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values)
    out.push_back(static_cast<std::byte>(v));
  return out;
}

TEST(SharedBytes, AdoptKeepsTheStorageAndSlicesShareIt) {
  auto source = bytes({1, 2, 3, 4, 5});
  const std::byte* storage = source.data();
  auto shared = SharedBytes::adopt(std::move(source));
  EXPECT_EQ(shared.data(), storage);
  auto middle = shared.slice(1, 3);
  EXPECT_EQ(middle.data(), storage + 1);
  EXPECT_EQ(middle.size(), 3u);
  EXPECT_TRUE(middle.shares_storage_with(shared));
  EXPECT_EQ(middle, SharedBytes::copy_of(bytes({2, 3, 4})));
  EXPECT_EQ(middle.slice(1), SharedBytes::copy_of(bytes({3, 4})));
}

TEST(SharedBytes, SliceOutlivesTheOriginalHandle) {
  SharedBytes tail;
  {
    auto shared = SharedBytes::adopt(bytes({9, 8, 7}));
    tail = shared.slice(2, 1);
  }
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail.data()[0], std::byte{7});
}

TEST(SharedBytes, SlicesAreClampedToTheBuffer) {
  auto shared = SharedBytes::adopt(bytes({1, 2, 3}));
  EXPECT_EQ(shared.slice(2, 100).size(), 1u);
  EXPECT_TRUE(shared.slice(3, 1).empty());
  EXPECT_TRUE(shared.slice(100).empty());
  EXPECT_TRUE(SharedBytes::adopt({}).empty());
}

}  // namespace
}  // namespace nimbrel
