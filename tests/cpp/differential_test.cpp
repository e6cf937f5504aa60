// The pair index against the plain forms: after every merge its sequence
// and counts must equal a rewrite and a full recount.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "codec/pair_count.h"
#include "codec/pair_index.h"

namespace velkor {
namespace {

using Ids = std::vector<TokenId>;
using Counts = std::map<std::pair<TokenId, TokenId>, std::uint32_t>;

Counts sorted(const PairCounts& counts) {
  Counts out;
  for (const auto& [pair, count] : counts) out[{pair.left, pair.right}] = count;
  return out;
}

// Plain forms, kept here so the index is checked against something that
// shares no code with it.
Counts recount(const Ids& ids) {
  Counts out;
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) ++out[{ids[i], ids[i + 1]}];
  return out;
}

Ids rewrite(const Ids& ids, TokenPair pair, TokenId merged) {
  Ids out;
  for (std::size_t i = 0; i < ids.size();) {
    if (i + 1 < ids.size() && ids[i] == pair.left && ids[i + 1] == pair.right) {
      out.push_back(merged);
      i += 2;
    } else {
      out.push_back(ids[i]);
      i += 1;
    }
  }
  return out;
}

// Highest count, then smallest pair; pairs in skip do not take part.
std::optional<BestPair> plain_best(const Counts& counts, const std::vector<TokenPair>& skip = {}) {
  std::optional<BestPair> best;
  for (const auto& [pair, count] : counts) {  // ascending pair order
    TokenPair p{pair.first, pair.second};
    if (std::find(skip.begin(), skip.end(), p) != skip.end()) continue;
    if (!best || count > best->count) best = BestPair{p, count};
  }
  return best;
}

// Random ids from a small alphabet, with long runs and repeated motifs so
// that overlaps and ties are common.
Ids random_ids(std::mt19937& rng, std::size_t length, TokenId alphabet) {
  Ids ids;
  std::uniform_int_distribution<int> symbol(0, alphabet - 1);
  std::uniform_int_distribution<int> shape(0, 9);
  while (ids.size() < length) {
    int kind = shape(rng);
    if (kind < 2) {  // a run of one id
      ids.insert(ids.end(), std::uniform_int_distribution<std::size_t>(2, 40)(rng),
                 static_cast<TokenId>(symbol(rng)));
    } else if (kind < 4 && ids.size() >= 4) {  // repeat a recent stretch
      std::size_t take = std::uniform_int_distribution<std::size_t>(2, 4)(rng);
      Ids motif(ids.end() - take, ids.end());
      ids.insert(ids.end(), motif.begin(), motif.end());
    } else {
      ids.push_back(static_cast<TokenId>(symbol(rng)));
    }
  }
  ids.resize(length);
  return ids;
}

void expect_same(PairIndex& index, const Ids& ids, const std::string& where) {
  ASSERT_EQ(index.sequence(), ids) << where;
  ASSERT_EQ(index.size(), ids.size()) << where;
  Counts counts = recount(ids);
  ASSERT_EQ(sorted(index.counts()), counts) << where;
  auto best = index.best();
  auto expected = plain_best(counts);
  ASSERT_EQ(best.has_value(), expected.has_value()) << where;
  if (best) {
    ASSERT_EQ(best->pair, expected->pair) << where;
    ASSERT_EQ(best->count, expected->count) << where;
  }
}

TEST(Differential, IndexTracksRewritesAndRecounts) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 300; ++round) {
    TokenId alphabet = static_cast<TokenId>(2 + round % 3);
    std::size_t length =
        round < 20 ? round : std::uniform_int_distribution<std::size_t>(0, 2000)(rng);
    Ids ids = random_ids(rng, length, alphabet);
    PairIndex index(ids);
    TokenId next_id = alphabet;
    std::string where = "round " + std::to_string(round);
    expect_same(index, ids, where);
    for (int step = 0; step < 60 && ids.size() >= 2; ++step) {
      TokenPair pair;
      TokenId merged;
      switch (step % 4) {
        case 0:  // a pair that may not occur at all
          pair = {static_cast<TokenId>(rng() % (next_id + 1)),
                  static_cast<TokenId>(rng() % (next_id + 1))};
          merged = next_id++;
          break;
        case 1: {  // an occurring pair, merged into an id already in use
          std::size_t at = rng() % (ids.size() - 1);
          pair = {ids[at], ids[at + 1]};
          merged = static_cast<TokenId>(rng() % next_id);
          break;
        }
        default:  // the best pair, as the passes do
          pair = index.best()->pair;
          merged = next_id++;
      }
      std::size_t before = ids.size();
      ids = rewrite(ids, pair, merged);
      ASSERT_EQ(index.merge(pair, merged), before - ids.size());
      expect_same(index, ids, where + " step " + std::to_string(step));
    }
  }
}

TEST(Differential, ExclusionsMatchASkipList) {
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    Ids ids = random_ids(rng, std::uniform_int_distribution<std::size_t>(2, 600)(rng), 4);
    PairIndex index(ids);
    std::vector<TokenPair> skip;
    TokenId next_id = 4;
    for (int step = 0; step < 40; ++step) {
      Counts counts = recount(ids);
      auto expected = plain_best(counts, skip);
      auto best = index.best();
      ASSERT_EQ(best.has_value(), expected.has_value());
      if (!best) break;
      ASSERT_EQ(best->pair, expected->pair);
      ASSERT_EQ(best->count, expected->count);
      if (rng() % 3 == 0) {
        ids = rewrite(ids, best->pair, next_id);
        index.merge(best->pair, next_id++);
      } else {
        skip.push_back(best->pair);
        index.exclude(best->pair);
      }
      if (rng() % 10 == 0) {
        skip.clear();
        index.clear_exclusions();
      }
    }
    ASSERT_EQ(index.sequence(), ids);
  }
}

}  // namespace
}  // namespace velkor
