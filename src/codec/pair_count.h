// Counting adjacent id pairs.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/model.h"

namespace velkor {

using PairCounts = HashMap<TokenPair, std::uint32_t>;

// Count of every adjacent (left, right) pair of ids; overlapping runs count
// every position (x, x, x gives (x, x) twice).
PairCounts count_occur(std::span<const TokenId> ids);

// The most frequent pair; among equal counts the smallest pair (left id,
// then right id). counts must not be empty.
struct BestPair {
  TokenPair pair;
  std::uint32_t count;
};
BestPair best_pair(const PairCounts& counts);

// The ranking behind best_pair: a higher count wins, then the smaller pair,
// so the choice never depends on the map's iteration order.
inline bool ranks_above(TokenPair pair, std::uint32_t count, const BestPair& best) {
  if (count != best.count) return count > best.count;
  if (pair.left != best.pair.left) return pair.left < best.pair.left;
  return pair.right < best.pair.right;
}

// One pass from the left replacing every (left, right) by merged; matches do
// not overlap and the earlier one wins (x x x with (x, x) gives m x).
std::vector<TokenId> replace_pair(std::span<const TokenId> ids, TokenPair pair, TokenId merged);

}  // namespace velkor
