#include "dcps/matching/matching_rules.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "dcps/builtin/ignore_filter.hpp"
#include "dcps/matching/status.hpp"

namespace nimbrel::dcps {
namespace {

using rtps::RtpsDuration;
using Publication = rtps::PublicationBuiltinTopicData;
using Subscription = rtps::SubscriptionBuiltinTopicData;

RtpsDuration ms(std::uint32_t n) {
  return {static_cast<std::int32_t>(n / 1000),
          static_cast<std::uint32_t>((std::uint64_t{n % 1000} << 32) / 1000)};
}

TEST(DurationConversion, RoundsDownAndTurnsInfiniteIntoNone) {
  // clang-format off
  const std::pair<RtpsDuration, std::uint64_t> cases[] = {
      {{0, 0}, 0},
      {{1, 0}, 1'000'000'000},
      {{0, 0x80000000}, 500'000'000},
      {{0, 0xFFFFFFFF}, 999'999'999},
      {{0, 0x19999999}, 99'999'999},  // the 100 ms wire default
      {{-5, 0x80000000}, 500'000'000},
      {{0x7FFFFFFF, 0xFFFFFFFF}, 0},  // infinite: none
      {{0x7FFFFFFF, 0xFFFFFFFE}, 2'147'483'647'999'999'999},
      {{0x7FFFFFFF, 0}, 2'147'483'647'000'000'000}};
  // clang-format on
  for (const auto& [duration, period] : cases)
    EXPECT_EQ(period_ns(duration), period) << duration.seconds << " " << duration.fraction;
}

// One side's QoS as the wire states it; defaults are the record defaults.
struct Side {
  rtps::DurabilityKind durability = rtps::DurabilityKind::Volatile;
  RtpsDuration deadline = rtps::duration_infinite;
  rtps::LivelinessKind liveliness = rtps::LivelinessKind::Automatic;
  RtpsDuration lease = rtps::duration_infinite;
  rtps::OwnershipKind ownership = rtps::OwnershipKind::Shared;
  std::vector<std::string> partitions{};
  rtps::ReliabilityKind reliability = rtps::ReliabilityKind::BestEffort;
};

template <typename Record>
Record record_of(const Side& side) {
  Record r;
  r.durability = side.durability;
  r.deadline = side.deadline;
  r.liveliness = {side.liveliness, side.lease};
  r.ownership = side.ownership;
  r.partition = side.partitions;
  r.reliability.kind = side.reliability;
  return r;
}

struct RuleCase {
  const char* name;
  Side writer;
  Side reader;
  std::optional<QosPolicyId> expected;
};

class MatchingRules : public ::testing::TestWithParam<RuleCase> {
 protected:
  const Publication writer = record_of<Publication>(GetParam().writer);
  const Subscription reader = record_of<Subscription>(GetParam().reader);
};

TEST_P(MatchingRules, LocalReaderAgainstRemoteWriter) {
  EXPECT_EQ(check_remote_writer(writer, endpoint_qos(reader)), GetParam().expected);
}

// The writer side applies the same rules with the roles swapped.
TEST_P(MatchingRules, LocalWriterAgainstRemoteReader) {
  EXPECT_EQ(check_remote_reader(reader, endpoint_qos(writer)), GetParam().expected);
}

using enum QosPolicyId;
using enum rtps::DurabilityKind;
using enum rtps::LivelinessKind;
using enum rtps::OwnershipKind;
constexpr std::nullopt_t ok = std::nullopt;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rules, MatchingRules, ::testing::Values(
    RuleCase{"Defaults", {}, {}, ok},
    RuleCase{"BestEffortWriterReliableReader", {}, {.reliability = rtps::ReliabilityKind::Reliable},
             ok},
    RuleCase{"TransientLocalReaderVolatileWriter", {}, {.durability = TransientLocal}, Durability},
    RuleCase{"PersistentWriterTransientReader", {.durability = Persistent},
             {.durability = Transient}, ok},
    RuleCase{"Deadline100msReader200msWriter", {.deadline = ms(200)}, {.deadline = ms(100)},
             Deadline},
    RuleCase{"Deadline100msReaderInfiniteWriter", {}, {.deadline = ms(100)}, ok},
    RuleCase{"Deadline200msReader100msWriter", {.deadline = ms(100)}, {.deadline = ms(200)}, ok},
    RuleCase{"DeadlineInfiniteReader100msWriter", {.deadline = ms(100)}, {}, ok},
    RuleCase{"AutomaticWriterManualReader", {}, {.liveliness = ManualByParticipant}, Liveliness},
    RuleCase{"ManualByTopicWriterManualReader", {.liveliness = ManualByTopic},
             {.liveliness = ManualByParticipant}, ok},
    RuleCase{"Lease2sWriter1sReader", {.lease = ms(2000)}, {.lease = ms(1000)}, Liveliness},
    RuleCase{"Lease1sWriter2sReader", {.lease = ms(1000)}, {.lease = ms(2000)}, ok},
    RuleCase{"LeaseInfiniteWriter1sReader", {}, {.lease = ms(1000)}, ok},
    RuleCase{"Lease2sWriterInfiniteReader", {.lease = ms(2000)}, {}, ok},
    RuleCase{"ExclusiveWriterSharedReader", {.ownership = Exclusive}, {}, Ownership},
    RuleCase{"PartitionsReaderEmptyWriterA", {.partitions = {"A"}}, {}, Partition},
    RuleCase{"PartitionsWriterEmptyReaderB", {}, {.partitions = {"B"}}, Partition},
    RuleCase{"PartitionsReaderEmptyNameWriterAAndEmpty", {.partitions = {"A", ""}},
             {.partitions = {""}}, ok},
    RuleCase{"PartitionsWriterEmptyReaderEmptyNameAndB", {}, {.partitions = {"B", ""}}, ok},
    RuleCase{"PartitionsNoWildcards", {.partitions = {"AB"}}, {.partitions = {"A*"}}, Partition},
    RuleCase{"PartitionsShareOneName", {.partitions = {"A", "B"}}, {.partitions = {"C", "B"}}, ok},
    // The first failing rule is the one reported.
    RuleCase{"DurabilityBeforePartition", {.partitions = {"A"}}, {.durability = Persistent},
             Durability},
    RuleCase{"DeadlineBeforeLiveliness", {.deadline = ms(200)},
             {.deadline = ms(100), .liveliness = ManualByTopic}, Deadline},
    RuleCase{"LeaseBeforeOwnership", {.lease = ms(2000), .ownership = Exclusive},
             {.lease = ms(1000)}, Liveliness},
    RuleCase{"OwnershipBeforePartition", {.ownership = Exclusive, .partitions = {"A"}}, {},
             Ownership}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
// clang-format on

TEST(TypeRule, AppliesOnlyWhenBothSidesAnnounceATypeThatCanBeJudged) {
  using TI = types::TypeIdentifier;
  using K = types::PrimitiveKind;
  auto hash = [](std::uint8_t first) {
    return TI(TI::EquivalenceHashMinimal{{{first, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}}});
  };
  const TI int16 = TI::Primitive{K::Int16}, int32 = TI::Primitive{K::Int32};
  const TI string8 = TI::String8Small{8};
  struct Case {
    const char* name;
    const TI* writer;
    const TI* reader;
    std::optional<QosPolicyId> expected;
  };
  const TI same = hash(1), other = hash(2);
  const Case cases[] = {
      {"writer without a type", nullptr, &int32, ok},
      {"reader without a type", &int32, nullptr, ok},
      // Nothing is looked up yet, so the hash is never resolved; equal still matches.
      {"the same hash", &same, &same, ok},
      {"different hashes nobody can resolve", &same, &other, ok},
      {"widening by the default policy", &int16, &int32, ok},
      {"narrowing", &int32, &int16, TypeAssignability},
      {"different kinds", &string8, &int32, TypeAssignability},
  };
  for (const auto& c : cases) {
    EndpointQos writer{}, reader{};
    writer.type_identifier = c.writer;
    reader.type_identifier = c.reader;
    EXPECT_EQ(first_incompatible_policy(writer, reader), c.expected) << c.name;
  }

  // The reader's settings decide; without coercion the widening is refused.
  EndpointQos writer{.type_identifier = &int16}, strict{.type_identifier = &int32};
  strict.type_consistency.prevent_type_widening = true;
  EXPECT_EQ(first_incompatible_policy(writer, strict), TypeAssignability);
  // The type rule comes last.
  writer.ownership = Exclusive;
  EXPECT_EQ(first_incompatible_policy(writer, strict), Ownership);
}

TEST(IncompatibleQosStatus, CountsPoliciesInOrderOfFirstOccurrenceAndSaturates) {
  Subscription transient_local_reader;
  transient_local_reader.durability = TransientLocal;
  const auto refused = check_remote_writer(Publication{}, endpoint_qos(transient_local_reader));
  ASSERT_TRUE(refused);
  IncompatibleQosStatus status;
  record_incompatible(status, *refused);
  EXPECT_EQ(status, (IncompatibleQosStatus{1, Durability, {{*refused, 1}}}));
  record_incompatible(status, *refused);  // the next matching run counts it again
  EXPECT_EQ(status, (IncompatibleQosStatus{2, Durability, {{*refused, 2}}}));
  record_incompatible(status, Partition);
  record_incompatible(status, Durability);
  EXPECT_EQ(status, (IncompatibleQosStatus{4, Durability, {{Durability, 3}, {Partition, 1}}}));

  IncompatibleQosStatus full{max_status_count - 1, Deadline, {{Deadline, max_status_count - 1}}};
  record_incompatible(full, Deadline);
  record_incompatible(full, Deadline);
  EXPECT_EQ(full,
            (IncompatibleQosStatus{max_status_count, Deadline, {{Deadline, max_status_count}}}));
}

TEST(IgnoreFilter, SetsAreSeparateAndAPoisonedOneIgnoresNothing) {
  IgnoreFilter filter;
  EXPECT_TRUE(filter.ignore_participant(1));
  EXPECT_TRUE(filter.ignore_topic(2));
  EXPECT_TRUE(filter.ignore_publication(3));
  EXPECT_TRUE(filter.ignore_subscription(4));
  const std::array queries{&IgnoreFilter::is_participant_ignored, &IgnoreFilter::is_topic_ignored,
                           &IgnoreFilter::is_publication_ignored,
                           &IgnoreFilter::is_subscription_ignored};
  for (std::size_t set = 0; set < queries.size(); ++set)
    for (InstanceHandle handle = 1; handle <= 4; ++handle)
      EXPECT_EQ((filter.*queries[set])(handle), handle == set + 1) << set << " " << handle;

  filter.poison(IgnoredKind::Topic);
  EXPECT_FALSE(filter.is_topic_ignored(2));
  EXPECT_FALSE(filter.ignore_topic(5));
  EXPECT_TRUE(filter.is_publication_ignored(3));
}

}  // namespace
}  // namespace nimbrel::dcps
