// The pure part of endpoint matching: whether a writer's offered QoS satisfies a reader's
// requested QoS, checked policy by policy in a fixed order so that the first failing policy is
// the one counted in the endpoint's incompatible-QoS status. Reliability is deliberately not
// compared. The runtime feeds it remote SEDP records and its local slots' settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "dcps/status.hpp"
#include "rtps/publication_data.hpp"
#include "rtps/subscription_data.hpp"
#include "rtps/wire_types.hpp"

namespace nimbrel::dcps {

bool is_infinite(const rtps::RtpsDuration& d);
// max(seconds, 0) x 10^9 + fraction x 10^9 / 2^32, rounded down; meaningless for infinite.
std::uint64_t duration_ns(const rtps::RtpsDuration& d);
// The local slots' form of a period or lease: infinite becomes 0, "none".
std::uint64_t period_ns(const rtps::RtpsDuration& d);

// Partitions are plain names: no wildcards.
bool partitions_meet(std::span<const std::string> writer, std::span<const std::string> reader);

// What one side of a match offers or requests. A view: it borrows the partitions and the type
// information, so build it for a check and do not keep it.
struct EndpointQos {
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;
  std::uint64_t deadline_ns = 0;  // 0: none
  rtps::LivelinessKind liveliness = rtps::LivelinessKind::Automatic;
  std::uint64_t lease_ns = 0;  // 0: none
  rtps::OwnershipKind ownership = rtps::OwnershipKind::Shared;
  std::span<const std::string> partitions{};
  std::optional<std::span<const std::byte>> type_information{};
};

// Borrows from `record`, which must outlive the result.
EndpointQos endpoint_qos(const rtps::EndpointBuiltinTopicData& record);

// Whether the writer's type can be read as the reader's, from both sides' type information. The
// type system's assignability plugs in here; while it is empty the type rule is skipped.
using TypeAssignable = std::function<bool(std::span<const std::byte> writer_type_information,
                                          std::span<const std::byte> reader_type_information)>;

// The first policy on which `writer` fails `reader`, or none when they match.
std::optional<QosPolicyId> first_incompatible_policy(const EndpointQos& writer,
                                                     const EndpointQos& reader,
                                                     const TypeAssignable& assignable = {});

// A local reader against a remote publication.
std::optional<QosPolicyId> check_remote_writer(const rtps::PublicationBuiltinTopicData& writer,
                                               const EndpointQos& reader,
                                               const TypeAssignable& assignable = {});

// A local writer against a remote subscription.
std::optional<QosPolicyId> check_remote_reader(const rtps::SubscriptionBuiltinTopicData& reader,
                                               const EndpointQos& writer,
                                               const TypeAssignable& assignable = {});

}  // namespace nimbrel::dcps
