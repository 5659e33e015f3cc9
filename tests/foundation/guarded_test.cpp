#include "foundation/guarded.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace nimbrel {
namespace {

TEST(Guarded, ExceptionInsideTheScopeOrAnExplicitPoisonPoisonsForEveryLaterLock) {
  Guarded<int> value(std::in_place, 1);
  try {
    auto guard = value.lock();
    ASSERT_TRUE(guard);
    **guard = 2;
    throw std::runtime_error("half-way");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(value.lock());
  EXPECT_FALSE(value.lock());

  Guarded<int> poisoned;
  poisoned.poison();
  EXPECT_FALSE(poisoned.lock());
}

TEST(Guarded, GuardCreatedDuringUnwindingPoisonsOnlyForItsOwnException) {
  // A guard taken in a destructor during unwinding must not poison when left normally.
  Guarded<int> value;
  struct UsesLockInDestructor {
    Guarded<int>* v;
    ~UsesLockInDestructor() {
      auto guard = v->lock();
      if (guard) **guard += 1;
    }
  };
  try {
    UsesLockInDestructor user{&value};
    throw std::runtime_error("unwind");
  } catch (const std::runtime_error&) {
  }
  auto guard = value.lock();
  ASSERT_TRUE(guard);
  EXPECT_EQ(**guard, 1);
}

TEST(Guarded, SerialisesConcurrentUpdates) {
  Guarded<long> counter;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i)
        **counter.lock() += 1;
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(**counter.lock(), 40000);
}

}  // namespace
}  // namespace nimbrel
