// One pair index taking sequence after sequence, as the trainer uses it: each
// assign() must start from a clean slate whatever the merges, exclusions,
// added positions and released pages of the sequence before left behind.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "codec/pair_index.h"
#include "helpers.h"
#include "oracles.h"

namespace velkor {
namespace {

TEST(PairIndexReuse, EachAssignStartsClean) {
  std::mt19937 rng(1208);
  PairIndex reused;
  EXPECT_EQ(reused.size(), 0u);
  EXPECT_FALSE(reused.best());
  for (int round = 0; round < 60; ++round) {
    // Lengths up and down, so storage shrinks and grows between rounds.
    const std::size_t length = round % 5 == 0 ? round % 3 : 200 + (round * 7919) % 3000;
    Ids ids = random_ids(rng, length, 2 + round % 6);
    reused.assign(ids);
    PairIndex fresh(ids);
    TokenId next_id = 100;
    for (int step = 0; step < 40; ++step) {
      ASSERT_EQ(reused.sequence(), ids) << "round " << round << " step " << step;
      ASSERT_EQ(sorted(PairIndexProbe::counts(reused)), sorted(count_occur(ids)));
      auto best = reused.best();
      auto expected = fresh.best();
      ASSERT_EQ(best.has_value(), expected.has_value());
      if (!best) break;
      ASSERT_EQ(best->pair, expected->pair);
      ASSERT_EQ(best->count, expected->count);
      if (step % 7 == 3) {  // a miss, as the known-merge pass leaves them
        reused.exclude(best->pair);
        fresh.exclude(best->pair);
        continue;
      }
      // Now and then the merged id is one already in the sequence.
      const TokenId merged = step % 5 == 4 ? ids.front() : next_id++;
      ids = replace_pair(ids, best->pair, merged);
      ASSERT_EQ(reused.merge(best->pair, merged), fresh.merge(best->pair, merged));
    }
    // Exclusions left in place must not reach the next sequence, nor what
    // release() hands back (pages that read as zeros).
    if (round % 3 == 1) {
      reused.release();
      ASSERT_EQ(reused.size(), 0u);
      ASSERT_TRUE(reused.sequence().empty());
      ASSERT_FALSE(reused.best());
    }
  }
}

TEST(PairIndexReuse, ShorterSequenceAfterLongerOne) {
  PairIndex index(Ids{1, 2, 1, 2, 1, 2, 3, 3, 3});
  index.merge({1, 2}, 4);
  index.exclude({4, 4});
  index.assign(Ids{5, 5, 5});
  EXPECT_EQ(index.sequence(), (Ids{5, 5, 5}));
  EXPECT_EQ(sorted(PairIndexProbe::counts(index)), (Counts{{{5, 5}, 2}}));
  EXPECT_EQ(index.best()->pair, (TokenPair{5, 5}));
  EXPECT_EQ(index.merge({5, 5}, 6), 1u);
  EXPECT_EQ(index.sequence(), (Ids{6, 5}));
  index.assign(Ids{});
  EXPECT_EQ(index.size(), 0u);
  EXPECT_FALSE(index.best());
  index.assign(Ids{7});
  EXPECT_EQ(index.sequence(), (Ids{7}));
  EXPECT_FALSE(index.best());
}

}  // namespace
}  // namespace velkor
