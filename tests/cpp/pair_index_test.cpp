#include "codec/pair_index.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "helpers.h"

namespace velkor {
namespace {

TEST(PairIndex, CountsLikeAFullCount) {
  EXPECT_TRUE(PairIndexProbe::counts(PairIndex(Ids{})).empty());
  EXPECT_TRUE(PairIndexProbe::counts(PairIndex(Ids{7})).empty());
  EXPECT_FALSE(PairIndex(Ids{7}).best());
  EXPECT_EQ(sorted(PairIndexProbe::counts(PairIndex(Ids{1, 2, 3}))),
            (Counts{{{1, 2}, 1}, {{2, 3}, 1}}));
  EXPECT_EQ(sorted(PairIndexProbe::counts(PairIndex(Ids{1, 2, 1, 2}))),
            (Counts{{{1, 2}, 2}, {{2, 1}, 1}}));
  EXPECT_EQ(PairIndexProbe::count(PairIndex(Ids{5, 5, 5}), {5, 5}), 2u);
  EXPECT_EQ(PairIndexProbe::count(PairIndex(Ids{5, 5, 5, 5}), {5, 5}), 3u);
  EXPECT_EQ(sorted(PairIndexProbe::counts(PairIndex(Ids{4, 9, 9, 4}))),
            (Counts{{{4, 9}, 1}, {{9, 9}, 1}, {{9, 4}, 1}}));
}

TEST(PairIndex, MergeIsOneLeftToRightPassWithoutOverlap) {
  PairIndex run(Ids{8, 8, 8});
  EXPECT_EQ(run.merge({8, 8}, 20), 1u);
  EXPECT_EQ(run.sequence(), (Ids{20, 8}));
  EXPECT_EQ(sorted(PairIndexProbe::counts(run)), (Counts{{{20, 8}, 1}}));

  PairIndex alternating(Ids{1, 2, 1, 2});
  EXPECT_EQ(alternating.merge({1, 2}, 3), 2u);
  EXPECT_EQ(alternating.sequence(), (Ids{3, 3}));
  EXPECT_EQ(alternating.size(), 2u);

  PairIndex long_run(Ids{8, 8, 8, 8, 8, 1, 8, 8});
  EXPECT_EQ(long_run.merge({8, 8}, 9), 3u);
  EXPECT_EQ(long_run.sequence(), (Ids{9, 9, 8, 1, 9}));
  EXPECT_EQ(sorted(PairIndexProbe::counts(long_run)),
            (Counts{{{9, 9}, 1}, {{9, 8}, 1}, {{8, 1}, 1}, {{1, 9}, 1}}));

  PairIndex absent(Ids{1, 2});
  EXPECT_EQ(absent.merge({2, 1}, 5), 0u);
  EXPECT_EQ(absent.sequence(), (Ids{1, 2}));
}

TEST(PairIndex, MergedIdMayRepeatAnExistingId) {
  // A loaded model may map a pair to one of its own ids; what the merge
  // writes is never matched again within the same merge.
  PairIndex left(Ids{1, 2, 2, 2});
  EXPECT_EQ(left.merge({1, 2}, 1), 1u);
  EXPECT_EQ(left.sequence(), (Ids{1, 2, 2}));
  EXPECT_EQ(sorted(PairIndexProbe::counts(left)), (Counts{{{1, 2}, 1}, {{2, 2}, 1}}));
  EXPECT_EQ(left.merge({1, 2}, 1), 1u);
  EXPECT_EQ(left.sequence(), (Ids{1, 2}));

  PairIndex right(Ids{1, 1, 2});
  EXPECT_EQ(right.merge({1, 2}, 2), 1u);
  EXPECT_EQ(right.sequence(), (Ids{1, 2}));
  EXPECT_EQ(PairIndexProbe::count(right, {1, 2}), 1u);
}

TEST(PairIndex, BestTakesHighestCountThenSmallestPair) {
  PairIndex index(Ids{3, 1, 3, 1, 2, 0, 2, 0, 2, 5, 2, 5});
  // (3, 1), (2, 0), (2, 5) occur twice; (0, 2) too.
  auto best = index.best();
  ASSERT_TRUE(best);
  EXPECT_EQ(best->pair, (TokenPair{0, 2}));
  EXPECT_EQ(best->count, 2u);
  index.exclude({0, 2});
  EXPECT_EQ(index.best()->pair, (TokenPair{2, 0}));
  index.exclude({2, 0});
  EXPECT_EQ(index.best()->pair, (TokenPair{2, 5}));
  index.clear_exclusions();
  EXPECT_EQ(index.best()->pair, (TokenPair{0, 2}));
}

TEST(PairIndex, BestFollowsRisingAndFallingCounts) {
  PairIndex index(Ids{1, 2, 1, 2, 1, 2, 7, 7});
  EXPECT_EQ(index.best()->pair, (TokenPair{1, 2}));
  index.merge({1, 2}, 9);
  // Now 9 9 9 7 7: (9, 9) rose from nothing to 2.
  auto best = index.best();
  ASSERT_TRUE(best);
  EXPECT_EQ(best->pair, (TokenPair{9, 9}));
  EXPECT_EQ(best->count, 2u);
  index.merge({9, 9}, 10);
  // 10 9 7 7: every pair once; the smallest is (7, 7).
  EXPECT_EQ(index.best()->pair, (TokenPair{7, 7}));
  EXPECT_EQ(index.best()->count, 1u);
}

TEST(PairIndex, ExcludingEveryPairLeavesNoBest) {
  PairIndex index(Ids{1, 2, 3});
  index.exclude({1, 2});
  index.exclude({2, 3});
  index.exclude({4, 4});  // not present: ignored
  EXPECT_FALSE(index.best());
  index.merge({1, 2}, 4);
  EXPECT_EQ(index.best()->pair, (TokenPair{4, 3}));
}

TEST(PairIndex, CollapsesToOneId) {
  PairIndex index(Ids{4, 4});
  EXPECT_EQ(index.merge({4, 4}, 5), 1u);
  EXPECT_EQ(index.sequence(), (Ids{5}));
  EXPECT_EQ(index.size(), 1u);
  EXPECT_FALSE(index.best());
  EXPECT_TRUE(PairIndexProbe::counts(index).empty());
}

}  // namespace
}  // namespace velkor
