#include "train/merge_passes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/failure.h"

namespace velkor {
namespace {

using Ids = std::vector<TokenId>;
using Lines = std::vector<std::string>;

// Collects what the passes print and log.
struct Recorder {
  Lines console;
  Lines log;
  PassOutput output(bool with_log = true) {
    PassOutput out;
    out.console = [this](std::string_view line) { console.emplace_back(line); };
    if (with_log) out.log = [this](std::string_view record) { log.emplace_back(record); };
    return out;
  }
};

// Ordered copy: two keyed hash maps cannot be compared with == (each hashes
// with its own secret).
std::map<std::pair<int, int>, int> merges_of(const Model& model) {
  std::map<std::pair<int, int>, int> out;
  for (const auto& [pair, id] : model.merges) out[{pair.left, pair.right}] = id;
  return out;
}

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

TEST(MergeLearning, WorkedExample) {
  Model model = ab_model();
  Recorder out;
  Ids ids = merge_learning_pass(model, repeated({1, 2}, 20), out.output(), {});
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
  merge_learning_pass(again, repeated({1, 2}, 20), console_only.output(false), {});
  EXPECT_EQ(console_only.console, records);
  EXPECT_TRUE(console_only.log.empty());
}

TEST(MergeLearning, TenIsEnoughNineIsNot) {
  Model model = ab_model();
  Recorder out;
  Ids ids = merge_learning_pass(model, separated({1, 2}, 10, 100), out.output(), {});
  EXPECT_EQ(out.console, Lines{"Token 3 | Merge (1, 2) | 10 Times | Loop 0\n"});
  EXPECT_EQ(ids.size(), 20u);

  Model untouched = ab_model();
  Recorder quiet;
  Ids same = separated({1, 2}, 9, 100);
  EXPECT_EQ(merge_learning_pass(untouched, same, quiet.output(), {}), same);
  EXPECT_TRUE(quiet.console.empty());
  EXPECT_TRUE(untouched.merges.empty());
  EXPECT_EQ(untouched.lookup.size(), 3u);
}

TEST(MergeLearning, LearnedPairIsAppliedUnderItsId) {
  Model model = ab_model();
  model.lookup[3] = "ab";
  model.merges[{1, 2}] = 3;
  Recorder out;
  Ids ids = merge_learning_pass(model, repeated({1, 2}, 20), out.output(), {});
  EXPECT_EQ(out.console,
            (Lines{"No News Loop count is 3\n", "Token 4 | Merge (3, 3) | 19 Times | Loop 1\n"}));
  EXPECT_EQ(out.log, Lines{"Token 4 | Merge (3, 3) | 19 Times | Loop 1\n"});
  EXPECT_EQ(ids, Ids(10, 4));
}

TEST(MergeLearning, SelfPairHoldsBytesTwice) {
  Model model = ab_model();
  Recorder out;
  Ids ids = merge_learning_pass(model, Ids(21, 1), out.output(), {});
  EXPECT_EQ(out.console, Lines{"Token 3 | Merge (1, 1) | 20 Times | Loop 0\n"});
  EXPECT_EQ(model.lookup.at(3), "aa");
  Ids expected(10, 3);
  expected.push_back(1);
  EXPECT_EQ(ids, expected);
}

TEST(MergeLearning, ShortSequencesAreLeftAlone) {
  Model model = ab_model();
  Recorder out;
  EXPECT_EQ(merge_learning_pass(model, Ids{}, out.output(), {}), Ids{});
  EXPECT_EQ(merge_learning_pass(model, Ids{1}, out.output(), {}), Ids{1});
  EXPECT_TRUE(out.console.empty());
}

TEST(MergeLearning, InterruptKeepsWhatWasLearned) {
  Model model = ab_model();
  Recorder out;
  int polls = 0;
  auto interrupt_second = [&] {
    if (++polls == 2) throw std::runtime_error("interrupted");
  };
  EXPECT_THROW(merge_learning_pass(model, repeated({1, 2}, 20), out.output(), interrupt_second),
               std::runtime_error);
  EXPECT_EQ(merges_of(model), (std::map<std::pair<int, int>, int>{{{1, 2}, 3}}));
  EXPECT_EQ(model.lookup.size(), 4u);
}

TEST(MergeLearning, FailedLogWriteStopsWithToWork) {
  Model model = ab_model();
  File full = File::open_append("/dev/full");
  const std::string message = failure_of([&] {
    merge_learning_pass(model, repeated({1, 2}, 20), true, full, {});
  });
  EXPECT_EQ(message.rfind("To Work: Os { code: 28", 0), 0u) << message;
  // The merge was inserted before its record was written.
  EXPECT_EQ(model.merges.size(), 1u);
}

TEST(MergeLearning, NewIdsNeverOverwrite) {
  Model full;
  for (int id = 0; id < 65536; ++id) full.lookup.emplace(static_cast<TokenId>(id), "x");
  EXPECT_EQ(failure_of([&] {
              learn_merge(full, {1, 2});
            }),
            "Token id 65536 does not fit: the vocabulary is full");
  EXPECT_TRUE(full.merges.empty());

  Model gapped;
  gapped.lookup = {{0, ""}, {1, "a"}, {2, "b"}, {4, "d"}};
  EXPECT_EQ(failure_of([&] { learn_merge(gapped, {1, 2}); }), "New token id 4 is already in use");
  EXPECT_EQ(gapped.lookup.at(4), "d");
  EXPECT_TRUE(gapped.merges.empty());

  // A half without bytes is refused before merges gains an entry.
  Model broken;
  broken.lookup = {{0, ""}, {2, "b"}, {5, "e"}};
  EXPECT_EQ(failure_of([&] { learn_merge(broken, {1, 2}); }), "This should not happen");
  EXPECT_TRUE(broken.merges.empty());
  EXPECT_EQ(broken.lookup.size(), 3u);
}

Lines misses(std::initializer_list<int> counts) {
  Lines out;
  for (int count : counts) out.push_back(miss_line(count));
  return out;
}

TEST(KnownMerges, EmptyMergesMissSevenTimes) {
  Model model = ab_model();
  Recorder out;
  Ids ids;
  for (TokenId id = 1; id <= 10; ++id) ids.push_back(id);
  EXPECT_EQ(known_merge_pass(model, ids, out.output(), {}), ids);
  EXPECT_EQ(out.console, misses({1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(out.console[0],
            "Failed to find a match between the max occur with already learned | Failed Count 1\n");
  // Fewer distinct pairs than seven: the pass ends once all have missed.
  Recorder few;
  known_merge_pass(model, Ids{1, 2, 3, 4}, few.output(), {});
  EXPECT_EQ(few.console, misses({1, 2, 3}));
}

TEST(KnownMerges, HitResetsMissCount) {
  Model model;
  model.merges[{30, 31}] = 99;
  Recorder out;
  // (10, 11) five times, (20, 21) four times, the learned (30, 31) three
  // times, and many single pairs around the separators.
  Ids ids = separated({10, 11}, 5, 100);
  for (TokenId id : separated({20, 21}, 4, 200)) ids.push_back(id);
  for (TokenId id : separated({30, 31}, 3, 300)) ids.push_back(id);
  Ids result = known_merge_pass(model, ids, out.output(), {});
  Lines expected = misses({1, 2});
  expected.push_back(
      "Found a match between the max occur with already learned | Pair is (30, 31)\n");
  for (const std::string& line : misses({1, 2, 3, 4, 5, 6, 7})) expected.push_back(line);
  EXPECT_EQ(out.console, expected);
  EXPECT_EQ(std::count(result.begin(), result.end(), 99), 3);
  EXPECT_EQ(result.size(), ids.size() - 3);
}

TEST(KnownMerges, AppliesMergeSeenOnce) {
  Model model;
  model.merges[{3, 4}] = 7;
  Recorder out;
  EXPECT_EQ(known_merge_pass(model, Ids{1, 2, 3, 4}, out.output(), {}), (Ids{1, 2, 7}));
  Lines expected = misses({1, 2});
  expected.push_back(found_line({3, 4}));
  expected.push_back(miss_line(1));
  EXPECT_EQ(out.console, expected);
}

TEST(KnownMerges, TwoClusterChunk) {
  Model model;
  Recorder miss;
  EXPECT_EQ(known_merge_pass(model, Ids{1, 2}, miss.output(), {}), (Ids{1, 2}));
  EXPECT_EQ(miss.console, misses({1}));

  model.merges[{1, 2}] = 3;
  Recorder hit;
  EXPECT_EQ(known_merge_pass(model, Ids{1, 2}, hit.output(), {}), Ids{3});
  EXPECT_EQ(hit.console,
            Lines{"Found a match between the max occur with already learned | Pair is (1, 2)\n"});

  Recorder quiet;
  EXPECT_EQ(known_merge_pass(model, Ids{5}, quiet.output(), {}), Ids{5});
  EXPECT_TRUE(quiet.console.empty());
}

}  // namespace
}  // namespace velkor
