// The fast forms against the plain ones: the pair index after every merge
// (sequence, counts, best pair against replace_pair and count_occur), the
// passes (sequence, model, console lines, log records) and encode.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/encoder.h"
#include "codec/pair_index.h"
#include "helpers.h"
#include "oracles.h"
#include "train/merge_passes.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

Counts recount(const Ids& ids) { return sorted(count_occur(ids)); }

Ids rewrite(const Ids& ids, TokenPair pair, TokenId merged) {
  return replace_pair(ids, pair, merged);
}

// best_pair over the pairs not in skip.
std::optional<BestPair> plain_best(const Counts& counts, const std::vector<TokenPair>& skip = {}) {
  std::optional<BestPair> best;
  for (const auto& [pair, count] : counts) {
    TokenPair p{pair.first, pair.second};
    if (std::find(skip.begin(), skip.end(), p) != skip.end()) continue;
    if (!best || ranks_above(p, count, *best)) best = BestPair{p, count};
  }
  return best;
}

template <class Index>
void expect_same(Index& index, const Ids& ids, const std::string& where) {
  ASSERT_EQ(index.sequence(), ids) << where;
  ASSERT_EQ(index.size(), ids.size()) << where;
  Counts counts = recount(ids);
  ASSERT_EQ(sorted(PairIndexProbe::counts(index)), counts) << where;
  auto best = index.best();
  auto expected = plain_best(counts);
  ASSERT_EQ(best.has_value(), expected.has_value()) << where;
  if (best) {
    ASSERT_EQ(best->pair, expected->pair) << where;
    ASSERT_EQ(best->count, expected->count) << where;
  }
}

// With file_only, the index files only those pairs, as the encoder's does,
// and merges the others too.
void track_rewrites(unsigned seed, int rounds, const PairIndex::MergeMap* file_only = nullptr) {
  std::mt19937 rng(seed);
  for (int round = 0; round < rounds; ++round) {
    TokenId alphabet = static_cast<TokenId>(2 + round % 3);
    std::size_t length =
        round < 20 ? round : std::uniform_int_distribution<std::size_t>(0, 2000)(rng);
    Ids ids = random_ids(rng, length, alphabet);
    PairIndex index;
    index.assign_from(
        length,
        [&](auto&& push) {
          for (TokenId id : ids) push(id);
        },
        file_only);
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

TEST(Differential, IndexTracksRewritesAndRecounts) {
  track_rewrites(20261208, 300);
  PairIndex::MergeMap some;
  for (TokenId left = 0; left < 80; ++left) {
    for (TokenId right = 0; right < 80; ++right) {
      if ((left + 2 * right) % 3 != 0) some.emplace(TokenPair{left, right}, 0);
    }
  }
  track_rewrites(1208, 100, &some);
}

template <class Index>
void track_exclusions(unsigned seed, int rounds) {
  std::mt19937 rng(seed);
  for (int round = 0; round < rounds; ++round) {
    Ids ids = random_ids(rng, std::uniform_int_distribution<std::size_t>(2, 600)(rng), 4);
    Index index(ids);
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

TEST(Differential, ExclusionsMatchASkipList) { track_exclusions<PairIndex>(7, 100); }

// ids 0 .. alphabet-1, each standing for one letter.
Model letters_model(TokenId alphabet) {
  Model model = starter_model();
  for (TokenId id = 1; id < alphabet; ++id) {
    std::string letter(1, static_cast<char>('a' + id - 1));
    model.lookup.emplace(id, letter);
    model.unicode_lookup.emplace(letter, id);
  }
  return model;
}

// Runs the plain and the fast passes over the same chunks on two copies of
// one model; everything they leave behind must agree.
void expect_same_training(const Model& start, const std::vector<Ids>& chunks,
                          const std::string& where) {
  Model plain_model = start;
  Model fast_model = start;
  Recorder plain_out;
  Recorder fast_out;
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    Ids plain = chunks[k];
    PairIndex index(chunks[k]);
    if (k > 0) {
      plain = known_merge_pass(plain_model, std::move(plain), plain_out.output(), {});
      known_merge_pass(fast_model, index, fast_out.output(), {});
      ASSERT_EQ(index.sequence(), plain) << where << " chunk " << k << " known merges";
    }
    plain = merge_learning_pass(plain_model, std::move(plain), plain_out.output(), {});
    merge_learning_pass(fast_model, index, fast_out.output(), {});
    ASSERT_EQ(index.sequence(), plain) << where << " chunk " << k;
    ASSERT_EQ(fast_out.console, plain_out.console) << where << " chunk " << k;
    ASSERT_EQ(fast_out.log, plain_out.log) << where << " chunk " << k;
    ASSERT_EQ(merges_of(fast_model), merges_of(plain_model)) << where << " chunk " << k;
    ASSERT_EQ(lookup_of(fast_model), lookup_of(plain_model)) << where << " chunk " << k;
  }
}

TEST(Differential, PassesOnRandomChunks) {
  std::mt19937 rng(31337);
  for (int round = 0; round < 40; ++round) {
    const TokenId alphabet = static_cast<TokenId>(3 + round % 4);
    std::vector<Ids> chunks;
    const int count = 1 + round % 4;
    for (int k = 0; k < count; ++k) {
      // Lengths from nothing to a few thousand; the short ones exercise the
      // one-id and two-id endings of both passes.
      std::size_t length = rng() % 5 == 0 ? rng() % 4 : rng() % 4000;
      Ids ids = random_ids(rng, length, alphabet);
      for (TokenId& id : ids) id = static_cast<TokenId>(id + 1);  // 0 is "oov"
      chunks.push_back(std::move(ids));
    }
    expect_same_training(letters_model(static_cast<TokenId>(alphabet + 1)), chunks,
                         "round " + std::to_string(round));
  }
}

TEST(Differential, InterruptStopsBothAtTheSameIteration) {
  // The driver's interrupt check runs once per iteration in both forms, so
  // an interrupt leaves the same merges learned and the same lines printed.
  std::mt19937 rng(5);
  Ids ids = random_ids(rng, 3000, 3);
  for (TokenId& id : ids) id = static_cast<TokenId>(id + 1);
  for (int stop_at : {1, 2, 5, 9}) {
    Model plain_model = letters_model(4);
    Model fast_model = letters_model(4);
    Recorder plain_out;
    Recorder fast_out;
    int polls = 0;
    auto interrupt = [&] {
      if (++polls == stop_at) throw std::runtime_error("interrupted");
    };
    EXPECT_THROW(merge_learning_pass(plain_model, ids, plain_out.output(), interrupt),
                 std::runtime_error);
    polls = 0;
    PairIndex index(ids);
    EXPECT_THROW(merge_learning_pass(fast_model, index, fast_out.output(), interrupt),
                 std::runtime_error);
    EXPECT_EQ(merges_of(fast_model), merges_of(plain_model)) << stop_at;
    EXPECT_EQ(fast_out.console, plain_out.console) << stop_at;
  }
}

TEST(Differential, KnownMergesOnModelsWithStrayMerges) {
  // Merges the passes did not learn themselves, some onto ids already in
  // use, as a loaded file may hold: hits and misses interleave.
  std::mt19937 rng(99);
  for (int round = 0; round < 60; ++round) {
    Model model = letters_model(5);
    for (int i = 0; i < 12; ++i) {
      TokenPair pair{static_cast<TokenId>(1 + rng() % 4), static_cast<TokenId>(1 + rng() % 4)};
      model.merges.insert_or_assign(pair,
                                    static_cast<TokenId>(rng() % 5 == 0 ? 1 + rng() % 4 : 5 + i));
    }
    for (TokenId id = 5; id < 17; ++id) model.lookup.emplace(id, "x");
    Ids ids = random_ids(rng, rng() % 1500, 4);
    for (TokenId& id : ids) id = static_cast<TokenId>(id + 1);
    Recorder plain_out;
    Recorder fast_out;
    Ids plain = known_merge_pass(model, ids, plain_out.output(), {});
    PairIndex index(ids);
    known_merge_pass(model, index, fast_out.output(), {});
    ASSERT_EQ(index.sequence(), plain) << "round " << round;
    ASSERT_EQ(fast_out.console, plain_out.console) << "round " << round;
  }
}

TEST(Differential, EncodeAgreesWithReference) {
  std::mt19937 rng(4242);
  const std::string letters = "abcd ";
  for (int round = 0; round < 40; ++round) {
    // A model learned from one text, then used on others (and on itself).
    Model model = letters_model(5);
    model.unicode_lookup.emplace(" ", 5);
    model.lookup.emplace(5, " ");
    auto text_of = [&](std::size_t length) {
      std::string text;
      for (TokenId id : random_ids(rng, length, 5)) text += letters[id];
      if (rng() % 3 == 0) text += "xyz\u00e9";  // unknown clusters take "oov"
      return text;
    };
    std::string training = text_of(rng() % 3000);
    Ids ids;
    for (char c : training) {
      auto found = model.unicode_lookup.find(std::string(1, c));
      ids.push_back(found == model.unicode_lookup.end() ? 0 : found->second);
    }
    Recorder quiet;
    merge_learning_pass(model, ids, quiet.output(), {});
    Encoder encoder(model);  // one for every text: nothing of one may leak into the next
    for (int text = 0; text < 4; ++text) {
      std::string sample = text == 0 ? training : text_of(rng() % 2500);
      ASSERT_EQ(encode(model, sample), encode_reference(model, sample)) << "round " << round;
      const Ids complete = encode_complete_reference(model, sample);
      ASSERT_EQ(encode(model, sample, Encoding::kComplete), complete) << "round " << round;
      ASSERT_EQ(encoder.encode(sample, Encoding::kComplete), complete) << "round " << round;
    }
  }
}

// Clusters of every length the encoder's cluster cache treats apart (one
// byte, 2 to 7 bytes, longer), more distinct ones than its cells hold, some
// unknown to the model, with merges learned on top.
TEST(Differential, EncodeClusterCacheAgreesWithReference) {
  std::vector<std::string> clusters = {"a",
                                       " ",
                                       "\n",
                                       "e\u0301",
                                       "e\u0301\u0301",
                                       "e\u0301\u0301\u0301",
                                       "e\u0301\u0301\u0301\u0301",
                                       "\U0001F1EB\U0001F1F7",
                                       "\U0001F44B"};
  for (char32_t cp = 0x4E00; cp < 0x4E00 + 600; ++cp) append_utf8(clusters.emplace_back(), cp);
  std::mt19937 rng(77);
  ClusterCache kept;  // one cache through every round, cleared as the model changes
  for (int round = 0; round < 6; ++round) {
    Model model = letters_model(1);
    TokenId next = 1;
    for (const std::string& cluster : clusters) {
      if (rng() % 5 == 0) continue;  // unknown: "oov"
      model.lookup.emplace(next, cluster);
      model.unicode_lookup.emplace(cluster, next++);
    }
    auto text_of = [&](std::size_t length, std::size_t alphabet) {
      std::string text;
      for (TokenId id : random_ids(rng, length, static_cast<TokenId>(alphabet))) {
        text += clusters[id];
      }
      return text;
    };
    std::string training = text_of(8000, clusters.size());
    Ids ids = encode_reference(model, training);
    Recorder quiet;
    merge_learning_pass(model, ids, quiet.output(), {});
    kept.clear();
    Encoder encoder(model);
    // The longest past 64 KB, where the index files learned merges only.
    for (std::size_t length : {0, 1, 30, 3000, 12000, 70000}) {
      std::string sample = text_of(length, round % 2 == 0 ? 12 : clusters.size());
      const Ids expected = encode_reference(model, sample);
      ASSERT_EQ(encode(model, sample), expected) << "round " << round;
      ASSERT_EQ(encode(model, sample, kept), expected) << "round " << round;
      const Ids complete = encode_complete_reference(model, sample);
      ASSERT_EQ(encode(model, sample, Encoding::kComplete), complete) << "round " << round;
      ASSERT_EQ(encode(model, sample, kept, Encoding::kComplete), complete) << "round " << round;
      ASSERT_EQ(encoder.encode(sample, Encoding::kComplete), complete) << "round " << round;
    }
  }
  // Longer than the texts whose working memory is kept, then short again.
  Model model = letters_model(3);
  model.lookup.emplace(3, "ab");
  model.lookup.emplace(4, "abab");
  model.merges.insert_or_assign(TokenPair{1, 2}, 3);
  model.merges.insert_or_assign(TokenPair{3, 3}, 4);
  for (std::size_t length : {(std::size_t{1} << 20) + 3, std::size_t{9}}) {
    std::string text;
    while (text.size() < length) text += rng() % 3 != 0 ? "ab" : "a";
    ASSERT_EQ(encode(model, text), encode_reference(model, text)) << length;
    ASSERT_EQ(encode(model, text, Encoding::kComplete), encode_complete_reference(model, text))
        << length;
  }
}

// Many merges of merges, over texts long enough that counts climb past what
// the short-text passes rank in bit sets and fall back again.
TEST(Differential, EncoderCompleteOnDeepModels) {
  std::mt19937 rng(9);
  for (int round = 0; round < 4; ++round) {
    Model model = letters_model(4);
    std::vector<TokenId> ids = {1, 2, 3};
    for (int merge = 0; merge < 150; ++merge) {
      const TokenPair pair{ids[rng() % ids.size()], ids[rng() % ids.size()]};
      if (!model.merges.contains(pair)) ids.push_back(model.add_merge(pair));
    }
    Encoder encoder(model);
    for (std::size_t length : {6000, 300, 9000}) {
      std::string text;
      for (TokenId id : random_ids(rng, length, 3)) text += static_cast<char>('a' + id);
      ASSERT_EQ(encoder.encode(text, Encoding::kComplete), encode_complete_reference(model, text))
          << "round " << round << ", length " << length;
    }
    // The longest text the short-text passes take, and one longer, against
    // the index's passes.
    std::string text;
    for (TokenId id : random_ids(rng, 0xFFFF, 3)) text += static_cast<char>('a' + id);
    for (std::size_t length : {0xFFFE, 0xFFFF}) {
      const std::string_view part(text.data(), length);
      ASSERT_EQ(encoder.encode(part, Encoding::kComplete), encode(model, part, Encoding::kComplete))
          << "round " << round << ", length " << length;
    }
    if (round == 0) {
      // Long enough for the index's long blocks and its lookup by merged id,
      // twice through one kept index.
      for (TokenId id : random_ids(rng, 0x40000 - text.size() + 5, 3)) text += 'a' + id;
      const Ids complete = encode_complete_reference(model, text);
      for (int again = 0; again < 2; ++again)
        ASSERT_EQ(encoder.encode(text, Encoding::kComplete), complete);
    }
  }
}

// Merges into the highest ids, into one of their own halves, and two merges
// into one id (a damaged file): the complete encoding of an encoder agrees
// with the reference, or with the index's passes where no rule decides.
TEST(Differential, EncoderCompleteOnUnusualModels) {
  const std::string text = "aabababbaabbbaaaababab";
  Model high = letters_model(3);
  high.lookup.emplace(0xFFFE, "ab");
  high.lookup.emplace(0xFFFD, "ba");
  high.merges.insert_or_assign(TokenPair{1, 2}, 0xFFFE);
  high.merges.insert_or_assign(TokenPair{2, 1}, 0xFFFD);
  high.merges.insert_or_assign(TokenPair{1, 1}, 1);
  EXPECT_EQ(Encoder(high).encode(text, Encoding::kComplete), encode_complete_reference(high, text));
  high.merges.erase(TokenPair{1, 2});
  EXPECT_EQ(Encoder(high).encode(text, Encoding::kComplete), encode_complete_reference(high, text));
  Model twice = letters_model(3);
  twice.lookup.emplace(3, "ab");
  twice.merges.insert_or_assign(TokenPair{1, 2}, 3);
  twice.merges.insert_or_assign(TokenPair{2, 1}, 3);
  EXPECT_EQ(Encoder(twice).encode(text, Encoding::kComplete),
            encode(twice, text, Encoding::kComplete));
  // A text on which the short-text merger would go wrong, had it taken either model.
  const std::string other = "baabbbbbaababbaabaaabaabaa";
  high.merges.insert_or_assign(TokenPair{1, 2}, 0xFFFE);
  EXPECT_EQ(Encoder(high).encode(other, Encoding::kComplete),
            encode_complete_reference(high, other));
  EXPECT_EQ(Encoder(twice).encode(other, Encoding::kComplete),
            encode(twice, other, Encoding::kComplete));
}

}  // namespace
}  // namespace velkor
