// An id sequence that keeps the count and the positions of every adjacent
// pair up to date while merges rewrite it, so finding the most frequent pair
// and replacing it cost time in proportion to the occurrences touched, not
// to the length of the sequence.
//
// Glossary:
//   position   a place of the sequence, 1 to n; nodes_ holds a GapNode for
//              each, and a kEnd node at 0 and at n + 1.
//   live       a position that still holds an id; a merge removes the right
//              position of each pair it replaces.
//   gap        a run of removed positions; its first and last nodes hold
//              kEnd plus its length, so a live neighbour is one step away.
//   entry      the record of one distinct pair (Entry, its count in
//              counts_), found through table_, or through lookup_ and
//              by_merged_.
//   filed      written down under its pair's entry, so that merging the pair
//              visits the position without a walk. A pair counted but not
//              filed (head kUnfiled) is found by a walk if it is merged after
//              all, and filed from then on.
//   store      store_: the filed positions, stretches first, then blocks.
//   stretch    the positions the build filed for one entry, ascending and
//              side by side in store_ (begin, built); freed once merged.
//   block      block_ words of store_: block_ - 1 positions that merges
//              added, then the next block's number. An entry's blocks form
//              its chain; freed blocks go on a free list.
//   parked     while the build runs, a node holds its pair's entry in place
//              of its id; filing gives the id back from the entry's key.
//   sink       sink_: with Pairs::kMergesOnly, the one entry of all pairs
//              that are no learned merge, never filed and never ranked. In
//              the build, also the one word past the stretches that takes
//              the positions of pairs not filed.
//   candidate  a position a merge takes from its pair's stretch and chain
//              (or finds by its walk); stale when it no longer holds the
//              pair, as filed positions may be.
//   heap item  count << 32 | ~rank in heap_; stale when the entry's count is
//              no longer that count or the entry is excluded, and dropped or
//              queued again at its new count when it reaches the top.
//   excluded   passed over by best() until clear_exclusions().
//
// Performance notes. The runs are described in docs/benchmarks.md; "side by
// side" means builds before and after a change, run interleaved on one
// machine. Corpus files are build/bench-corpus/*.txt, made by `make bench`.
//
// 1. Blocks (kBlockBits). 16 words instead of 8: training full.txt 5 to 10%
//    less CPU for 2.2 MiB more peak (train() from Python on full.txt, side
//    by side; no bench/ program). 32 words: 6 MiB more peak than 16, no
//    clear gain (training full.txt). 128 words (kLongBlockBits) where only
//    learned merges are filed: the complete encoding of 3 to 5 MB texts 10
//    to 15% less CPU than with 16 (side by side; it landed together with
//    note 2, and how its share was told apart is not recorded).
// 2. lookup_ and by_merged_ in place of table_ and the merge map: with
//    note 1's long blocks, 14 to 18% less CPU for the complete encoding of
//    english.txt and mixed.txt, the standard one no slower (side by side,
//    ten encodes of each file).
// 3. table_ rather than HashMap: with Boost's map, learning after a chunk's
//    known merges ran 40 to 70% slower (build/bench/merge_bench, side by
//    side; its input is not recorded).
// 4. Prefetch distances (pair_index.cpp). kPrefetchNode 16 instead of 8: the
//    complete encoding's merges 10 to 14% less CPU (English 22.9 to 19.7 ms
//    per MB, mixed 21.2 to 18.9; best of 12 to 20 interleaved runs, side by
//    side, command not recorded), the whole encode 6 to 11% less, the
//    standard encoding and training no slower; 12 to 32 ahead were level.
//    kPrefetchBuild 8 against no prefetch: build/bench/train_bench on
//    full.txt, chunk_to_index 242 to 208 ms, the whole file 661 to 640 ms
//    (side by side); 4 and 16 were no better (figures not kept).
// 5. release() keeps the pages of the entries, counts and heap: training
//    full.txt median 0.598 to 0.577 s of CPU (3.5% less), system time 0.058
//    to 0.042 s, peak 55.7 and 55.8 MiB (train() from Python, six
//    interleaved runs, side by side). Keeping the store's pages beyond the
//    positions as well cost 8.6 MiB more peak for about 1% (not kept).
// 6. Lookup cache (kMaxCacheBits in pair_index.cpp): 8,192 to 65,536 cells
//    in training, and 16,384 in encoding, measured no better than 4,096
//    (commands not recorded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "codec/merge_lookup.h"
#include "memory/huge_pages.h"
#include "memory/keyed_hash.h"
#include "model/model.h"

namespace velkor {

// One position of the sequence, 4 bytes: a merge visits positions all over
// the sequence, and the smaller the array the more of it stays in cache. A
// live position holds its id. Merges remove positions, which form gaps
// between live ones; every removed position holds a value above kEnd, and
// the first and the last position of a gap hold kEnd plus its length, so
// the live neighbours of a live position are found from the positions right
// beside it. One kEnd position before the sequence and one after it end
// every walk.
struct GapNode {
  static constexpr std::uint32_t kEnd = 0x10000;  // above every id
  static constexpr std::size_t kMaxLength = 0xFFFF0000;

  std::uint32_t value;
  static GapNode gap(std::uint32_t length) { return GapNode{kEnd + length}; }
  // The length of the gap this node begins or ends, 0 for a live node
  // (without a branch: whether a node is removed is hard to predict).
  std::uint32_t skip() const { return value > kEnd ? value - kEnd : 0; }
  TokenId id() const { return static_cast<TokenId>(value); }
};
static_assert(sizeof(GapNode) == 4);

// A pair and how often it occurs.
struct BestPair {
  TokenPair pair;
  std::uint32_t count;
  TokenId merged = 0;  // with Pairs::kMergesOnly: what the pair merges into
};

// Reads the counts of an index for the tests (defined with them).
struct PairIndexProbe;

class PairIndex {
 public:
  // Longest sequence the index holds.
  static constexpr std::size_t kMaxLength = GapNode::kMaxLength;

  // An empty sequence.
  PairIndex() = default;
  // ids.size() must not exceed kMaxLength.
  explicit PairIndex(std::span<const TokenId> ids) { assign(ids); }

  // Starts over on ids, keeping the storage of the previous sequence so a
  // trainer can take one chunk after another without allocating again.
  // ids.size() must not exceed kMaxLength.
  void assign(std::span<const TokenId> ids);
  using MergeMap = HashMap<TokenPair, TokenId>;
  // As assign(), for the ids that fill(push) hands to push one at a time,
  // at most max_length of them. They go straight into the index's own
  // storage, so no separate copy of the sequence is ever held.
  // With merges, the positions of a pair are filed only if merges holds it
  // (all pairs are counted still): a pair that is not filed is found by a
  // walk over the whole sequence if it is merged after all.
  // With kMergesOnly, pairs that merges lacks are neither counted nor ever
  // chosen, and best() ranks equal counts by the smallest merged id; merges
  // must hold at most kMaxMergesOnly pairs.
  enum class Pairs { kAll, kMergesOnly };
  static constexpr std::size_t kMaxMergesOnly = 0xFFFF;
  template <class Fill>
  void assign_from(std::size_t max_length, Fill&& fill, const MergeMap* merges = nullptr,
                   Pairs pairs = Pairs::kAll) {
    set_mode(merges, pairs, max_length);
    GapNode* nodes = prepare(max_length);
    std::size_t length = 0;
    try {
      fill([&](TokenId id) {
        if (length == max_length) overflow();
        nodes[length++] = GapNode{id};
      });
    } catch (...) {
      build(0);  // an empty sequence rather than half-written nodes
      throw;
    }
    build(length);
  }

  // Number of ids in the current sequence.
  std::size_t size() const { return size_; }

  // Empties the index, as assign() of no ids would, and hands the pages of
  // its arrays back to the system, keeping their room and the pages that a
  // next sequence as long as this one writes first (its positions, filed
  // once each, and its pair entries). A trainer calls it after each chunk:
  // the next chunk allocates nothing, and its peak does not stack on the
  // pages that this chunk's merges grew into.
  void release();

  // The most frequent pair that is not excluded; among equal counts the
  // smallest pair (left id, then right id), or with Pairs::kMergesOnly the
  // one with the smallest merged id. Empty when no such pair occurs.
  std::optional<BestPair> best();

  // best() passes over pair until clear_exclusions().
  void exclude(TokenPair pair);
  void clear_exclusions();

  // Replaces the occurrences of pair by merged in one left-to-right pass
  // without overlaps, exactly as a rewrite of the whole sequence would;
  // returns the number replaced.
  std::size_t merge(TokenPair pair, TokenId merged);

  std::vector<TokenId> sequence() const;

 private:
  friend struct PairIndexProbe;
  static constexpr std::uint32_t kEnd = GapNode::kEnd;
  static constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
  // Marks a position of sink_ while the build runs.
  static constexpr std::uint32_t kSinkMark = 0x80000000;

  // A pair and where it was formed: positions that one left-to-right pass
  // filed at the build (a stretch of store_), then those that merges added (a
  // chain of blocks). A position still holds the pair if it is alive and it
  // and its next id still form it. Either part may hold stale positions,
  // and the two may repeat each other.
  struct Entry {
    std::uint32_t key;        // left << 16 | right
    std::uint32_t built = 0;  // positions in store_ from begin on, ascending
    std::uint32_t begin = 0;
    std::uint32_t head = kNoBlock;  // first block of the added positions, or kUnfiled
    std::uint32_t tail = kNoBlock;  // last block, holding tail_used of them
    std::uint8_t tail_used = 0;
    bool sorted = true;  // the added positions ascend (so no repeats)
    bool excluded = false;
    bool grown = false;  // count rose during the current merge
    TokenId merged = 0;  // with Pairs::kMergesOnly: what the pair merges into
  };

  // A block of added positions: block_ - 1 positions, then the next block.
  // Taking a pair's positions walks its chain, one cache miss per block
  // that the next block's address waits on: 16 words halve the walk of 8.
  // When only learned merges are filed, few pairs have a chain, so a long
  // sequence takes blocks of 128 words, whose partly filled ones cost
  // little. See Performance notes, 1.
  static constexpr unsigned kBlockBits = 4;
  static constexpr unsigned kLongBlockBits = 7;
  static constexpr std::uint32_t kNoBlock = 0xFFFFFFFF;
  static constexpr std::uint32_t kUnfiled = 0xFFFFFFFE;  // head of a pair not filed

  static std::uint32_t key_of(std::uint32_t left, std::uint32_t right) {
    return (left << 16) | right;
  }
  // What assign_from() files and how, for a sequence of max_length ids at
  // most.
  void set_mode(const MergeMap* merges, Pairs pairs, std::size_t max_length);
  // Room for max_length nodes after the kEnd one, to be filled with just
  // their ids, then build() on the first length of them.
  GapNode* prepare(std::size_t max_length);
  void build(std::size_t length);
  [[noreturn]] static void overflow();
  std::uint32_t find(std::uint32_t key) const;
  std::uint32_t find_or_add(std::uint32_t key);
  // A new entry for key, with what it merges into if it is a merge.
  std::uint32_t add_entry(std::uint32_t key, std::optional<TokenId> merged);
  // find() and find_or_add() when lookup_ is in use.
  std::uint32_t find_merge(std::uint32_t key) const;
  std::uint32_t find_or_add_merge(std::uint32_t key);
  void grow_table();
  // find_or_add() through a small direct-mapped cache: a merge looks up the
  // same few pairs (those holding the merged id or the pair's ids) over and
  // over.
  std::uint32_t cached_entry(std::uint32_t key);
  // Records that the pair key now starts at position.
  void add_occurrence(std::uint32_t key, std::uint32_t position);
  std::uint32_t new_block();
  // Hands the whole blocks within a taken built stretch to the free list.
  void free_stretch(std::uint32_t begin, std::uint32_t size);
  // Takes the entry's positions for a merge, ascending without repeats:
  // the built stretch as it lies in store_ when nothing was added, otherwise
  // both parts joined in scratch_.
  std::span<const std::uint32_t> take_positions(Entry& entry);
  // The heap item of an entry at count: see heap_.
  std::uint64_t heap_item(std::uint32_t count, std::uint32_t entry) const {
    const std::uint32_t rank =
        merges_only_ ? (std::uint32_t{entries_[entry].merged} << 16) | entry : entries_[entry].key;
    return (std::uint64_t{count} << 32) | static_cast<std::uint32_t>(~rank);
  }
  // The entry a heap item stands for.
  std::uint32_t entry_of(std::uint64_t item) const {
    const auto rank = ~static_cast<std::uint32_t>(item);
    return merges_only_ ? rank & 0xFFFF : find(rank);
  }
  void push(std::uint32_t count, std::uint32_t entry);

  // kEnd, the sequence with its gaps, kEnd: the positions of a sequence of
  // n ids are 1 to n. A merge keeps the left position of a pair, so
  // position 1 is never removed.
  std::vector<GapNode, HugePageAllocator<GapNode>> nodes_;
  const MergeMap* file_only_ = nullptr;
  // With Pairs::kMergesOnly: every pair that file_only_ lacks maps to the one
  // entry sink_ (kNoEntry until one occurs), whose count means nothing and
  // which is never pushed to the heap.
  bool merges_only_ = false;
  std::uint32_t sink_ = kNoEntry;
  // Pairs that merge() filed from then on, not being in file_only_.
  std::size_t merged_unfiled_ = 0;
  std::size_t size_ = 0;

  std::vector<Entry> entries_;
  // First the positions filed at the build, grouped by entry, then the
  // blocks of added positions (block b at word b * block_). A merged pair's
  // blocks go to the free list, and so does its built stretch once taken:
  // the most frequent pairs are merged first, and their stretches hold most
  // of what later merges add, so the store hardly grows past the build.
  std::vector<std::uint32_t, HugePageAllocator<std::uint32_t>> store_;
  std::vector<std::uint32_t> scratch_;
  std::uint32_t free_block_ = kNoBlock;
  unsigned block_bits_ = kBlockBits;
  std::uint32_t block_ = 1u << kBlockBits;  // words per block
  // Occurrences of each entry's pair, apart from the entries themselves so
  // the updates of a merge stay within a few cache lines.
  std::vector<std::uint32_t> counts_;
  // Open addressing: key << 32 | (entry + 1), 0 for an empty bucket. Kept
  // rather than HashMap: without kMergesOnly, best() probes it for every
  // heap item that reaches the top, and a probe touches one cache line
  // where Boost's map touches two (see Performance notes, 3).
  std::vector<std::uint64_t> table_;
  std::size_t table_used_ = 0;  // cells in use
  HashSecret secret_ = HashSecret::draw();
  // With Pairs::kMergesOnly on a long sequence, when no two merges give the
  // same id: the merges in a table that answers in one cache line, and per
  // merged id its entry + 1 (0 for none yet), in place of table_ and of the
  // merge map, whose probes missed the caches for every pair of the text
  // (see Performance notes, 2).
  std::unique_ptr<MergeLookup> lookup_;
  std::vector<std::uint32_t> by_merged_;
  // Same layout, one cell per hash of the key, replaced on a miss.
  std::vector<std::uint64_t> cache_;
  unsigned cache_shift_ = 0;  // 32 less the cache's index bits

  // Max-heap of count << 32 | ~key, so ties go to the smallest left, then
  // right id; with Pairs::kMergesOnly, of count << 32 | ~(merged << 16 |
  // entry), so ties go to the smallest merged id and the item names its
  // entry without a lookup. Items go stale as counts change and are checked
  // when they reach the top; every occurring pair has an item at least as
  // high as its count.
  std::vector<std::uint64_t> heap_;
  std::vector<std::uint32_t> grown_;
  std::vector<std::uint32_t> excluded_;
};

}  // namespace velkor
