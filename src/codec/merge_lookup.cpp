#include "codec/merge_lookup.h"

#include <algorithm>
#include <bit>

namespace velkor {

MergeLookup::MergeLookup(const HashMap<TokenPair, TokenId>& merges) {
  // Slots for twice the merges, so few buckets overflow.
  const std::size_t buckets = std::bit_ceil(std::max<std::size_t>(merges.size() / 2, 1));
  buckets_.resize(buckets);
  mask_ = buckets - 1;
  for (const auto& [pair, merged] : merges) {
    const std::uint32_t key = (std::uint32_t{pair.left} << 16) | pair.right;
    std::size_t at = bucket_of(key);
    while (buckets_[at].used == kSlots) {
      buckets_[at].overflowed = true;
      at = (at + 1) & mask_;
    }
    Bucket& bucket = buckets_[at];
    bucket.keys[bucket.used] = key;
    bucket.merged[bucket.used] = merged;
    ++bucket.used;
  }
}

bool MergeLookup::distinct_results(const HashMap<TokenPair, TokenId>& merges) {
  std::vector<bool> seen(kIdSpace);
  for (const auto& [pair, merged] : merges) {
    if (seen[merged]) return false;
    seen[merged] = true;
  }
  return true;
}

}  // namespace velkor
