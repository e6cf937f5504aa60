// The decoder's two joins (short inputs, and long ones through a table by
// id) against a plain concatenation.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "report/failure.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

std::string plain_decode(const Model& model, const std::vector<TokenId>& ids) {
  std::string bytes;
  for (TokenId id : ids) bytes += model.lookup.at(id);
  return decode_utf8_lossy(bytes);
}

// Byte strings of every length around the 16-byte block copy, held both in
// place and on the heap (a long string cut short keeps its heap buffer),
// some of them ill-formed on their own or only where they meet.
Model mixed_model(std::mt19937& rng, bool well_formed) {
  static const char* const kPieces[] = {"a",    "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80",
                                        "\xC3", "\xA9",     "\xFF"};
  const int kinds = well_formed ? 4 : 7;
  Model model;
  for (TokenId id = 0; id < 300; ++id) {
    std::string bytes;
    const std::size_t pieces = rng() % 24;
    for (std::size_t i = 0; i < pieces; ++i) bytes += kPieces[rng() % kinds];
    if (id % 3 == 0) {
      std::string heap(100, 'x');
      heap.assign(bytes);
      model.lookup.emplace(id, std::move(heap));
    } else {
      model.lookup.emplace(id, std::move(bytes));
    }
  }
  return model;
}

TEST(DecoderPaths, ShortAndLongInputsJoinLikeAPlainLoop) {
  std::mt19937 rng(2024);
  for (bool well_formed : {true, false}) {
    const Model model = mixed_model(rng, well_formed);
    for (std::size_t count : {0u, 1u, 17u, 2047u, 2048u, 5000u, 70000u}) {
      std::vector<TokenId> ids(count);
      for (TokenId& id : ids) id = static_cast<TokenId>(rng() % 300);
      ASSERT_EQ(decode(model, ids), plain_decode(model, ids)) << count << " " << well_formed;
    }
  }
}

TEST(DecoderPaths, LongInputsFailAtTheirFirstUnknownId) {
  Model model;
  model.lookup = {{1, "a"}, {2, "b"}};
  std::vector<TokenId> ids(10000, 1);
  ids[9000] = 3;
  EXPECT_THROW(decode(model, ids), Failure);
  ids[9000] = 2;
  EXPECT_EQ(decode(model, ids), std::string(9000, 'a') + "b" + std::string(999, 'a'));
  std::vector<TokenId> empty_model_ids(5000, 0);
  try {
    decode(Model{}, empty_model_ids);
    FAIL() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "This should not happend");
  }
}

}  // namespace
}  // namespace velkor
