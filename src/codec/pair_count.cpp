#include "codec/pair_count.h"

namespace velkor {

PairCounts count_occur(std::span<const TokenId> ids) {
  PairCounts counts;
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
    ++counts[TokenPair{ids[i], ids[i + 1]}];
  }
  return counts;
}

BestPair best_pair(const PairCounts& counts) {
  BestPair best{{0, 0}, 0};
  bool first = true;
  for (const auto& [pair, count] : counts) {
    if (first || ranks_above(pair, count, best)) {
      best = {pair, count};
      first = false;
    }
  }
  return best;
}

std::vector<TokenId> replace_pair(std::span<const TokenId> ids, TokenPair pair, TokenId merged) {
  std::vector<TokenId> out;
  std::size_t i = 0;
  while (i < ids.size()) {
    if (i + 1 < ids.size() && ids[i] == pair.left && ids[i + 1] == pair.right) {
      out.push_back(merged);
      i += 2;
    } else {
      out.push_back(ids[i]);
      i += 1;
    }
  }
  return out;
}

}  // namespace velkor
