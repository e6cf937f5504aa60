#include "codec/encoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oracles.h"
#include "report/failure.h"

namespace velkor {
namespace {

using Ids = std::vector<TokenId>;

// "a" 1, "b" 2, "c" 3, "oov" 0; merges (1, 2) -> 4, (2, 3) -> 5, (4, 4) -> 6.
Model abc_model() {
  Model model;
  model.unicode_lookup = {{"oov", 0}, {"a", 1}, {"b", 2}, {"c", 3}};
  model.lookup = {{0, ""}, {1, "a"}, {2, "b"}, {3, "c"}, {4, "ab"}, {5, "bc"}, {6, "abab"}};
  model.merges = {{{1, 2}, 4}, {{2, 3}, 5}, {{4, 4}, 6}};
  return model;
}

// Both forms, which must always agree.
Ids encoded(const Model& model, std::string_view text) {
  Ids fast = encode(model, text);
  EXPECT_EQ(fast, encode_reference(model, text)) << text;
  return fast;
}

TEST(Encoder, WorkedExamples) {
  const Model model = abc_model();
  EXPECT_EQ(encoded(model, "abcab"), (Ids{4, 3, 4}));
  EXPECT_EQ(encoded(model, "cccab"), (Ids{3, 3, 3, 1, 2}));
  EXPECT_EQ(encoded(model, "abab"), (Ids{6}));
  EXPECT_EQ(encoded(model, "axb"), (Ids{1, 0, 2}));
}

// The complete encoding in both forms, checked as a result must be: it
// decodes to the text and leaves no adjacent pair that is a learned merge.
Ids completed(const Model& model, std::string_view text) {
  Ids fast = encode(model, text, Encoding::kComplete);
  EXPECT_EQ(fast, encode_complete_reference(model, text)) << text;
  for (std::size_t i = 0; i + 1 < fast.size(); ++i) {
    EXPECT_FALSE(model.merges.contains(TokenPair{fast[i], fast[i + 1]})) << text;
  }
  std::string decoded;
  for (TokenId id : fast) decoded += model.lookup.at(id);
  EXPECT_EQ(decoded, text);
  return fast;
}

TEST(Encoder, CompleteMergesWhileAnyPairIsLearned) {
  const Model model = abc_model();
  EXPECT_EQ(completed(model, "abcab"), (Ids{4, 3, 4}));
  EXPECT_EQ(completed(model, "cccab"), (Ids{3, 3, 3, 4}));
  EXPECT_EQ(completed(model, "abababc"), (Ids{6, 4, 3}));
  EXPECT_EQ(completed(model, "bcbcab"), (Ids{5, 5, 4}));
  EXPECT_EQ(completed(model, ""), Ids{});
  // A damaged model with more merges than ids allows is refused, not misread.
  Model damaged = abc_model();
  for (std::uint32_t i = 0; damaged.merges.size() <= 0xFFFF; ++i) {
    damaged.merges.insert_or_assign(TokenPair{7, static_cast<TokenId>(i)}, 7);
  }
  EXPECT_THROW(encode(damaged, "ab", Encoding::kComplete), Failure);
}

TEST(Encoder, ShortTextsAndUnknownClusters) {
  const Model model = abc_model();
  EXPECT_EQ(encoded(model, ""), Ids{});
  EXPECT_EQ(encoded(model, "c"), Ids{3});
  EXPECT_EQ(encoded(model, "z"), Ids{0});
  // "oov" is a text like any other: three clusters, never the reserved key.
  EXPECT_EQ(encoded(model, "oov"), (Ids{0, 0, 0}));
  // A letter with combining marks is one cluster, so one "oov" id.
  EXPECT_EQ(encoded(model, "a\u0301\u0302b"), (Ids{0, 2}));
}

TEST(Encoder, ClustersAreLookedUpWhole) {
  Model model;
  model.unicode_lookup = {{"oov", 0},
                          {"\u00e9", 1},   // precomposed é
                          {"e\u0301", 2},  // e + combining acute
                          {"\r\n", 3},
                          {"\u0915\u094d", 4},          // ka + virama
                          {"\u0937", 5},                // ssa
                          {"\U0001F1EB\U0001F1F7", 6},  // flag FR
                          {"\U0001F1EB", 7}};
  EXPECT_EQ(encoded(model, "\u00e9e\u0301"), (Ids{1, 2}));
  EXPECT_EQ(encoded(model, "\r\n\r\n"), (Ids{3, 3}));
  EXPECT_EQ(encoded(model, "\u0915\u094d\u0937"), (Ids{4, 5}));
  EXPECT_EQ(encoded(model, "\U0001F1EB\U0001F1F7\U0001F1EB"), (Ids{6, 7}));
}

TEST(Encoder, MarkersAreOrdinaryText) {
  Model model;
  model.unicode_lookup = {{"oov", 0}, {"^", 1}};
  EXPECT_EQ(encoded(model, "<|im_start|>").size(), 12u);
}

TEST(Encoder, StopsAtFirstUnlearnedBestPair) {
  // (1, 1) occurs most and is not learned; the learned (2, 3) is never tried.
  Model model;
  model.unicode_lookup = {{"oov", 0}, {"a", 1}, {"b", 2}, {"c", 3}};
  model.merges = {{{2, 3}, 9}};
  EXPECT_EQ(encoded(model, "aaabc"), (Ids{1, 1, 1, 2, 3}));
  // Equal counts: the smaller pair (1, 2) wins over (2, 3).
  model.merges = {{{1, 2}, 9}};
  EXPECT_EQ(encoded(model, "abc"), (Ids{9, 3}));
  model.merges = {{{2, 3}, 9}};
  EXPECT_EQ(encoded(model, "abc"), (Ids{1, 2, 3}));
}

TEST(Encoder, MissingOovFailsOnlyWhenNeeded) {
  Model model;
  model.unicode_lookup = {{"a", 1}};
  EXPECT_EQ(encoded(model, "aa"), (Ids{1, 1}));
  try {
    encode(model, "ab");
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "called `Option::unwrap()` on a `None` value");
  }
}

}  // namespace
}  // namespace velkor
