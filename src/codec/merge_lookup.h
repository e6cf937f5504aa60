// A read-only copy of a model's merges made for answering "which merge is
// this pair?" millions of times: four pairs to a 32-byte bucket, all four
// compared at once, so a lookup reads one cache line and seldom a second.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "memory/keyed_hash.h"
#include "model/model.h"

namespace velkor {

class MergeLookup {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;

  explicit MergeLookup(const Model& model) : MergeLookup(model.merges) {}
  explicit MergeLookup(const HashMap<TokenPair, TokenId>& merges);

  // Whether no two of merges give the same id, so that a merged id names
  // its merge.
  static bool distinct_results(const HashMap<TokenPair, TokenId>& merges);

  // Where find(left, right) starts; for a caller that fetches it ahead.
  std::size_t bucket_of(std::uint32_t left, std::uint32_t right) const {
    return bucket_of((left << 16) | right);
  }
  void prefetch(std::size_t bucket) const { __builtin_prefetch(&buckets_[bucket]); }

  // The id pair (left, right) merges into, or kNone.
  std::uint32_t find(std::uint32_t left, std::uint32_t right) const {
    return find(left, right, bucket_of(left, right));
  }
  // The same, starting at first, which is bucket_of(left, right).
  std::uint32_t find(std::uint32_t left, std::uint32_t right, std::size_t first) const {
    const std::uint32_t key = (left << 16) | right;
    for (std::size_t at = first;; at = (at + 1) & mask_) {
      const Bucket& bucket = buckets_[at];
      const std::uint32_t hits = matches(bucket, key);
      const std::uint32_t value = bucket.merged[std::countr_zero(hits | kSlotsMask) & (kSlots - 1)];
      const std::uint32_t found = hits != 0 ? value : kNone;
      // Pairs that hash here and found no room sit in a later bucket. One
      // test of both, which is rarely false (two would mispredict on
      // whether the pair was found).
      if (static_cast<bool>((hits != 0) | !bucket.overflowed)) [[likely]]
        return found;
    }
  }

 private:
  static constexpr std::uint32_t kSlots = 4;
  static constexpr std::uint32_t kSlotsMask = 1u << kSlots;
  struct alignas(32) Bucket {
    std::uint32_t keys[kSlots] = {};
    std::uint16_t merged[kSlots] = {};
    std::uint8_t used = 0;
    bool overflowed = false;
  };
  // Bit i: slot i holds key.
  static std::uint32_t matches(const Bucket& bucket, std::uint32_t key) {
#ifdef __SSE2__
    const __m128i keys = _mm_load_si128(reinterpret_cast<const __m128i*>(bucket.keys));
    const auto equal = static_cast<std::uint32_t>(_mm_movemask_ps(
        _mm_castsi128_ps(_mm_cmpeq_epi32(keys, _mm_set1_epi32(static_cast<int>(key))))));
#else
    std::uint32_t equal = 0;
    for (std::uint32_t slot = 0; slot < kSlots; ++slot)
      equal |= std::uint32_t{bucket.keys[slot] == key} << slot;
#endif
    return equal & ((1u << bucket.used) - 1);
  }
  std::size_t bucket_of(std::uint32_t key) const { return keyed_mix(secret_, key) & mask_; }

  HashSecret secret_ = HashSecret::draw();
  std::vector<Bucket> buckets_;
  std::size_t mask_ = 0;
};

}  // namespace velkor
