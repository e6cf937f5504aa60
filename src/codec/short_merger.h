// The complete encoding's passes for short texts, such as the documents of
// a batch. A short text needs hundreds of passes that each replace a few
// occurrences, so what a pass costs beyond its replacements decides the
// speed: this merger keeps the pairs that are learned merges in arrays
// indexed by the id they merge into (no table of the text's pairs to
// probe), remembers at each position which merge its pair is (no lookup to
// take a count back), and finds the most frequent pair in bit sets by
// count rather than in a heap.
//
// Glossary:
//   position  a place of the text, 1 to n, with 0 and n + 1 ending it; its
//             node links its live neighbours (prev, next).
//   merge m   a learned merge, named by the id it merges into.
//   filed     listed under the merge that the position's pair with its next
//             live id is (filed_prev, filed_next; head and count in
//             filed_[m]). Pairs that are no merge are listed under kNone,
//             which only the build fills and nothing reads.
//   taken     taken out of its list by the merge running now (kTaken).
//   pass      one merge(): every position of the chosen merge, left to right.
//   buckets   the bit sets of counts 1 to CountBuckets::kMaxCount; larger
//             counts have heap items, stale once the count has changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/count_buckets.h"
#include "codec/merge_lookup.h"
#include "model/model.h"

namespace velkor {

class ShortMerger {
 public:
  // The most ids a text may have.
  static constexpr std::size_t kMaxLength = 0xFFFE;

  // Whether the merger can serve model: no two of its merges give the same
  // id (the arrays are indexed by that id), and none gives 0xFFFE or 0xFFFF
  // (which mark positions).
  static bool serves(const Model& model);

  // For a model that serves() accepts, which must not change while this
  // merger is in use.
  explicit ShortMerger(const Model& model);

  // The complete encoding of a text whose cluster ids are ids (at most
  // kMaxLength): while any adjacent pair is a learned merge, replaces the
  // most frequent such pair (on equal counts the one with the smallest
  // merged id) left to right without overlaps.
  std::vector<TokenId> encode(const std::vector<TokenId>& ids);

 private:
  // What a position's pair merges into when it is no learned merge, and
  // when a merge running now has taken the position out of its list.
  static constexpr std::uint16_t kNone = 0xFFFF;
  static constexpr std::uint16_t kTaken = 0xFFFE;

  // One position, 1 to n, with 0 and n + 1 ending the sequence: its id, its
  // live neighbours, what its pair with the next live id merges into, and
  // its neighbours among the positions of that merge. One cache line holds
  // all a replacement reads of a position.
  struct Node {
    TokenId id;
    std::uint16_t prev, next;
    std::uint16_t merge;
    std::uint16_t filed_prev, filed_next;
  };
  // Per merged id: the first position holding its pair (0 for none), and
  // how many do. All zero again once a text is done, but kNone's, which only
  // the build fills (clearing it first).
  struct Filed {
    std::uint16_t head = 0;
    std::uint16_t count = 0;
  };

  std::vector<TokenId> merge_all(const std::vector<TokenId>& ids);
  // The merge that the pair (left, right) makes, or kNone.
  std::uint16_t merge_of(std::uint32_t left, std::uint32_t right);
  // Files position at under merge m; unfile takes it out again.
  void file(std::uint32_t at, std::uint16_t m);
  void unfile(std::uint32_t at, std::uint16_t m);
  // Notes that the count of merge m, was before, changes in this pass.
  void touch(std::uint16_t m, std::uint32_t was);
  // Replaces the occurrences of merge m, left to right without overlaps.
  void merge(std::uint16_t m);
  // m's heap item at its count now, and the same pushed on the heap.
  std::uint32_t heap_item(std::uint16_t m) const;
  void push(std::uint16_t m);

  MergeLookup merges_;
  std::vector<Filed> filed_;
  std::vector<Node> nodes_;
  // The merges of each small count; larger ones go to the heap.
  CountBuckets buckets_;
  // Max-heap of count << 16 | (0xFFFF - merged id) for the counts above the
  // buckets': the most frequent first, then the smallest id. Items go stale
  // as counts change and are checked when they reach the top.
  std::vector<std::uint32_t> heap_;
  // Merges whose count changed in this pass, with their count before it;
  // flagged.
  struct Changed {
    std::uint16_t merge;
    std::uint16_t was;
  };
  std::vector<Changed> changed_;
  std::size_t changed_size_ = 0;
  std::vector<std::uint8_t> changed_flags_;
  std::vector<std::uint16_t> positions_;
  std::vector<std::uint32_t> buckets_ahead_;  // the build's, per position
};

}  // namespace velkor
