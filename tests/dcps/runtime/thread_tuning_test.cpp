#include "dcps/runtime/thread_tuning.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace nimbrel::dcps {
namespace {

// Runs the tuning on a thread of its own so that the test process keeps its scheduling.
std::vector<std::string> tune_fresh_thread(std::optional<std::int32_t> priority,
                                           std::optional<std::vector<std::size_t>> cpus,
                                           std::vector<std::size_t>* applied = nullptr) {
  std::vector<std::string> printed;
  std::thread([&] {
    printed = apply_thread_tuning("tick", priority, cpus);
    if (applied == nullptr) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &set)) applied->push_back(cpu);
    }
  }).join();
  return printed;
}

std::size_t first_allowed_cpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) return cpu;
  }
  return 0;
}

// Without CAP_SYS_NICE and with an RLIMIT_RTPRIO of 0, as for an ordinary user.
void become_unprivileged() {
  const rlimit no_rt{0, 0};
  if (setrlimit(RLIMIT_RTPRIO, &no_rt) != 0) std::_Exit(3);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[2]{};
  if (syscall(SYS_capget, &header, caps) != 0) std::_Exit(4);
  const auto nice_bit = 1u << CAP_SYS_NICE;
  caps[0].effective &= ~nice_bit;
  caps[0].permitted &= ~nice_bit;
  caps[0].inheritable &= ~nice_bit;
  if (syscall(SYS_capset, &header, caps) != 0) std::_Exit(5);
}

TEST(ThreadTuningTest, UnprivilegedPriorityIsReportedAndTheThreadRunsOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        become_unprivileged();
        const auto printed = apply_thread_tuning("recv-meta", 10, std::nullopt);
        std::_Exit(printed.size() == 1 ? 0 : 6);
      },
      ::testing::ExitedWithCode(0),
      ::testing::HasSubstr("nbrl[recv-meta]: pthread_setschedparam SCHED_FIFO 10 failed (rc=1). "
                           "Need CAP_SYS_NICE or RLIMIT_RTPRIO.\n"));
}

TEST(ThreadTuningTest, CpusFrom1024OnAreLeftOutAndAnEmptySetIsReported) {
  const std::size_t cpu = first_allowed_cpu();
  std::vector<std::size_t> applied;
  EXPECT_TRUE(
      tune_fresh_thread(std::nullopt, std::vector<std::size_t>{cpu, 1024, 5000}, &applied).empty());
  EXPECT_EQ(applied, std::vector<std::size_t>{cpu});
  EXPECT_EQ(tune_fresh_thread(std::nullopt, std::vector<std::size_t>{1024, 4096}),
            std::vector<std::string>{"nbrl[tick]: sched_setaffinity([1024, 4096]) failed."});
}

}  // namespace
}  // namespace nimbrel::dcps
