#include "train/merge_passes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "helpers.h"
#include "oracles.h"
#include "report/failure.h"

namespace velkor {
namespace {

// Both forms of the passes: on a vector of ids (the plain forms) and on a
// PairIndex, which must give the same sequence, model and output.
struct PlainForm {
  static Ids learn(Model& model, const Ids& ids, const PassOutput& out,
                   const InterruptCheck& check = {}) {
    return merge_learning_pass(model, ids, out, check);
  }
  static Ids known(const Model& model, const Ids& ids, const PassOutput& out) {
    return known_merge_pass(model, ids, out, {});
  }
};
struct IndexForm {
  static Ids learn(Model& model, const Ids& ids, const PassOutput& out,
                   const InterruptCheck& check = {}) {
    PairIndex index(ids);
    merge_learning_pass(model, index, out, check);
    return index.sequence();
  }
  static Ids known(const Model& model, const Ids& ids, const PassOutput& out) {
    PairIndex index(ids);
    known_merge_pass(model, index, out, {});
    return index.sequence();
  }
};

template <class Form>
class MergePasses : public ::testing::Test {};
using Forms = ::testing::Types<PlainForm, IndexForm>;
TYPED_TEST_SUITE(MergePasses, Forms);

Model ab_model() {
  Model model;
  model.lookup = {{0, ""}, {1, "a"}, {2, "b"}};
  model.unicode_lookup = {{"oov", 0}, {"a", 1}, {"b", 2}};
  return model;
}

Ids repeated(const Ids& part, int times) {
  Ids out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// pair occurs `times` times, each occurrence followed by a separator id of
// its own (first_separator, first_separator + 1, ...).
Ids separated(TokenPair pair, int times, TokenId first_separator) {
  Ids out;
  for (int i = 0; i < times; ++i) {
    out.insert(out.end(), {pair.left, pair.right, static_cast<TokenId>(first_separator + i)});
  }
  return out;
}

std::string failure_of(const std::function<void()>& step) {
  try {
    step();
  } catch (const Failure& failure) {
    return failure.what();
  }
  return "(no failure)";
}

TYPED_TEST(MergePasses, LearningWorkedExample) {
  Model model = ab_model();
  Recorder out;
  Ids ids = TypeParam::learn(model, repeated({1, 2}, 20), out.output());
  const Lines records = {"Token 3 | Merge (1, 2) | 20 Times | Loop 0\n",
                         "Token 4 | Merge (3, 3) | 19 Times | Loop 1\n"};
  EXPECT_EQ(out.console, records);
  EXPECT_EQ(out.log, records);
  EXPECT_EQ(ids, Ids(10, 4));
  EXPECT_EQ(merges_of(model), (std::map<std::pair<int, int>, int>{{{1, 2}, 3}, {{3, 3}, 4}}));
  EXPECT_EQ(model.lookup.at(3), "ab");
  EXPECT_EQ(model.lookup.at(4), "abab");
  EXPECT_EQ(model.lookup.size(), 5u);
  EXPECT_EQ(model.unicode_lookup.size(), 3u);

  // Without print_logs the records still reach the console.
  Model again = ab_model();
  Recorder console_only;
  TypeParam::learn(again, repeated({1, 2}, 20), console_only.output(false));
  EXPECT_EQ(console_only.console, records);
  EXPECT_TRUE(console_only.log.empty());
}

TYPED_TEST(MergePasses, LearningTenIsEnoughNineIsNot) {
  Model model = ab_model();
  Recorder out;
  Ids ids = TypeParam::learn(model, separated({1, 2}, 10, 100), out.output());
  EXPECT_EQ(out.console, Lines{"Token 3 | Merge (1, 2) | 10 Times | Loop 0\n"});
  EXPECT_EQ(ids.size(), 20u);

  Model untouched = ab_model();
  Recorder quiet;
  Ids same = separated({1, 2}, 9, 100);
  EXPECT_EQ(TypeParam::learn(untouched, same, quiet.output()), same);
  EXPECT_TRUE(quiet.console.empty());
  EXPECT_TRUE(untouched.merges.empty());
  EXPECT_EQ(untouched.lookup.size(), 3u);
}

TYPED_TEST(MergePasses, LearningLearnedPairIsAppliedUnderItsId) {
  Model model = ab_model();
  model.lookup[3] = "ab";
  model.merges[{1, 2}] = 3;
  Recorder out;
  Ids ids = TypeParam::learn(model, repeated({1, 2}, 20), out.output());
  EXPECT_EQ(out.console,
            (Lines{"No News Loop count is 3\n", "Token 4 | Merge (3, 3) | 19 Times | Loop 1\n"}));
  EXPECT_EQ(out.log, Lines{"Token 4 | Merge (3, 3) | 19 Times | Loop 1\n"});
  EXPECT_EQ(ids, Ids(10, 4));
}

TYPED_TEST(MergePasses, LearningSelfPairHoldsBytesTwice) {
  Model model = ab_model();
  Recorder out;
  Ids ids = TypeParam::learn(model, Ids(21, 1), out.output());
  EXPECT_EQ(out.console, Lines{"Token 3 | Merge (1, 1) | 20 Times | Loop 0\n"});
  EXPECT_EQ(model.lookup.at(3), "aa");
  Ids expected(10, 3);
  expected.push_back(1);
  EXPECT_EQ(ids, expected);
}

TYPED_TEST(MergePasses, LearningStopsAfter700Iterations) {
  // 710 pairs of 10 occurrences each: one pass learns 700 of them.
  Model model = starter_model();
  Ids ids;
  for (TokenId k = 0; k < 710; ++k) {
    const TokenPair pair{static_cast<TokenId>(1 + 2 * k), static_cast<TokenId>(2 + 2 * k)};
    model.lookup.emplace(pair.left, "x");
    model.lookup.emplace(pair.right, "y");
    for (int i = 0; i < 10; ++i) ids.insert(ids.end(), {pair.left, pair.right});
  }
  Recorder out;
  TypeParam::learn(model, ids, out.output());
  EXPECT_EQ(model.merges.size(), 700u);
}

TYPED_TEST(MergePasses, LearningShortSequencesAreLeftAlone) {
  Model model = ab_model();
  Recorder out;
  EXPECT_EQ(TypeParam::learn(model, Ids{}, out.output()), Ids{});
  EXPECT_EQ(TypeParam::learn(model, Ids{1}, out.output()), Ids{1});
  EXPECT_TRUE(out.console.empty());
}

TYPED_TEST(MergePasses, LearningInterruptKeepsWhatWasLearned) {
  Model model = ab_model();
  Recorder out;
  int polls = 0;
  auto interrupt_second = [&] {
    if (++polls == 2) throw std::runtime_error("interrupted");
  };
  EXPECT_THROW(TypeParam::learn(model, repeated({1, 2}, 20), out.output(), interrupt_second),
               std::runtime_error);
  EXPECT_EQ(merges_of(model), (std::map<std::pair<int, int>, int>{{{1, 2}, 3}}));
  EXPECT_EQ(model.lookup.size(), 4u);
}

TYPED_TEST(MergePasses, LearningFailedLogWriteStopsWithToWork) {
  Model model = ab_model();
  File full = File::open_append("/dev/full");
  const std::string message = failure_of(
      [&] { TypeParam::learn(model, repeated({1, 2}, 20), standard_pass_output(true, full)); });
  EXPECT_EQ(message.rfind("To Work: Os { code: 28", 0), 0u) << message;
  // The merge was inserted before its record was written.
  EXPECT_EQ(model.merges.size(), 1u);
}

TEST(NewTokens, NeverOverwrite) {
  Model full;
  for (int id = 0; id < 65536; ++id) full.lookup.emplace(static_cast<TokenId>(id), "x");
  EXPECT_EQ(failure_of([&] { full.add_merge({1, 2}); }),
            "Token id 65536 does not fit: the vocabulary is full");
  EXPECT_TRUE(full.merges.empty());

  Model gapped;
  gapped.lookup = {{0, ""}, {1, "a"}, {2, "b"}, {4, "d"}};
  // The next id, 4, is in use: the one after it is taken.
  EXPECT_EQ(gapped.add_merge({1, 2}), 5);
  EXPECT_EQ(gapped.lookup.at(4), "d");
  EXPECT_EQ(gapped.lookup.at(5), "ab");

  // A half without bytes is refused before merges gains an entry.
  Model broken;
  broken.lookup = {{0, ""}, {2, "b"}, {5, "e"}};
  EXPECT_EQ(failure_of([&] { broken.add_merge({1, 2}); }), "This should not happen");
  EXPECT_TRUE(broken.merges.empty());
  EXPECT_EQ(broken.lookup.size(), 3u);

  // An id that merges or unicode_lookup use is in use too, though lookup lacks it.
  Model dangling;
  dangling.lookup = {{0, ""}, {1, "a"}, {2, "b"}};
  dangling.merges = {{TokenPair{1, 2}, 3}};
  dangling.unicode_lookup = {{"c", 4}};
  EXPECT_EQ(dangling.add_merge({2, 1}), 5);
}

Lines misses(std::initializer_list<int> counts) {
  Lines out;
  for (int count : counts) out.push_back(miss_line(count));
  return out;
}

TYPED_TEST(MergePasses, KnownEmptyMergesMissSevenTimes) {
  Model model = ab_model();
  Recorder out;
  Ids ids;
  for (TokenId id = 1; id <= 10; ++id) ids.push_back(id);
  EXPECT_EQ(TypeParam::known(model, ids, out.output()), ids);
  EXPECT_EQ(out.console, misses({1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(out.console[0],
            "Failed to find a match between the max occur with already learned | Failed Count 1\n");
  // Fewer distinct pairs than seven: the pass ends once all have missed.
  Recorder few;
  TypeParam::known(model, Ids{1, 2, 3, 4}, few.output());
  EXPECT_EQ(few.console, misses({1, 2, 3}));
}

TYPED_TEST(MergePasses, KnownHitResetsMissCount) {
  Model model;
  model.merges[{30, 31}] = 99;
  Recorder out;
  // (10, 11) five times, (20, 21) four times, the learned (30, 31) three
  // times, and many single pairs around the separators.
  Ids ids = separated({10, 11}, 5, 100);
  for (TokenId id : separated({20, 21}, 4, 200)) ids.push_back(id);
  for (TokenId id : separated({30, 31}, 3, 300)) ids.push_back(id);
  Ids result = TypeParam::known(model, ids, out.output());
  Lines expected = misses({1, 2});
  expected.push_back(
      "Found a match between the max occur with already learned | Pair is (30, 31)\n");
  for (const std::string& line : misses({1, 2, 3, 4, 5, 6, 7})) expected.push_back(line);
  EXPECT_EQ(out.console, expected);
  EXPECT_EQ(std::count(result.begin(), result.end(), 99), 3);
  EXPECT_EQ(result.size(), ids.size() - 3);
}

TYPED_TEST(MergePasses, KnownAppliesMergeSeenOnce) {
  Model model;
  model.merges[{3, 4}] = 7;
  Recorder out;
  EXPECT_EQ(TypeParam::known(model, Ids{1, 2, 3, 4}, out.output()), (Ids{1, 2, 7}));
  Lines expected = misses({1, 2});
  expected.push_back(found_line({3, 4}));
  expected.push_back(miss_line(1));
  EXPECT_EQ(out.console, expected);
}

TYPED_TEST(MergePasses, KnownTwoClusterChunk) {
  Model model;
  Recorder miss;
  EXPECT_EQ(TypeParam::known(model, Ids{1, 2}, miss.output()), (Ids{1, 2}));
  EXPECT_EQ(miss.console, misses({1}));

  model.merges[{1, 2}] = 3;
  Recorder hit;
  EXPECT_EQ(TypeParam::known(model, Ids{1, 2}, hit.output()), Ids{3});
  EXPECT_EQ(hit.console,
            Lines{"Found a match between the max occur with already learned | Pair is (1, 2)\n"});

  Recorder quiet;
  EXPECT_EQ(TypeParam::known(model, Ids{5}, quiet.output()), Ids{5});
  EXPECT_TRUE(quiet.console.empty());
}

}  // namespace
}  // namespace velkor
