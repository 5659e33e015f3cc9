#include "tools/common/ctrl_c.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace nimbrel::tools {
namespace {

std::shared_ptr<std::atomic<bool>> new_flag() {
  return std::make_shared<std::atomic<bool>>(false);
}

// The process lives on, and the flag outlives the caller's reference to it.
TEST(CtrlC, SigintSetsTheInstalledFlag) {
  auto stop = new_flag();
  const std::weak_ptr<std::atomic<bool>> watch = stop;
  ctrl_c_install(std::move(stop));
  ASSERT_FALSE(watch.expired());
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(watch.lock()->load());
}

TEST(CtrlC, SigintFromOutsideReachesTheFlag) {
  const auto stop = new_flag();
  ctrl_c_install(stop);
  std::thread([] { ::kill(::getpid(), SIGINT); }).join();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!stop->load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(stop->load());
}

TEST(CtrlC, ALaterInstallRedirectsSigintToItsFlag) {
  const auto first = new_flag();
  const auto second = new_flag();
  ctrl_c_install(first);
  ctrl_c_install(second);
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_FALSE(first->load());
  EXPECT_TRUE(second->load());
}

}  // namespace
}  // namespace nimbrel::tools
