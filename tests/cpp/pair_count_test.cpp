#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "oracles.h"

namespace velkor {
namespace {

// Counts as an ordered map, so expectations can be written literally.
std::map<std::pair<int, int>, std::uint32_t> counted(std::vector<TokenId> ids) {
  std::map<std::pair<int, int>, std::uint32_t> out;
  for (const auto& [pair, count] : count_occur(ids)) out[{pair.left, pair.right}] = count;
  return out;
}

TEST(PairCount, CountsEveryAdjacentPosition) {
  using Counts = std::map<std::pair<int, int>, std::uint32_t>;
  EXPECT_EQ(counted({}), Counts{});
  EXPECT_EQ(counted({7}), Counts{});
  EXPECT_EQ(counted({1, 2, 3}), (Counts{{{1, 2}, 1}, {{2, 3}, 1}}));
  EXPECT_EQ(counted({1, 2, 1, 2}), (Counts{{{1, 2}, 2}, {{2, 1}, 1}}));
  EXPECT_EQ(counted({5, 5, 5}), (Counts{{{5, 5}, 2}}));
  EXPECT_EQ(counted({5, 5, 5, 5}), (Counts{{{5, 5}, 3}}));
  EXPECT_EQ(counted({4, 9, 9, 4}), (Counts{{{4, 9}, 1}, {{9, 9}, 1}, {{9, 4}, 1}}));
}

TEST(PairCount, BestPairTakesHighestCountThenSmallestPair) {
  PairCounts counts;
  counts[{9, 1}] = 3;
  counts[{2, 8}] = 5;
  counts[{2, 7}] = 5;
  counts[{3, 0}] = 5;
  counts[{1, 1}] = 4;
  // Many maps, many seeds: the winner must never depend on iteration order.
  for (int round = 0; round < 50; ++round) {
    PairCounts copy(counts.begin(), counts.end());
    BestPair best = best_pair(copy);
    EXPECT_EQ(best.pair, (TokenPair{2, 7}));
    EXPECT_EQ(best.count, 5u);
  }
}

TEST(PairCount, ReplacePairIsLeftmostAndNonOverlapping) {
  using Ids = std::vector<TokenId>;
  EXPECT_EQ(replace_pair(Ids{}, {1, 2}, 9), Ids{});
  EXPECT_EQ(replace_pair(Ids{1}, {1, 2}, 9), Ids{1});
  EXPECT_EQ(replace_pair(Ids{1, 2, 1, 2}, {1, 2}, 9), (Ids{9, 9}));
  EXPECT_EQ(replace_pair(Ids{5, 5, 5}, {5, 5}, 9), (Ids{9, 5}));
  EXPECT_EQ(replace_pair(Ids{5, 5, 5, 5}, {5, 5}, 9), (Ids{9, 9}));
  EXPECT_EQ(replace_pair(Ids{2, 1, 3, 1, 2}, {1, 2}, 9), (Ids{2, 1, 3, 9}));
}

}  // namespace
}  // namespace velkor
