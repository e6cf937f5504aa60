// chunk_to_ids against a plain form: every cluster probed in unicode_lookup,
// new ones numbered in order of first appearance.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "train/chunk_tokens.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

std::vector<TokenId> plain_ids(Model& model, std::string_view chunk) {
  const std::string text = replace_markers(decode_utf8_lossy(chunk));
  std::vector<TokenId> ids;
  for_each_grapheme(text, [&](std::string_view cluster) {
    const std::string key(cluster);
    if (!model.unicode_lookup.contains(key)) {
      const auto id = static_cast<TokenId>(model.lookup.size());
      model.lookup.emplace(id, key);
      model.unicode_lookup.emplace(key, id);
    }
    ids.push_back(model.unicode_lookup.at(key));
  });
  return ids;
}

Model starter() {
  Model model;
  model.lookup.emplace(0, "");
  model.unicode_lookup.emplace("oov", 0);
  return model;
}

// Texts mixing one-byte clusters, CR LF, combining marks, other scripts and
// ill-formed bytes, over two chunks so the second meets known clusters.
TEST(ChunkIds, AgreeWithPlainProbing) {
  static const char* const kParts[] = {"a",
                                       "b",
                                       " ",
                                       "\n",
                                       "\r\n",
                                       "e\xCC\x81",
                                       "\xC3\xA9",
                                       "\xE4\xB8\xAD",
                                       "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
                                       "\xFF",
                                       "<|im_start|>",
                                       "^",
                                       "oov",
                                       "\x7F"};
  std::mt19937 rng(31);
  for (int trial = 0; trial < 20; ++trial) {
    Model fast = starter();
    Model plain = starter();
    for (int chunk = 0; chunk < 2; ++chunk) {
      std::string text;
      const int parts = static_cast<int>(rng() % 400);
      for (int i = 0; i < parts; ++i) text += kParts[rng() % std::size(kParts)];
      text += std::string(1, '\0');
      ASSERT_EQ(chunk_to_ids(fast, text), plain_ids(plain, text)) << trial;
    }
    ASSERT_EQ(fast.lookup.size(), plain.lookup.size());
    for (const auto& [key, id] : plain.unicode_lookup) ASSERT_EQ(fast.unicode_lookup.at(key), id);
    for (const auto& [id, bytes] : plain.lookup) ASSERT_EQ(fast.lookup.at(id), bytes);
  }
}

}  // namespace
}  // namespace velkor
