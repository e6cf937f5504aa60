#include "codec/pair_index.h"

#include <algorithm>

#include "report/failure.h"

namespace velkor {
namespace {

// How many candidate positions ahead a merge prefetches. A candidate that
// earlier merges consumed is passed in a few cycles, so a late pass, whose
// list is mostly such positions, runs through 8 of them before the fetch
// arrives. See Performance notes in pair_index.h, 4.
constexpr std::size_t kPrefetchNode = 16;
// How many positions ahead the build's filing pass fetches the word it
// writes (twice as far ahead, the end of the stretch that says which word).
// See Performance notes in pair_index.h, 4.
constexpr std::size_t kPrefetchBuild = 8;
// The lookup cache: 4096 cells, fewer for short sequences (an encode of a
// few words should not clear 32 KiB). Larger caches gained nothing: see
// Performance notes in pair_index.h, 6.
constexpr unsigned kMaxCacheBits = 12;
constexpr unsigned kMinCacheBits = 6;
// The most items an array is reserved for ahead of need (a few training
// chunks' worth); beyond it, as for an encode of a huge text, arrays grow
// as they fill rather than claim gigabytes of address space up front.
constexpr std::size_t kMaxRoom = std::size_t{1} << 24;
// From this length on, an index that files learned merges only takes long
// blocks, and with Pairs::kMergesOnly looks pairs up through a MergeLookup
// made for the sequence (a fraction of a millisecond).
constexpr std::size_t kLongFrom = std::size_t{1} << 18;

}  // namespace

void PairIndex::assign(std::span<const TokenId> ids) {
  set_mode(nullptr, Pairs::kAll, ids.size());
  GapNode* nodes = prepare(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) nodes[i] = GapNode{ids[i]};
  build(ids.size());
}

void PairIndex::set_mode(const MergeMap* merges, Pairs pairs, std::size_t max_length) {
  const bool merges_only = pairs == Pairs::kMergesOnly;
  // An entry's index must fit beside the merged id in a heap item.
  if (merges_only && (merges == nullptr || merges->size() > kMaxMergesOnly)) {
    fail("more merges than the learned-merge pair index holds");
  }
  merges_only_ = merges_only;
  file_only_ = merges;
  lookup_.reset();
  block_bits_ = merges != nullptr && max_length >= kLongFrom ? kLongBlockBits : kBlockBits;
  block_ = 1u << block_bits_;
  if (merges_only && max_length >= kLongFrom && MergeLookup::distinct_results(*merges)) {
    by_merged_.resize(kIdSpace);  // the build clears what the last sequence set
    lookup_ = std::make_unique<MergeLookup>(*merges);
  }
}

GapNode* PairIndex::prepare(std::size_t max_length) {
  if (max_length > kMaxLength) fail("sequence too long for the pair index");
  if (max_length + 2 > nodes_.capacity()) {
    // Nothing to keep, so nothing copied; some room to spare, so the next
    // chunk, a few bytes longer once mended, does not move the array again.
    nodes_.clear();
    nodes_.reserve(max_length + max_length / 16 + 2);
  }
  nodes_.resize(max_length + 2);  // left uninitialised, see HugePageAllocator::construct
  return nodes_.data() + 1;
}

void PairIndex::overflow() { fail("more ids than announced to the pair index"); }

void PairIndex::build(std::size_t length) {
  const auto n = static_cast<std::uint32_t>(length);
  nodes_.resize(std::size_t{n} + 2);
  nodes_[0] = GapNode{kEnd};
  nodes_[n + 1] = GapNode{kEnd};
  size_ = n;
  if (!by_merged_.empty()) {
    for (const Entry& entry : entries_) by_merged_[entry.merged] = 0;
  }
  entries_.clear();
  counts_.clear();
  store_.clear();
  free_block_ = kNoBlock;
  heap_.clear();
  grown_.clear();
  excluded_.clear();
  sink_ = kNoEntry;
  merged_unfiled_ = 0;
  table_used_ = 0;
  // Room for what the sequence can need, so that these arrays are never
  // copied as they grow (a copy holds both at once): as many entries as
  // pairs, and heap items for them and for the counts merges raise. Only
  // the pages written become resident.
  const std::size_t room = std::min<std::size_t>(n, kMaxRoom);
  if (entries_.capacity() < room) {
    entries_.reserve(room);
    counts_.reserve(room);
  }
  if (heap_.capacity() < 2 * room) heap_.reserve(2 * room);
  // A table grown for a longer sequence before starts small again, so that
  // an index reused for a short text does not clear more than it can fill.
  if (table_.empty() || table_.size() > 4 * std::max<std::size_t>(n, 64)) {
    table_.assign(64, 0);
  } else {
    std::fill(table_.begin(), table_.end(), 0);
  }
  cache_shift_ = 32 - kMinCacheBits;
  while (cache_shift_ > 32 - kMaxCacheBits && (std::size_t{1} << (32 - cache_shift_)) < n) {
    --cache_shift_;
  }
  cache_.assign(std::size_t{1} << (32 - cache_shift_), 0);
  if (n < 2) return;
  // Room for the blocks of a chunk's merges beyond what the freed stretches
  // give, asked for at once so the store is not copied as it grows; pages
  // never written cost nothing.
  if (store_.capacity() < std::size_t{n} + room) store_.reserve(std::size_t{n} + 2 * room);
  // The nodes hold just the ids so far. One lookup per position, whose
  // entry is parked in its node (the left id of the entry's key gives the
  // id back); the stretches are laid out by the counts, and a second pass
  // files each position.
  GapNode* nodes = nodes_.data();
  std::uint32_t left = nodes[1].value;
  for (std::uint32_t i = 1; i < n; ++i) {
    const std::uint32_t right = nodes[i + 1].value;
    const std::uint32_t entry = cached_entry(key_of(left, right));
    ++counts_[entry];
    // A position of sink_ keeps its id, marked, since sink_'s key does not
    // give it back.
    nodes[i].value = entry != sink_ ? entry : kSinkMark | left;
    left = right;
  }
  // For each entry, its left id and the end of its stretch so far (heap_'s
  // room, not yet in use); the positions of pairs not filed all go to one
  // word past the stretches.
  std::vector<std::uint64_t>& ends = heap_;
  ends.resize(entries_.size());
  std::uint32_t sink = 0;
  for (std::size_t e = 0; e < entries_.size(); ++e) {
    if (entries_[e].head == kUnfiled) continue;
    ends[e] = sink;
    sink += counts_[e];
  }
  for (std::size_t e = 0; e < entries_.size(); ++e) {
    if (entries_[e].head == kUnfiled) ends[e] = sink;
    ends[e] |= std::uint64_t{entries_[e].key >> 16} << 32;
  }
  store_.resize((std::size_t{sink} + block_) >> block_bits_ << block_bits_);
  std::uint32_t* pool = store_.data();
  std::uint64_t* end_of = ends.data();
  for (std::uint32_t i = 1; i < n && merges_only_; ++i) {
    // As below, without the prefetches, and past the marked positions.
    if (nodes[i].value & kSinkMark) {
      nodes[i].value &= ~kSinkMark;
      continue;
    }
    std::uint64_t& end = end_of[nodes[i].value];
    pool[static_cast<std::uint32_t>(end)] = i;
    nodes[i].value = static_cast<std::uint32_t>(end >> 32);
    ++end;
  }
  for (std::uint32_t i = 1; i < n && !merges_only_; ++i) {
    // Most stretches are written far apart from each other: fetch, further
    // ahead, the end of the stretch of a later position, and nearer, the
    // word of the stretch it points to.
    if (i + 2 * kPrefetchBuild < n) {
      __builtin_prefetch(&end_of[nodes[i + 2 * kPrefetchBuild].value]);
      __builtin_prefetch(&pool[static_cast<std::uint32_t>(end_of[nodes[i + kPrefetchBuild].value])],
                         1);
    }
    std::uint64_t& end = end_of[nodes[i].value];
    const auto at = static_cast<std::uint32_t>(end);
    pool[at] = i;
    nodes[i].value = static_cast<std::uint32_t>(end >> 32);
    end += at != sink;  // a stretch that ends at the sink is full by then
  }
  for (std::size_t e = 0; e < entries_.size(); ++e) {
    if (entries_[e].head != kUnfiled) {
      entries_[e].built = counts_[e];
      entries_[e].begin = static_cast<std::uint32_t>(ends[e]) - counts_[e];
    }
    ends[e] = heap_item(counts_[e], static_cast<std::uint32_t>(e));
  }
  if (sink_ != kNoEntry) {
    ends[sink_] = ends.back();
    ends.pop_back();
  }
  std::make_heap(heap_.begin(), heap_.end());
}

std::uint32_t PairIndex::find(std::uint32_t key) const {
  if (lookup_ != nullptr) return find_merge(key);
  const std::size_t mask = table_.size() - 1;
  for (std::size_t bucket = keyed_mix(secret_, key) & mask;; bucket = (bucket + 1) & mask) {
    std::uint64_t cell = table_[bucket];
    if (cell == 0) return kNoEntry;
    if (static_cast<std::uint32_t>(cell >> 32) == key) {
      return static_cast<std::uint32_t>(cell) - 1;
    }
  }
}

std::uint32_t PairIndex::find_merge(std::uint32_t key) const {
  const std::uint32_t merged = lookup_->find(key >> 16, key & 0xFFFF);
  return merged == MergeLookup::kNone ? kNoEntry : by_merged_[merged] - 1;
}

std::uint32_t PairIndex::find_or_add_merge(std::uint32_t key) {
  const std::uint32_t merged = lookup_->find(key >> 16, key & 0xFFFF);
  if (merged == MergeLookup::kNone) {
    return sink_ != kNoEntry ? sink_ : add_entry(key, std::nullopt);
  }
  std::uint32_t& slot = by_merged_[merged];
  if (slot == 0) slot = add_entry(key, static_cast<TokenId>(merged)) + 1;
  return slot - 1;
}

std::uint32_t PairIndex::add_entry(std::uint32_t key, std::optional<TokenId> merged) {
  const auto entry = static_cast<std::uint32_t>(entries_.size());
  Entry& added = entries_.emplace_back();
  added.key = key;
  if (file_only_ != nullptr && !merged) added.head = kUnfiled;
  if (merged) added.merged = *merged;
  counts_.push_back(0);
  if (merges_only_ && !merged) sink_ = entry;
  return entry;
}

std::uint32_t PairIndex::find_or_add(std::uint32_t key) {
  if (lookup_ != nullptr) return find_or_add_merge(key);
  std::size_t mask = table_.size() - 1;
  std::size_t bucket = keyed_mix(secret_, key) & mask;
  for (;; bucket = (bucket + 1) & mask) {
    std::uint64_t cell = table_[bucket];
    if (cell == 0) break;
    if (static_cast<std::uint32_t>(cell >> 32) == key) {
      return static_cast<std::uint32_t>(cell) - 1;
    }
  }
  std::optional<TokenId> merged;
  if (file_only_ != nullptr) {
    auto found =
        file_only_->find(TokenPair{static_cast<TokenId>(key >> 16), static_cast<TokenId>(key)});
    if (found != file_only_->end()) merged = found->second;
  }
  // Not filed in the table: it would fill with every pair of the text and
  // miss the caches, while the merge map is small and stays in them.
  if (merges_only_ && !merged && sink_ != kNoEntry) return sink_;
  const std::uint32_t entry = add_entry(key, merged);
  table_[bucket] = (std::uint64_t{key} << 32) | (entry + 1);
  // Keep the load at most one half so probe runs stay short.
  if (++table_used_ * 2 > table_.size()) grow_table();
  return entry;
}

void PairIndex::grow_table() {
  std::vector<std::uint64_t> old(table_.size() * 2, 0);
  old.swap(table_);
  const std::size_t mask = table_.size() - 1;
  for (std::uint64_t cell : old) {
    if (cell == 0) continue;
    std::size_t bucket = keyed_mix(secret_, cell >> 32) & mask;
    while (table_[bucket] != 0) bucket = (bucket + 1) & mask;
    table_[bucket] = cell;
  }
}

void PairIndex::push(std::uint32_t count, std::uint32_t entry) {
  heap_.push_back(heap_item(count, entry));
  std::push_heap(heap_.begin(), heap_.end());
}

std::optional<BestPair> PairIndex::best() {
  while (!heap_.empty()) {
    const std::uint64_t top = heap_.front();
    const auto stored = static_cast<std::uint32_t>(top >> 32);
    const std::uint32_t index = entry_of(top);
    const std::uint32_t key = entries_[index].key;
    const bool excluded = entries_[index].excluded;
    const std::uint32_t count = counts_[index];
    if (!excluded && count == stored) {
      return BestPair{{static_cast<TokenId>(key >> 16), static_cast<TokenId>(key)},
                      stored,
                      entries_[index].merged};
    }
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.pop_back();
    // A count that fell is queued again at its new value; one that rose
    // already has a newer, higher entry.
    if (!excluded && count != 0 && count < stored) push(count, index);
  }
  return std::nullopt;
}

void PairIndex::exclude(TokenPair pair) {
  std::uint32_t entry = find(key_of(pair.left, pair.right));
  if (entry == kNoEntry || entry == sink_ || entries_[entry].excluded) return;
  entries_[entry].excluded = true;
  excluded_.push_back(entry);
}

void PairIndex::clear_exclusions() {
  for (std::uint32_t entry : excluded_) {
    entries_[entry].excluded = false;
    if (counts_[entry] != 0) push(counts_[entry], entry);
  }
  excluded_.clear();
}

[[gnu::always_inline]] inline std::uint32_t PairIndex::cached_entry(std::uint32_t key) {
  std::uint64_t& cell = cache_[(key * 0x9E3779B1u) >> cache_shift_];
  if (cell != 0 && static_cast<std::uint32_t>(cell >> 32) == key) {
    return static_cast<std::uint32_t>(cell) - 1;
  }
  const std::uint32_t entry = find_or_add(key);
  cell = (std::uint64_t{key} << 32) | (entry + 1);
  return entry;
}

std::uint32_t PairIndex::new_block() {
  if (free_block_ != kNoBlock) {
    const std::uint32_t block = free_block_;
    free_block_ = store_[(std::size_t{block} << block_bits_) + block_ - 1];
    return block;
  }
  const std::size_t words = store_.size();
  if ((words >> block_bits_) >= kUnfiled) fail("too many positions for the pair index");
  store_.resize(words + block_);
  return static_cast<std::uint32_t>(words >> block_bits_);
}

void PairIndex::free_stretch(std::uint32_t begin, std::uint32_t size) {
  const std::size_t first = (std::size_t{begin} + block_ - 1) >> block_bits_;
  const std::size_t end = (std::size_t{begin} + size) >> block_bits_;
  // Highest first, so they are taken again in ascending order.
  for (std::size_t block = end; block-- > first;) {
    store_[(block << block_bits_) + block_ - 1] = free_block_;
    free_block_ = static_cast<std::uint32_t>(block);
  }
}

[[gnu::always_inline]] inline void PairIndex::add_occurrence(std::uint32_t key,
                                                             std::uint32_t position) {
  const std::uint32_t index = cached_entry(key);
  if (index == sink_) return;
  ++counts_[index];
  Entry* entry = &entries_[index];
  if (!entry->grown) {
    entry->grown = true;
    grown_.push_back(index);
  }
  std::uint32_t used = entry->tail_used;
  if (entry->head == kUnfiled) return;
  if (entry->head == kNoBlock) {
    const std::uint32_t block = new_block();
    entry->head = block;
    entry->tail = block;
    used = 0;
  } else {
    const std::size_t tail = std::size_t{entry->tail} << block_bits_;
    if (store_[tail + used - 1] >= position) entry->sorted = false;
    if (used == block_ - 1) {
      const std::uint32_t block = new_block();
      store_[tail + block_ - 1] = block;
      entry->tail = block;
      used = 0;
    }
  }
  store_[(std::size_t{entry->tail} << block_bits_) + used] = position;
  entry->tail_used = static_cast<std::uint8_t>(used + 1);
}

std::span<const std::uint32_t> PairIndex::take_positions(Entry& entry) {
  const std::uint32_t* built = store_.data() + entry.begin;
  const std::uint32_t built_size = entry.built;
  entry.built = 0;
  if (entry.head == kNoBlock) return {built, built_size};
  // Copy the chain out, handing its blocks back.
  scratch_.clear();
  for (std::uint32_t block = entry.head;;) {
    const std::size_t at = std::size_t{block} << block_bits_;
    const bool last = block == entry.tail;
    const std::uint32_t* first = store_.data() + at;
    scratch_.insert(scratch_.end(), first, first + (last ? entry.tail_used : block_ - 1));
    const std::uint32_t next = store_[at + block_ - 1];
    store_[at + block_ - 1] = free_block_;
    free_block_ = block;
    if (last) break;
    block = next;
  }
  entry.head = kNoBlock;
  entry.tail = kNoBlock;
  entry.tail_used = 0;
  if (!entry.sorted) {
    std::sort(scratch_.begin(), scratch_.end());
    scratch_.erase(std::unique(scratch_.begin(), scratch_.end()), scratch_.end());
    entry.sorted = true;
  }
  if (built_size != 0) {
    const std::size_t added = scratch_.size();
    scratch_.insert(scratch_.end(), built, built + built_size);
    std::inplace_merge(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(added),
                       scratch_.end());
    scratch_.erase(std::unique(scratch_.begin(), scratch_.end()), scratch_.end());
  }
  return scratch_;
}

std::size_t PairIndex::merge(TokenPair pair, TokenId merged) {
  const std::uint32_t a = pair.left;
  const std::uint32_t b = pair.right;
  const std::uint32_t target = find(key_of(a, b));
  if (target == kNoEntry || target == sink_ || counts_[target] == 0) return 0;

  // Each replacement files at most two positions, each perhaps in a new
  // block; with that room the store does not move under candidates. The
  // new blocks are also at most one per block_ - 1 positions and a first
  // one per pair that gets positions: a pair with the merged id on one
  // side, and with merges, one of those or a pair merged while not filed
  // (with long blocks, a bound of a block per position would move the store).
  const std::size_t filed = std::size_t{counts_[target]} * 2;
  std::size_t pairs = 2 * kIdSpace;
  if (file_only_ != nullptr) pairs = std::min(pairs, file_only_->size() + merged_unfiled_ + 1);
  const std::size_t blocks = std::min(filed, filed / (block_ - 1) + pairs);
  const std::size_t need = store_.size() + (blocks << block_bits_);
  if (need > store_.capacity()) store_.reserve(std::max(need, store_.capacity() * 2));
  const std::uint32_t stretch_begin = entries_[target].begin;
  const std::uint32_t stretch_size = entries_[target].built;
  // Occurrences formed while this merge runs are not part of it (the merge
  // never rescans what it has written), so work on the list as it stands.
  std::span<const std::uint32_t> candidates;
  if (entries_[target].head == kUnfiled) {
    // Every position holding a; filed from now on.
    scratch_.clear();
    for (std::uint32_t p = 1; p + 1 < nodes_.size(); ++p) {
      if (nodes_[p].value == a) scratch_.push_back(p);
    }
    entries_[target].head = kNoBlock;
    ++merged_unfiled_;
    candidates = scratch_;
  } else {
    candidates = take_positions(entries_[target]);
  }

  // Left to right, each step is one rewrite of the current sequence with
  // exact counts, so a position consumed by an earlier match (now removed)
  // cannot match again, and runs of equal ids come out as a rewrite from
  // the left leaves them. New pairs form only at or before the current
  // position, so a later candidate that still holds the pair held it when
  // the merge began.
  std::size_t replaced = 0;
  GapNode* nodes = nodes_.data();
  const std::size_t total = candidates.size();
  for (std::size_t k = 0; k < total; ++k) {
    // The positions are known in advance: fetch ahead to hide the misses.
    // The neighbours mostly lie right beside the candidate, so the lines
    // from one before it to two after it are fetched by address, without
    // waiting for the node to arrive.
    if (k + kPrefetchNode < total) {
      const std::uint32_t ahead = candidates[k + kPrefetchNode];
      __builtin_prefetch(&nodes[ahead - 1], 1);
      __builtin_prefetch(&nodes[ahead + 2], 1);
    }
    // A removed position, or one holding another id, fails the first test;
    // kEnd the second.
    const std::uint32_t p = candidates[k];
    if (nodes[p].value != a) continue;
    const std::uint32_t q = p + 1 + nodes[p + 1].skip();
    if (nodes[q].value != b) continue;
    const std::uint32_t after = q + 1 + nodes[q + 1].skip();
    const std::uint32_t before = p - 1 - nodes[p - 1].skip();
    // The ids beside the pair, or kEnd.
    const std::uint32_t left = nodes[before].value;
    const std::uint32_t right = nodes[after].value;
    if (left != kEnd) --counts_[cached_entry(key_of(left, a))];
    --counts_[target];
    if (right != kEnd) --counts_[cached_entry(key_of(b, right))];

    // Positions p + 1 to after - 1 now form one gap; q within it.
    const GapNode gap = GapNode::gap(after - p - 1);
    nodes[q] = gap;
    nodes[p + 1] = gap;
    nodes[after - 1] = gap;
    nodes[p] = GapNode{merged};

    if (left != kEnd) add_occurrence(key_of(left, merged), before);
    if (right != kEnd) add_occurrence(key_of(merged, right), p);
    ++replaced;
  }
  size_ -= replaced;
  free_stretch(stretch_begin, stretch_size);

  for (std::uint32_t index : grown_) {
    entries_[index].grown = false;
    if (counts_[index] != 0) push(counts_[index], index);
  }
  grown_.clear();
  return replaced;
}

void PairIndex::release() {
  // A build writes one word of the store per position (the position, in
  // its pair's stretch), so the first length words are written again by a
  // sequence of the same length.
  const std::size_t length = nodes_.size();
  // The table keeps its size: grown again from the smallest one, it would
  // be rehashed a dozen times by the next chunk.
  std::vector<std::uint64_t> table;
  table.swap(table_);
  build(0);
  table_.swap(table);
  std::fill(table_.begin(), table_.end(), 0);
  // The entries, counts and heap keep their pages: the next chunk's build
  // writes about as many again (one entry per pair), and handing them back
  // only had them cleared anew; the store's pages beyond the positions go,
  // as keeping them costs peak. See Performance notes in pair_index.h, 5.
  release_beyond(nodes_, length);
  release_beyond(store_, length);
  release_beyond(scratch_, 0);
}

std::vector<TokenId> PairIndex::sequence() const {
  if (nodes_.empty()) return {};
  // One pass over all positions, each written and kept only if live: no
  // branch to mispredict and no chain of loads from gap to gap.
  std::vector<TokenId> out(size_ + 1);
  TokenId* next = out.data();
  const GapNode* nodes = nodes_.data();
  const std::size_t end = nodes_.size() - 1;
  for (std::size_t p = 1; p < end; ++p) {
    *next = nodes[p].id();
    next += nodes[p].value < kEnd;
  }
  out.pop_back();
  return out;
}

}  // namespace velkor
