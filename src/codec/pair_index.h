// An id sequence that keeps the count and the positions of every adjacent
// pair up to date while merges rewrite it, so finding the most frequent pair
// and replacing it cost time in proportion to the occurrences touched, not
// to the length of the sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/pair_count.h"
#include "model/model.h"
#include "support/hash_map.h"

namespace velkor {

class PairIndex {
 public:
  // Longest sequence the index holds (positions are 32-bit).
  static constexpr std::size_t kMaxLength = 0xFFFFFFF0u;

  // ids.size() must not exceed kMaxLength.
  explicit PairIndex(std::span<const TokenId> ids);

  // Number of ids in the current sequence.
  std::size_t size() const { return size_; }

  // The most frequent pair that is not excluded; among equal counts the
  // smallest pair (left id, then right id), as best_pair() chooses. Empty
  // when no such pair occurs.
  std::optional<BestPair> best();

  // best() passes over pair until clear_exclusions().
  void exclude(TokenPair pair);
  void clear_exclusions();

  // Occurrences of pair, overlapping ones included (as count_occur()).
  std::uint32_t count(TokenPair pair) const;

  // Replaces the occurrences of pair by merged in one left-to-right pass
  // without overlaps, exactly as a rewrite of the whole sequence would;
  // returns the number replaced.
  std::size_t merge(TokenPair pair, TokenId merged);

  std::vector<TokenId> sequence() const;
  // The counts of the current sequence, as count_occur() would build them.
  PairCounts counts() const;

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  struct Entry {
    std::uint32_t key;  // left << 16 | right
    std::uint32_t count = 0;
    // Positions where the pair was formed; a position still holds it while
    // slot_[position] names this entry. May hold stale and repeated ones.
    std::vector<std::uint32_t> positions;
    bool sorted = true;
    bool excluded = false;
    bool grown = false;  // count rose during the current merge
  };

  static std::uint32_t key_of(TokenId left, TokenId right) {
    return (std::uint32_t{left} << 16) | right;
  }
  std::uint32_t find(std::uint32_t key) const;
  std::uint32_t find_or_add(std::uint32_t key);
  void grow_table();
  // Records that the pair key now starts at position; returns its entry.
  std::uint32_t add_occurrence(std::uint32_t key, std::uint32_t position);
  std::uint32_t cached_entry(std::uint32_t key);
  void push(std::uint32_t count, std::uint32_t key);

  // The sequence as a linked list over the original positions; position 0
  // is never removed, so it is always the head.
  std::vector<TokenId> ids_;
  std::vector<std::uint32_t> prev_;
  std::vector<std::uint32_t> next_;
  // Entry of the pair starting at each position; kNone for the last id and
  // for removed positions.
  std::vector<std::uint32_t> slot_;
  std::size_t size_ = 0;

  std::vector<Entry> entries_;
  // Open addressing: key << 32 | (entry + 1), 0 for an empty bucket.
  std::vector<std::uint64_t> table_;
  HashSecret secret_ = HashSecret::draw();

  // Max-heap of count << 32 | ~key, so ties go to the smallest left, then
  // right id. Entries go stale as counts change and are checked when they
  // reach the top; every occurring pair has an entry at least as high as
  // its count.
  std::vector<std::uint64_t> heap_;
  std::vector<std::uint32_t> grown_;
  std::vector<std::uint32_t> excluded_;

  // Per-merge memo of the entries of (x, merged) and (merged, x), by x.
  std::vector<std::uint32_t> memo_entry_;
  std::vector<std::uint32_t> memo_stamp_;
  std::uint32_t memo_merged_ = 0;
  std::uint32_t stamp_ = 0;
  bool use_memo_ = false;
};

}  // namespace velkor
