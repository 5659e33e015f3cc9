#include "rtps/fragment_assembler.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "rtps/reader_test_util.hpp"

namespace nimbrel::rtps {
namespace {

using namespace nimbrel::rtps::testing;
using Reason = FragmentDropReason;
using Fragments = std::vector<FragmentNumber>;

struct RefusalCase {
  const char* name;
  DataFragSubmessage frag;
  Reason reason;
};

// Sample 2 is already pending (fragment 1 of 5 x 100 bytes) when each case arrives.
class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, IsCountedWithItsReasonAndChangesNothing) {
  FragmentAssembler assembler(
      {.max_pending_sns = 4, .max_sample_size = 10'000, .max_fragment_size = 1000});
  assembler.insert(frag_msg(2, 1, 1, 100, 500));
  const auto before = assembler.missing_fragments(2);
  EXPECT_FALSE(assembler.insert(GetParam().frag));
  EXPECT_EQ(assembler.drop_count(), 1u);
  EXPECT_EQ(assembler.last_drop_reason(), GetParam().reason);
  EXPECT_EQ(assembler.pending().size(), 1u) << "nothing allocated for a refused fragment";
  EXPECT_EQ(assembler.missing_fragments(2), before);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(FragmentAssembler, Refusal, ::testing::Values(
    //          name                       frag_msg(sn, first, count, size, sample[, bytes])  reason
    RefusalCase{"fragment_size_zero",      frag_msg(3, 1, 1, 0,   500),                Reason::BadFragmentSize},
    RefusalCase{"fragment_size_above_cap", frag_msg(3, 1, 1, 1001, 5000),              Reason::BadFragmentSize},
    RefusalCase{"fragment_size_zero_and_start_zero",
                                           frag_msg(3, 0, 1, 0,   500),                Reason::BadFragmentSize},
    RefusalCase{"no_fragments",            frag_msg(3, 1, 0, 100, 500),                Reason::NoFragments},
    RefusalCase{"sample_2000000_bytes",    frag_msg(3, 1, 1, 100, 2'000'000),          Reason::SampleTooLarge},
    RefusalCase{"start_zero",              frag_msg(3, 0, 1, 100, 500),                Reason::FragmentNumberZero},
    RefusalCase{"beyond_the_last",         frag_msg(3, 5, 2, 100, 500),                Reason::BeyondLastFragment},
    RefusalCase{"empty_sample",            frag_msg(3, 1, 1, 100, 0),                  Reason::BeyondLastFragment},
    RefusalCase{"other_sample_size",       frag_msg(2, 2, 1, 100, 600),                Reason::InconsistentSizes},
    RefusalCase{"other_fragment_size",     frag_msg(2, 2, 1, 50,  500),                Reason::InconsistentSizes},
    RefusalCase{"short_middle_fragment",   frag_msg(2, 2, 1, 100, 500, 99),            Reason::BadFragmentBytes},
    RefusalCase{"long_fragment",           frag_msg(2, 2, 1, 100, 500, 101),           Reason::BadFragmentBytes}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

TEST(FragmentAssembler, OnlyTheSamplesLastFragmentMayBeShort) {
  FragmentAssembler assembler({});
  EXPECT_FALSE(assembler.insert(frag_msg(1, 3, 1, 1000, 2500, 1000)));
  EXPECT_EQ(assembler.last_drop_reason(), Reason::BadFragmentBytes);
  EXPECT_FALSE(assembler.insert(frag_msg(1, 3, 1, 1000, 2500)));  // 500 bytes
  EXPECT_FALSE(assembler.insert(frag_msg(1, 1, 1, 1000, 2500)));
  const auto done = assembler.insert(frag_msg(1, 2, 1, 1000, 2500));
  ASSERT_TRUE(done);
  EXPECT_EQ(done->sequence_number, 1);
  EXPECT_EQ(contents(done->payload), patterned(2500));
  EXPECT_EQ(assembler.drop_count(), 1u);
  EXPECT_FALSE(assembler.has_pending());
}

TEST(FragmentAssembler, AlignmentPaddingAfterTheLastFragmentIsNotSampleData) {
  FragmentAssembler assembler({});
  EXPECT_FALSE(assembler.insert(frag_msg(1, 1, 2, 1000, 2502)));
  // 502 bytes of sample padded to 504; four extra bytes would be more than alignment.
  EXPECT_FALSE(assembler.insert(frag_msg(1, 3, 1, 1000, 2502, 506)));
  const auto done = assembler.insert(frag_msg(1, 3, 1, 1000, 2502, 504));
  ASSERT_TRUE(done);
  EXPECT_EQ(done->payload.size(), 2502u);
  EXPECT_EQ(contents(done->payload), patterned(2502));
}

TEST(FragmentAssembler, SeveralFragmentsPerSubmessageAndDuplicates) {
  FragmentAssembler assembler({});
  EXPECT_FALSE(assembler.insert(frag_msg(4, 2, 2, 1000, 2500)));  // 1,000 + 500 bytes
  EXPECT_FALSE(assembler.insert(frag_msg(4, 3, 1, 1000, 2500)));
  EXPECT_EQ(assembler.pending().at(4).received_count(), 2u);
  const auto done = assembler.insert(frag_msg(4, 1, 1, 1000, 2500));
  ASSERT_TRUE(done);
  EXPECT_EQ(contents(done->payload), patterned(2500));
}

TEST(FragmentAssembler, SixtyFifthPendingSampleEvictsTheLowest) {
  FragmentAssembler assembler({.max_pending_sns = 64});
  for (SequenceNumber sn = 1; sn <= 64; ++sn)
    assembler.insert(frag_msg(sn, 1, 1, 100, 300));
  EXPECT_EQ(assembler.drop_count(), 0u);
  assembler.insert(frag_msg(65, 1, 1, 100, 300));
  EXPECT_EQ(assembler.last_drop_reason(), Reason::EvictedOldest);
  EXPECT_EQ(assembler.drop_count(), 1u);
  EXPECT_EQ(assembler.pending().size(), 64u);
  EXPECT_FALSE(assembler.pending().contains(1));
  EXPECT_TRUE(assembler.pending().contains(65));
}

// The bytes in flight are capped as the count is: a sample that would take them over the cap
// evicts the lowest pending ones, before its buffer is allocated.
TEST(FragmentAssembler, PendingBytesStayWithinTheirCap) {
  FragmentAssembler assembler({.max_sample_size = 1000, .max_pending_bytes = 1000});
  assembler.insert(frag_msg(1, 1, 1, 100, 400));
  assembler.insert(frag_msg(2, 1, 1, 100, 400));
  EXPECT_EQ(assembler.pending_bytes(), 800u);
  assembler.insert(frag_msg(3, 1, 1, 100, 900));
  EXPECT_EQ(assembler.drop_count(), 2u);
  EXPECT_EQ(assembler.last_drop_reason(), Reason::EvictedOldest);
  EXPECT_EQ(assembler.pending_bytes(), 900u);
  assembler.discard(3, 3);
  EXPECT_EQ(assembler.pending_bytes(), 0u);
  assembler.insert(frag_msg(4, 1, 1, 100, 1001));  // above the largest sample
  EXPECT_EQ(assembler.too_large_count(), 1u);
  EXPECT_FALSE(assembler.has_pending());
}

TEST(FragmentAssembler, NoRoomWithoutAnythingToEvict) {
  FragmentAssembler assembler({.max_pending_sns = 0});
  EXPECT_FALSE(assembler.insert(frag_msg(1, 1, 1, 100, 300)));
  EXPECT_EQ(assembler.last_drop_reason(), Reason::NoRoom);
  EXPECT_FALSE(assembler.has_pending());
}

TEST(FragmentAssembler, MissingFragmentsStartAtTheFirstGapAndSpanAtMost256) {
  FragmentAssembler assembler({});
  EXPECT_EQ(assembler.missing_fragments(9), FragmentNumberSet::empty_range(1, 0));

  // 300 one-byte fragments; 1, 2 and 4 arrive.
  for (FragmentNumber f : {1u, 2u, 4u})
    assembler.insert(frag_msg(9, f, 1, 1, 300));
  const auto missing = assembler.missing_fragments(9);
  EXPECT_EQ(missing.base, 3u);
  EXPECT_EQ(missing.num_bits, 256u);
  EXPECT_TRUE(missing.contains(3));
  EXPECT_FALSE(missing.contains(4));
  EXPECT_TRUE(missing.contains(258));
  EXPECT_EQ(missing.members().size(), 255u);
}

}  // namespace
}  // namespace nimbrel::rtps
