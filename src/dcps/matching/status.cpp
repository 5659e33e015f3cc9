#include "dcps/matching/status.hpp"

#include <algorithm>

namespace nimbrel::dcps {
namespace {

std::int32_t saturating_increment(std::int32_t count) {
  return count < max_status_count ? count + 1 : max_status_count;
}

}  // namespace

void bump_policy_count(std::vector<PolicyCount>& policies, QosPolicyId id) {
  const auto it = std::ranges::find(policies, id, &PolicyCount::id);
  if (it == policies.end()) {
    policies.push_back({.id = id, .count = 1});
    return;
  }
  it->count = saturating_increment(it->count);
}

void record_incompatible(IncompatibleQosStatus& status, QosPolicyId id) {
  status.total_count = saturating_increment(status.total_count);
  status.last_policy_id = id;
  bump_policy_count(status.policies, id);
}

}  // namespace nimbrel::dcps
