// Pair counts in a fixed order, so tests can compare maps whose iteration
// order is random.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "codec/pair_count.h"

namespace velkor {

using Ids = std::vector<TokenId>;
using Counts = std::map<std::pair<TokenId, TokenId>, std::uint32_t>;

inline Counts sorted(const PairCounts& counts) {
  Counts out;
  for (const auto& [pair, count] : counts) out[{pair.left, pair.right}] = count;
  return out;
}

}  // namespace velkor
