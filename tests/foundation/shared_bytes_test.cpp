#include "foundation/shared_bytes.hpp"

#include <gtest/gtest.h>

#include "foundation/bytes_test_util.hpp"

namespace nimbrel {
namespace {

using testing::bytes;

TEST(SharedBytes, AdoptKeepsTheStorageAndSlicesShareIt) {
  auto source = bytes({1, 2, 3, 4, 5});
  const std::byte* storage = source.data();
  auto shared = SharedBytes::adopt(std::move(source));
  EXPECT_EQ(shared.data(), storage);
  auto middle = shared.slice(1, 3);
  EXPECT_EQ(middle.data(), storage + 1);
  EXPECT_TRUE(middle.shares_storage_with(shared));
  EXPECT_EQ(middle, SharedBytes::copy_of(bytes({2, 3, 4})));
  EXPECT_EQ(middle.slice(1), SharedBytes::copy_of(bytes({3, 4})));
}

// Clamped to the buffer, and alive after the original handle is gone.
TEST(SharedBytes, SlicesAreClampedAndOutliveTheOriginalHandle) {
  SharedBytes tail;
  {
    auto shared = SharedBytes::adopt(bytes({1, 2, 3}));
    tail = shared.slice(2, 100);
    EXPECT_TRUE(shared.slice(3, 1).empty());
    EXPECT_TRUE(shared.slice(100).empty());
  }
  EXPECT_EQ(tail, SharedBytes::copy_of(bytes({3})));
  EXPECT_TRUE(SharedBytes::adopt({}).empty());
}

}  // namespace
}  // namespace nimbrel
