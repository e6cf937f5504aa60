// Counting adjacent id pairs.
#pragma once

#include <cstdint>
#include <span>

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

}  // namespace velkor
