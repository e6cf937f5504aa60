#include "codec/pair_index.h"

#include <algorithm>

#include "support/failure.h"

namespace velkor {
namespace {

constexpr std::uint32_t kRemoved = 0xFFFFFFFEu;
// Below this many candidate positions a merge looks new pairs up in the
// table directly; above it the per-merge memo pays for itself.
constexpr std::size_t kMemoThreshold = 512;

}  // namespace

PairIndex::PairIndex(std::span<const TokenId> ids) : ids_(ids.begin(), ids.end()) {
  if (ids.size() > kMaxLength) fail("sequence too long for the pair index");
  const auto n = static_cast<std::uint32_t>(ids.size());
  size_ = n;
  prev_.resize(n);
  next_.resize(n);
  slot_.resize(n);
  table_.assign(64, 0);
  for (std::uint32_t i = 0; i < n; ++i) {
    prev_[i] = i == 0 ? kNone : i - 1;
    next_[i] = i + 1 == n ? kNone : i + 1;
  }
  if (n < 2) {
    if (n == 1) slot_[0] = kNone;
    return;
  }
  // Count first so every position list is allocated once at its final size.
  for (std::uint32_t i = 0; i + 1 < n; ++i) {
    std::uint32_t entry = find_or_add(key_of(ids_[i], ids_[i + 1]));
    slot_[i] = entry;
    ++entries_[entry].count;
  }
  slot_[n - 1] = kNone;
  for (Entry& entry : entries_) entry.positions.reserve(entry.count);
  for (std::uint32_t i = 0; i + 1 < n; ++i) entries_[slot_[i]].positions.push_back(i);
  heap_.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    heap_.push_back((std::uint64_t{entry.count} << 32) | static_cast<std::uint32_t>(~entry.key));
  }
  std::make_heap(heap_.begin(), heap_.end());
}

std::uint32_t PairIndex::find(std::uint32_t key) const {
  const std::size_t mask = table_.size() - 1;
  for (std::size_t bucket = keyed_mix(secret_, key) & mask;; bucket = (bucket + 1) & mask) {
    std::uint64_t cell = table_[bucket];
    if (cell == 0) return kNone;
    if (static_cast<std::uint32_t>(cell >> 32) == key) {
      return static_cast<std::uint32_t>(cell) - 1;
    }
  }
}

std::uint32_t PairIndex::find_or_add(std::uint32_t key) {
  std::size_t mask = table_.size() - 1;
  std::size_t bucket = keyed_mix(secret_, key) & mask;
  for (;; bucket = (bucket + 1) & mask) {
    std::uint64_t cell = table_[bucket];
    if (cell == 0) break;
    if (static_cast<std::uint32_t>(cell >> 32) == key) {
      return static_cast<std::uint32_t>(cell) - 1;
    }
  }
  const auto entry = static_cast<std::uint32_t>(entries_.size());
  entries_.emplace_back().key = key;
  table_[bucket] = (std::uint64_t{key} << 32) | (entry + 1);
  // Keep the load at most one half so probe runs stay short.
  if (entries_.size() * 2 > table_.size()) grow_table();
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

void PairIndex::push(std::uint32_t count, std::uint32_t key) {
  heap_.push_back((std::uint64_t{count} << 32) | static_cast<std::uint32_t>(~key));
  std::push_heap(heap_.begin(), heap_.end());
}

std::optional<BestPair> PairIndex::best() {
  while (!heap_.empty()) {
    const std::uint64_t top = heap_.front();
    const auto stored = static_cast<std::uint32_t>(top >> 32);
    const auto key = ~static_cast<std::uint32_t>(top);
    const Entry& entry = entries_[find(key)];
    if (!entry.excluded && entry.count == stored) {
      return BestPair{{static_cast<TokenId>(key >> 16), static_cast<TokenId>(key)}, stored};
    }
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.pop_back();
    // A count that fell is queued again at its new value; one that rose
    // already has a newer, higher entry.
    if (!entry.excluded && entry.count != 0 && entry.count < stored) push(entry.count, key);
  }
  return std::nullopt;
}

void PairIndex::exclude(TokenPair pair) {
  std::uint32_t entry = find(key_of(pair.left, pair.right));
  if (entry == kNone || entries_[entry].excluded) return;
  entries_[entry].excluded = true;
  excluded_.push_back(entry);
}

void PairIndex::clear_exclusions() {
  for (std::uint32_t entry : excluded_) {
    Entry& e = entries_[entry];
    e.excluded = false;
    if (e.count != 0) push(e.count, e.key);
  }
  excluded_.clear();
}

std::uint32_t PairIndex::count(TokenPair pair) const {
  std::uint32_t entry = find(key_of(pair.left, pair.right));
  return entry == kNone ? 0 : entries_[entry].count;
}

std::uint32_t PairIndex::cached_entry(std::uint32_t key) {
  if (!use_memo_) return find_or_add(key);
  // Every pair formed by a merge holds the merged id on one side; the other
  // id picks the memo cell.
  const std::uint32_t cell = (key >> 16) == memo_merged_ ? 0x10000u + (key & 0xFFFFu) : (key >> 16);
  if (memo_stamp_[cell] != stamp_) {
    memo_stamp_[cell] = stamp_;
    memo_entry_[cell] = find_or_add(key);
  }
  return memo_entry_[cell];
}

std::uint32_t PairIndex::add_occurrence(std::uint32_t key, std::uint32_t position) {
  const std::uint32_t index = cached_entry(key);
  Entry& entry = entries_[index];
  ++entry.count;
  if (!entry.grown) {
    entry.grown = true;
    grown_.push_back(index);
  }
  if (!entry.positions.empty() && entry.positions.back() >= position) entry.sorted = false;
  entry.positions.push_back(position);
  return index;
}

std::size_t PairIndex::merge(TokenPair pair, TokenId merged) {
  const std::uint32_t target = find(key_of(pair.left, pair.right));
  if (target == kNone || entries_[target].count == 0) return 0;

  // Occurrences formed while this merge runs are not part of it (the merge
  // never rescans what it has written), so work on the list as it stands.
  std::vector<std::uint32_t> candidates;
  candidates.swap(entries_[target].positions);
  if (!entries_[target].sorted) {
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    entries_[target].sorted = true;
  }

  use_memo_ = candidates.size() >= kMemoThreshold;
  if (use_memo_) {
    if (memo_entry_.empty()) {
      memo_entry_.assign(0x20000, 0);
      memo_stamp_.assign(0x20000, 0);
    }
    memo_merged_ = merged;
    if (++stamp_ == 0) {  // wrapped: forget every old stamp
      std::fill(memo_stamp_.begin(), memo_stamp_.end(), 0);
      stamp_ = 1;
    }
  }

  // Left to right, each step is one rewrite of the current sequence with
  // exact counts, so a position consumed by an earlier match (its slot is
  // gone) cannot match again and runs of equal ids come out as a rewrite
  // from the left would leave them.
  std::size_t replaced = 0;
  for (std::uint32_t p : candidates) {
    if (slot_[p] != target) continue;
    const std::uint32_t q = next_[p];
    const std::uint32_t after = next_[q];
    const std::uint32_t before = prev_[p];
    if (before != kNone) --entries_[slot_[before]].count;
    --entries_[target].count;
    if (after != kNone) --entries_[slot_[q]].count;

    ids_[p] = merged;
    next_[p] = after;
    if (after != kNone) prev_[after] = p;
    slot_[q] = kNone;
    next_[q] = kRemoved;
    prev_[q] = kRemoved;

    if (before != kNone) slot_[before] = add_occurrence(key_of(ids_[before], merged), before);
    slot_[p] = after != kNone ? add_occurrence(key_of(merged, ids_[after]), p) : kNone;
    ++replaced;
  }
  size_ -= replaced;

  for (std::uint32_t index : grown_) {
    Entry& entry = entries_[index];
    entry.grown = false;
    if (entry.count != 0) push(entry.count, entry.key);
  }
  grown_.clear();
  return replaced;
}

std::vector<TokenId> PairIndex::sequence() const {
  std::vector<TokenId> out;
  out.reserve(size_);
  if (ids_.empty()) return out;
  for (std::uint32_t p = 0; p != kNone; p = next_[p]) out.push_back(ids_[p]);
  return out;
}

PairCounts PairIndex::counts() const {
  PairCounts counts;
  for (const Entry& entry : entries_) {
    if (entry.count != 0) {
      counts.emplace(
          TokenPair{static_cast<TokenId>(entry.key >> 16), static_cast<TokenId>(entry.key)},
          entry.count);
    }
  }
  return counts;
}

}  // namespace velkor
