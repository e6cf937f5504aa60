// The threaded batch path: the same results as one encode per text, errors
// and stops carried back to the caller. Also built under ThreadSanitizer.
#include "codec/batch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/decoder.h"
#include "threads/parallel.h"

namespace velkor {
namespace {

Model abc_model() {
  Model model;
  model.unicode_lookup = {{"oov", 0}, {"a", 1}, {"b", 2}, {"c", 3}};
  model.lookup = {{0, ""}, {1, "a"}, {2, "b"}, {3, "c"}, {4, "ab"}, {5, "bc"}, {6, "abab"}};
  model.merges = {{{1, 2}, 4}, {{2, 3}, 5}, {{4, 4}, 6}};
  return model;
}

const Poll kGoOn = [] { return true; };

TEST(Batch, EqualsOneEncodePerText) {
  const Model model = abc_model();
  EncoderPool pool(model);
  std::vector<std::string> owned;
  for (int i = 0; i < 300; ++i) owned.push_back(std::string(i % 37, "abcx"[i % 4]) + "abcab");
  owned.push_back(std::string(200000, 'a') + "bcab");
  const std::vector<std::string_view> texts(owned.begin(), owned.end());
  for (unsigned threads : {0u, 1u, 4u}) {
    const auto results = encode_batch(pool, texts, Encoding::kStandard, threads, kGoOn);
    ASSERT_EQ(results.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(results[i], encode(model, texts[i]));
    const auto decoded = decode_batch(model, results, threads, kGoOn);
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(decoded[i], decode(model, results[i]));
  }
}

TEST(Batch, ErrorsAndStopsReachTheCaller) {
  Model model = abc_model();
  model.unicode_lookup.erase("oov");
  EncoderPool pool(model);
  const std::vector<std::string_view> texts(50, "abx");
  EXPECT_THROW(encode_batch(pool, texts, Encoding::kStandard, 4, kGoOn), MissingOov);
  const std::vector<std::string> long_texts(64, std::string(1 << 20, 'a'));
  const std::vector<std::string_view> views(long_texts.begin(), long_texts.end());
  EXPECT_THROW(encode_batch(pool, views, Encoding::kStandard, 2, [] { return false; }), Stopped);
}

}  // namespace
}  // namespace velkor
