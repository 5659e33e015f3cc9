// The incompatible-QoS status of a user endpoint: how often matching refused a remote endpoint and
// for which policies. Readers keep it as their requested status, writers as their offered status;
// matching updates it through `record_incompatible` under the endpoint's slot lock.
#pragma once

#include <cstdint>
#include <vector>

namespace nimbrel::dcps {

// DDS QoS policy identifiers; 23 is the id DDS-XTypes 1.3 gives to data representation, used here
// for type assignability.
enum class QosPolicyId : std::uint32_t {
  Durability = 2,
  Deadline = 4,
  Ownership = 6,
  Liveliness = 8,
  Partition = 10,
  TypeAssignability = 23,
};

inline constexpr std::int32_t max_status_count = 2'147'483'647;

struct PolicyCount {
  QosPolicyId id{};
  std::int32_t count = 0;
  friend bool operator==(const PolicyCount&, const PolicyCount&) = default;
};

struct IncompatibleQosStatus {
  std::int32_t total_count = 0;
  QosPolicyId last_policy_id{};       // 0 until the first incompatibility
  std::vector<PolicyCount> policies;  // in order of first occurrence
  friend bool operator==(const IncompatibleQosStatus&, const IncompatibleQosStatus&) = default;
};

// Counts one more for `id`, appending it with count 1 on its first occurrence; saturates.
void bump_policy_count(std::vector<PolicyCount>& policies, QosPolicyId id);

// One refused match: total, last policy and that policy's count.
void record_incompatible(IncompatibleQosStatus& status, QosPolicyId id);

}  // namespace nimbrel::dcps
