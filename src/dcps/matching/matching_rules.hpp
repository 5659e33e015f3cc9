// The pure part of endpoint matching: whether a writer's offered QoS satisfies a reader's
// requested QoS, checked policy by policy in a fixed order so that the first failing policy is
// the one counted in the endpoint's incompatible-QoS status. Reliability is deliberately not
// compared. The runtime feeds it remote SEDP records and its local slots' settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "dcps/matching/status.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"
#include "types/type_identifier.hpp"
#include "types/type_matcher.hpp"

namespace nimbrel::dcps {

bool is_infinite(const rtps::RtpsDuration& d);
// max(seconds, 0) x 10^9 + fraction x 10^9 / 2^32, rounded down; meaningless for infinite.
std::uint64_t duration_ns(const rtps::RtpsDuration& d);
// The local slots' form of a period or lease: infinite becomes 0, "none".
std::uint64_t period_ns(const rtps::RtpsDuration& d);

// Partitions are plain names: no wildcards.
bool partitions_meet(std::span<const std::string> writer, std::span<const std::string> reader);

// What one side of a match offers or requests. A view: it borrows the partitions and the type
// identifier, so build it for a check and do not keep it.
struct EndpointQos {
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;
  std::uint64_t deadline_ns = 0;  // 0: none
  rtps::LivelinessKind liveliness = rtps::LivelinessKind::Automatic;
  std::uint64_t lease_ns = 0;  // 0: none
  rtps::OwnershipKind ownership = rtps::OwnershipKind::Shared;
  std::span<const std::string> partitions{};
  const types::TypeIdentifier* type_identifier = nullptr;  // null: no type announced
  // Applied when this side is the reader; a local writer uses these fixed values too.
  types::TypeConsistencyEnforcement type_consistency{};
};

// Borrows from `record`, which must outlive the result.
EndpointQos endpoint_qos(const rtps::EndpointBuiltinTopicData& record);

// The type rule: applies only when both sides announce a type identifier. Identical identifiers
// match; a hash that cannot be resolved (nothing is looked up yet) does not refuse on its own.
bool types_refused(const EndpointQos& writer, const EndpointQos& reader);

// The first policy on which `writer` fails `reader`, or none when they match.
std::optional<QosPolicyId> first_incompatible_policy(const EndpointQos& writer,
                                                     const EndpointQos& reader);

// A local reader against a remote publication.
std::optional<QosPolicyId> check_remote_writer(const rtps::PublicationBuiltinTopicData& writer,
                                               const EndpointQos& reader);

// A local writer against a remote subscription.
std::optional<QosPolicyId> check_remote_reader(const rtps::SubscriptionBuiltinTopicData& reader,
                                               const EndpointQos& writer);

}  // namespace nimbrel::dcps
