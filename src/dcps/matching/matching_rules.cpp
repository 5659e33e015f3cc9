#include "dcps/matching/matching_rules.hpp"

#include <algorithm>

#include "types/resolve.hpp"

namespace nimbrel::dcps {
namespace {

constexpr std::uint64_t ns_per_second = 1'000'000'000;

bool contains_empty_name(std::span<const std::string> names) {
  return std::ranges::any_of(names, [](const std::string& name) { return name.empty(); });
}

}  // namespace

bool is_infinite(const rtps::RtpsDuration& d) {
  return d == rtps::duration_infinite;
}

std::uint64_t duration_ns(const rtps::RtpsDuration& d) {
  // Both terms stay below 2^63: 0x7FFFFFFF x 10^9 and (2^32 - 1) x 10^9.
  const std::uint64_t seconds = d.seconds > 0 ? static_cast<std::uint64_t>(d.seconds) : 0;
  return seconds * ns_per_second + ((std::uint64_t{d.fraction} * ns_per_second) >> 32);
}

std::uint64_t period_ns(const rtps::RtpsDuration& d) {
  return is_infinite(d) ? 0 : duration_ns(d);
}

bool partitions_meet(std::span<const std::string> writer, std::span<const std::string> reader) {
  if (writer.empty() && reader.empty()) return true;
  if (writer.empty()) return contains_empty_name(reader);
  if (reader.empty()) return contains_empty_name(writer);
  return std::ranges::any_of(writer, [&](const std::string& name) {
    return std::ranges::find(reader, name) != reader.end();
  });
}

EndpointQos endpoint_qos(const rtps::EndpointBuiltinTopicData& record) {
  EndpointQos qos{.durability = record.durability,
                  .deadline_ns = period_ns(record.deadline),
                  .liveliness = record.liveliness.kind,
                  .lease_ns = period_ns(record.liveliness.lease_duration),
                  .ownership = record.ownership,
                  .partitions = record.partition};
  if (record.type_identifier) qos.type_identifier = &*record.type_identifier;
  return qos;
}

bool types_refused(const EndpointQos& writer, const EndpointQos& reader) {
  if (writer.type_identifier == nullptr || reader.type_identifier == nullptr) return false;
  const types::TypeRegistry scratch;
  auto verdict = types::TypeMatcher(reader.type_consistency)
                     .match_types(*writer.type_identifier, *reader.type_identifier, scratch);
  return !verdict && !verdict.error().unresolved;
}

std::optional<QosPolicyId> first_incompatible_policy(const EndpointQos& writer,
                                                     const EndpointQos& reader) {
  // Enum order is the standard's strength order for durability and liveliness.
  if (writer.durability < reader.durability) return QosPolicyId::Durability;
  // A period of 0 (none, or infinite on the wire) on either side is never violated.
  if (reader.deadline_ns != 0 && reader.deadline_ns < writer.deadline_ns)
    return QosPolicyId::Deadline;
  if (writer.liveliness < reader.liveliness) return QosPolicyId::Liveliness;
  if (reader.lease_ns != 0 && writer.lease_ns > reader.lease_ns) return QosPolicyId::Liveliness;
  if (writer.ownership != reader.ownership) return QosPolicyId::Ownership;
  if (!partitions_meet(writer.partitions, reader.partitions)) return QosPolicyId::Partition;
  if (types_refused(writer, reader)) return QosPolicyId::TypeAssignability;
  return std::nullopt;
}

std::optional<QosPolicyId> check_remote_writer(const rtps::PublicationBuiltinTopicData& writer,
                                               const EndpointQos& reader) {
  return first_incompatible_policy(endpoint_qos(writer), reader);
}

std::optional<QosPolicyId> check_remote_reader(const rtps::SubscriptionBuiltinTopicData& reader,
                                               const EndpointQos& writer) {
  return first_incompatible_policy(writer, endpoint_qos(reader));
}

}  // namespace nimbrel::dcps
