// chunk_to_index against the plain form, chunk_to_ids: every cluster probed
// in unicode_lookup, new ones numbered in order of first appearance.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "helpers.h"
#include "oracles.h"
#include "train/chunk_tokens.h"

namespace velkor {
namespace {

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
                                       "\xE4\xB8\xAD\xCC\x81\xCC\x81",  // 7 bytes, one cluster
                                       "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
                                       "\xFF",
                                       "<|im_start|>",
                                       "^",
                                       "oov",
                                       "\x7F"};
  std::mt19937 rng(31);
  for (int trial = 0; trial < 20; ++trial) {
    Model fast = starter_model();
    Model plain = starter_model();
    for (int chunk = 0; chunk < 2; ++chunk) {
      std::string text;
      const int parts = static_cast<int>(rng() % 400);
      for (int i = 0; i < parts; ++i) text += kParts[rng() % std::size(kParts)];
      text += std::string(1, '\0');
      PairIndex index;
      chunk_to_index(fast, text, index);
      ASSERT_EQ(index.sequence(), chunk_to_ids(plain, text)) << trial;
    }
    ASSERT_EQ(fast.lookup.size(), plain.lookup.size());
    for (const auto& [key, id] : plain.unicode_lookup) ASSERT_EQ(fast.unicode_lookup.at(key), id);
    for (const auto& [id, bytes] : plain.lookup) ASSERT_EQ(fast.lookup.at(id), bytes);
  }
}

// Chunks cut from a file start and end inside characters; the valid text
// before the first bad byte is kept as it is and only the rest mended.
TEST(ChunkIds, ChunksCutInsideCharacters) {
  for (const std::string text :
       {"ab\xE4\xB8",
        "\xB8\xAD"
        "ab",
        "\xAD"
        "a<|im_end|>b\xC3",
        "a<|im_start|>\xFF<|im_end|>\xF0\x9F\x91", "\xE4\xB8\xAD\xCC\x81<|im_start|>\xCC"}) {
    Model fast = starter_model();
    Model plain = starter_model();
    PairIndex index;
    chunk_to_index(fast, text, index);
    EXPECT_EQ(index.sequence(), chunk_to_ids(plain, text)) << text;
  }
}

}  // namespace
}  // namespace velkor
