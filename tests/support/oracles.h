// The straightforward forms of the core's algorithms, for the tests, fuzz
// targets and benches to check the fast ones against: every step recounts
// or rewrites the whole sequence.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "codec/pair_index.h"
#include "model/model.h"
#include "train/interrupt.h"
#include "train/merge_passes.h"

namespace velkor {

using PairCounts = HashMap<TokenPair, std::uint32_t>;

// Count of every adjacent (left, right) pair of ids; overlapping runs count
// every position (x, x, x gives (x, x) twice).
PairCounts count_occur(std::span<const TokenId> ids);

// The ranking of the passes: a higher count wins, then the smaller pair, so
// the choice never depends on the map's iteration order.
inline bool ranks_above(TokenPair pair, std::uint32_t count, const BestPair& best) {
  if (count != best.count) return count > best.count;
  if (pair.left != best.pair.left) return pair.left < best.pair.left;
  return pair.right < best.pair.right;
}

// The most frequent pair by ranks_above; counts must not be empty.
BestPair best_pair(const PairCounts& counts);

// One pass from the left replacing every (left, right) by merged; matches do
// not overlap and the earlier one wins (x x x with (x, x) gives m x).
std::vector<TokenId> replace_pair(std::span<const TokenId> ids, TokenPair pair, TokenId merged);

// encode() by a full recount before every merge.
std::vector<TokenId> encode_reference(const Model& model, std::string_view text);

// encode() with Encoding::kComplete by a full recount of the learned-merge
// pairs before every merge.
std::vector<TokenId> encode_complete_reference(const Model& model, std::string_view text);

// The ids chunk_to_index() puts into its index, as a vector.
std::vector<TokenId> chunk_to_ids(Model& model, std::string_view chunk);

// The merge passes of train/merge_passes.h on a vector of ids.
std::vector<TokenId> known_merge_pass(const Model& model, std::vector<TokenId> ids,
                                      const PassOutput& out, const InterruptCheck& check_interrupt);
std::vector<TokenId> merge_learning_pass(Model& model, std::vector<TokenId> ids,
                                         const PassOutput& out,
                                         const InterruptCheck& check_interrupt);

// The counts an index holds.
struct PairIndexProbe {
  static PairCounts counts(const PairIndex& index) {
    PairCounts counts;
    for (std::size_t e = 0; e < index.entries_.size(); ++e) {
      if (index.counts_[e] == 0) continue;
      const std::uint32_t key = index.entries_[e].key;
      counts.emplace(TokenPair{static_cast<TokenId>(key >> 16), static_cast<TokenId>(key)},
                     index.counts_[e]);
    }
    return counts;
  }
  static std::uint32_t count(const PairIndex& index, TokenPair pair) {
    const std::uint32_t entry = index.find((std::uint32_t{pair.left} << 16) | pair.right);
    return entry == PairIndex::kNoEntry ? 0 : index.counts_[entry];
  }
};

}  // namespace velkor
