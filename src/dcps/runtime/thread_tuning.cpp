#include "dcps/runtime/thread_tuning.hpp"

#include <pthread.h>
#include <sched.h>

#include <cstdio>

namespace nimbrel::dcps {
namespace {

static_assert(CPU_SETSIZE >= max_affinity_cpus);

std::string cpu_list(const std::vector<std::size_t>& cpus) {
  std::string out = "[";
  for (std::size_t i = 0; i < cpus.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(cpus[i]);
  }
  out += "]";
  return out;
}

void report(std::vector<std::string>& printed, std::string message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  printed.push_back(std::move(message));
}

}  // namespace

std::vector<std::string> apply_thread_tuning(std::string_view label,
                                             std::optional<std::int32_t> priority,
                                             const std::optional<std::vector<std::size_t>>& cpus) {
  std::vector<std::string> printed;
  const std::string prefix = "nbrl[" + std::string(label) + "]: ";
  if (priority) {
    sched_param param{};
    param.sched_priority = *priority;
    const int rc = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
    if (rc != 0) {
      report(printed, prefix + "pthread_setschedparam SCHED_FIFO " + std::to_string(*priority) +
                          " failed (rc=" + std::to_string(rc) +
                          "). Need CAP_SYS_NICE or RLIMIT_RTPRIO.");
    }
  }
  if (cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const std::size_t cpu : *cpus) {
      if (cpu < max_affinity_cpus) CPU_SET(cpu, &set);
    }
    // Pid 0 is the calling thread, not the whole process.
    if (::sched_setaffinity(0, sizeof set, &set) != 0) {
      report(printed, prefix + "sched_setaffinity(" + cpu_list(*cpus) + ") failed.");
    }
  }
  return printed;
}

}  // namespace nimbrel::dcps
