// chunk_to_index, which fills the pair index without a vector of ids in
// between, against chunk_to_ids followed by assign(); and the index's
// storage reuse (freed position stretches turned into blocks) on sequences
// long enough for many of them.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/pair_index.h"
#include "helpers.h"
#include "oracles.h"
#include "report/failure.h"
#include "train/chunk_tokens.h"

namespace velkor {
namespace {

// Valid text (taken as it is), text with markers or ill-formed bytes (mended
// first, and longer than the chunk once U+FFFD replaces single bytes), and
// the shortest chunks, one after another into the same index.
TEST(ChunkIndex, AgreesWithIdsThenAssign) {
  const std::vector<std::string> chunks = {
      "the cat sat on the mat, the cat sat",
      "caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 e\xCC\x81\r\n\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
      "a<|im_start|>b<|im_end|>c<|im_end",
      std::string(40, '\xFF') + "ab\xE4\xB8",
      "",
      "x",
      "\xC3",
      std::string(5000, 'a') + "the end",
  };
  Model fast = starter_model();
  Model plain = starter_model();
  PairIndex reused;
  for (const std::string& chunk : chunks) {
    chunk_to_index(fast, chunk, reused);
    const Ids ids = chunk_to_ids(plain, chunk);
    ASSERT_EQ(reused.sequence(), ids) << chunk;
    ASSERT_EQ(sorted(PairIndexProbe::counts(reused)), sorted(count_occur(ids))) << chunk;
    PairIndex fresh(ids);
    for (TokenId merged = 500; auto best = fresh.best(); ++merged) {
      ASSERT_EQ(reused.best()->pair, best->pair);
      ASSERT_EQ(reused.merge(best->pair, merged), fresh.merge(best->pair, merged));
    }
    ASSERT_EQ(reused.sequence(), fresh.sequence());
  }
  ASSERT_EQ(fast.lookup.size(), plain.lookup.size());
  for (const auto& [key, id] : plain.unicode_lookup) ASSERT_EQ(fast.unicode_lookup.at(key), id);
}

TEST(ChunkIndex, FillThatThrowsLeavesAnEmptyIndex) {
  PairIndex index(Ids{1, 2, 1, 2});
  EXPECT_THROW(index.assign_from(10,
                                 [](auto push) {
                                   push(TokenId{3});
                                   push(TokenId{4});
                                   throw std::runtime_error("interrupted");
                                 }),
               std::runtime_error);
  EXPECT_EQ(index.size(), 0u);
  EXPECT_EQ(index.sequence(), Ids{});
  EXPECT_FALSE(index.best());
  EXPECT_EQ(index.merge({1, 2}, 5), 0u);
  // More ids than announced is refused, not written past the nodes.
  EXPECT_THROW(index.assign_from(2,
                                 [](auto push) {
                                   for (TokenId id : {1, 2, 3}) push(id);
                                 }),
               Failure);
  index.assign_from(3, [](auto push) {
    for (TokenId id : {7, 7}) push(id);
  });
  EXPECT_EQ(index.sequence(), (Ids{7, 7}));
}

// Long sequences over small alphabets: the first merges free large built
// stretches, whose blocks then take the positions later merges add.
TEST(ChunkIndex, ManyMergesOverReusedStretches) {
  std::mt19937 rng(77);
  PairIndex index;
  for (int round = 0; round < 3; ++round) {
    Ids ids(20000 + 7000 * round);
    std::uniform_int_distribution<int> symbol(0, 3 + 2 * round);
    for (TokenId& id : ids) id = static_cast<TokenId>(symbol(rng));
    index.assign(ids);
    for (int step = 0; step < 400; ++step) {
      const auto best = index.best();
      if (!best) break;
      const auto merged = static_cast<TokenId>(100 + step);
      ids = replace_pair(ids, best->pair, merged);
      index.merge(best->pair, merged);
      if (step % 25 == 0 || step < 10) {
        ASSERT_EQ(index.sequence(), ids) << round << " " << step;
        ASSERT_EQ(sorted(PairIndexProbe::counts(index)), sorted(count_occur(ids)))
            << round << " " << step;
      }
    }
    ASSERT_EQ(index.sequence(), ids);
  }
}

}  // namespace
}  // namespace velkor
