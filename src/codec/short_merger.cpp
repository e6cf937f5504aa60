#include "codec/short_merger.h"

#include <algorithm>

namespace velkor {
namespace {

// How many pairs ahead the build starts reading the merge lookup.
constexpr std::uint32_t kPrefetch = 8;

}  // namespace

bool ShortMerger::serves(const Model& model) {
  for (const auto& [pair, merged] : model.merges) {
    if (merged >= kTaken) return false;
  }
  return MergeLookup::distinct_results(model.merges);
}

ShortMerger::ShortMerger(const Model& model)
    : merges_(model), filed_(kIdSpace), changed_flags_(kIdSpace) {}

std::uint16_t ShortMerger::merge_of(std::uint32_t left, std::uint32_t right) {
  // MergeLookup's "none" cut to 16 bits is this merger's (the build cuts it
  // the same way).
  static_assert(static_cast<std::uint16_t>(MergeLookup::kNone) == kNone);
  return static_cast<std::uint16_t>(merges_.find(left, right));
}

void ShortMerger::file(std::uint32_t at, std::uint16_t m) {
  Node* nodes = nodes_.data();
  nodes[at].merge = m;
  if (m == kNone) return;
  Filed& filed = filed_[m];
  nodes[at].filed_prev = 0;
  nodes[at].filed_next = filed.head;
  nodes[filed.head].filed_prev = static_cast<std::uint16_t>(at);  // node 0 takes it for none
  filed.head = static_cast<std::uint16_t>(at);
  touch(m, filed.count++);
}

void ShortMerger::unfile(std::uint32_t at, std::uint16_t m) {
  Node* nodes = nodes_.data();
  const std::uint16_t before = nodes[at].filed_prev;
  const std::uint16_t after = nodes[at].filed_next;
  Filed& filed = filed_[m];
  // Without a branch: whether a position heads its list is a coin toss
  // (node 0 takes the link when it does).
  nodes[before].filed_next = after;
  const std::uint32_t heads = 0u - std::uint32_t{before == 0};  // all ones when it does
  filed.head = static_cast<std::uint16_t>((filed.head & ~heads) | (after & heads));
  nodes[after].filed_prev = before;  // node 0 takes it when after is 0
  touch(m, filed.count--);
}

void ShortMerger::touch(std::uint16_t m, std::uint32_t was) {
  // Without a branch: whether a count changed already in this pass is hard
  // to predict. The slot past the list is overwritten unless it counts.
  changed_[changed_size_] = Changed{m, static_cast<std::uint16_t>(was)};
  changed_size_ += changed_flags_[m] ^ 1u;
  changed_flags_[m] = 1;
}

std::uint32_t ShortMerger::heap_item(std::uint16_t m) const {
  return (std::uint32_t{filed_[m].count} << 16) | (0xFFFFu - m);
}

void ShortMerger::push(std::uint16_t m) {
  heap_.push_back(heap_item(m));
  std::push_heap(heap_.begin(), heap_.end());
}

void ShortMerger::merge(std::uint16_t m) {
  Node* nodes = nodes_.data();
  // The positions as they stand, ascending; occurrences formed while this
  // merge runs are not part of it. Each is marked taken: out of its list.
  positions_.clear();
  for (std::uint16_t at = filed_[m].head; at != 0; at = nodes[at].filed_next) {
    positions_.push_back(at);
    nodes[at].merge = kTaken;
  }
  buckets_.erase(filed_[m].count, m);  // a heap item goes stale
  filed_[m] = Filed{};
  std::sort(positions_.begin(), positions_.end());
  const auto end = static_cast<std::uint32_t>(nodes_.size() - 1);
  for (const std::uint16_t p : positions_) {
    // A position an earlier replacement consumed no longer holds the pair.
    if (nodes[p].merge != kTaken) continue;
    const std::uint32_t q = nodes[p].next;
    const std::uint32_t before = nodes[p].prev;
    const std::uint32_t after = nodes[q].next;
    // Position 0 holds no pair (kNone); q may be taken, in a run of m.
    if (nodes[before].merge < kTaken) unfile(before, nodes[before].merge);
    if (nodes[q].merge < kTaken) unfile(q, nodes[q].merge);
    nodes[q].merge = kNone;
    nodes[p].id = m;
    nodes[p].next = static_cast<std::uint16_t>(after);
    nodes[after].prev = static_cast<std::uint16_t>(p);
    if (before != 0) file(before, merge_of(nodes[before].id, m));
    file(p, after == end ? kNone : merge_of(m, nodes[after].id));
  }
  // Each count that changed moves once, however often it changed: a pass
  // of many replacements changes the same few pairs' counts again and again.
  for (std::size_t k = 0; k < changed_size_; ++k) {
    const auto [changed, was] = changed_[k];
    changed_flags_[changed] = 0;
    const std::uint32_t count = filed_[changed].count;
    buckets_.erase(was, changed);
    buckets_.insert(count, changed);
    // A count above the buckets' that fell keeps its higher heap item,
    // checked when it reaches the top.
    if (count > CountBuckets::kMaxCount && count > was) push(changed);
  }
  changed_size_ = 0;
}

std::vector<TokenId> ShortMerger::encode(const std::vector<TokenId>& ids) {
  try {
    return merge_all(ids);
  } catch (...) {
    // Whatever stands filed goes, so the next text starts clean.
    filed_.assign(kIdSpace, Filed{});
    changed_flags_.assign(kIdSpace, 0);
    changed_size_ = 0;
    buckets_.clear();
    throw;
  }
}

std::vector<TokenId> ShortMerger::merge_all(const std::vector<TokenId>& ids) {
  const auto n = static_cast<std::uint32_t>(ids.size());
  nodes_.resize(n + 2);
  Node* nodes = nodes_.data();
  // A replacement changes at most four counts, and a pass replaces fewer
  // pairs than there are positions.
  if (changed_.size() < 4 * std::size_t{n} + 1) changed_.resize(4 * std::size_t{n} + 1);
  nodes[0] = Node{0, 0, 1, kNone, 0, 0};
  for (std::uint32_t i = 1; i <= n; ++i) {
    nodes[i] = Node{
        ids[i - 1], static_cast<std::uint16_t>(i - 1), static_cast<std::uint16_t>(i + 1), kNone, 0,
        0};
  }
  nodes[n + 1] = Node{0, static_cast<std::uint16_t>(n), 0, kNone, 0, 0};
  // Filed from the right, so each merge's positions come out ascending; the
  // counts go to the buckets and the heap once they are final.
  // Without a branch on whether a pair is a learned merge (a coin toss on
  // most text): the others go to a list under kNone that nothing reads.
  std::vector<std::uint16_t>& merges = positions_;  // not in use until the passes
  merges.resize(n);
  std::size_t distinct = 0;
  filed_[kNone] = Filed{};
  // Each pair's bucket, found once and fetched ahead.
  if (buckets_ahead_.size() < n) buckets_ahead_.resize(n);
  std::uint32_t* ahead = buckets_ahead_.data();
  for (std::uint32_t i = 1; i < n; ++i)
    ahead[i] = static_cast<std::uint32_t>(merges_.bucket_of(nodes[i].id, nodes[i + 1].id));
  for (std::uint32_t i = n; i-- > 1;) {
    if (i > kPrefetch) merges_.prefetch(ahead[i - kPrefetch]);
    const auto m = static_cast<std::uint16_t>(merges_.find(nodes[i].id, nodes[i + 1].id, ahead[i]));
    nodes[i].merge = m;
    Filed& filed = filed_[m];
    merges[distinct] = m;
    distinct += static_cast<std::size_t>((filed.count++ == 0) & (m != kNone));
    nodes[i].filed_next = filed.head;
    nodes[filed.head].filed_prev = static_cast<std::uint16_t>(i);
    filed.head = static_cast<std::uint16_t>(i);
  }
  merges.resize(distinct);
  heap_.clear();
  for (const std::uint16_t m : merges) {
    const std::uint32_t count = filed_[m].count;
    if (count <= CountBuckets::kMaxCount) {
      buckets_.insert(count, m);
    } else {
      heap_.push_back(heap_item(m));
    }
  }
  merges.clear();
  std::make_heap(heap_.begin(), heap_.end());

  for (;;) {
    // Counts above the buckets' are in the heap, where they come first.
    std::uint32_t m = kNone;
    while (!heap_.empty()) {
      const std::uint32_t top = heap_.front();
      const std::uint32_t at_top = 0xFFFF - (top & 0xFFFF);
      const std::uint32_t count = top >> 16;
      const std::uint32_t now = filed_[at_top].count;
      if (now == count) {
        m = at_top;
        break;
      }
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.pop_back();
      // A count that fell is queued again at its new value unless the
      // buckets hold it now; one that rose already has a newer item.
      if (now > CountBuckets::kMaxCount && now < count) push(static_cast<std::uint16_t>(at_top));
    }
    if (m == kNone) {
      const std::uint32_t highest = buckets_.highest();
      if (highest == 0) break;
      m = buckets_.smallest(highest);
    }
    merge(static_cast<std::uint16_t>(m));
  }

  // No learned pair is left, so every merge has no position and a count of
  // 0 again.
  std::vector<TokenId> out;
  for (std::uint32_t at = nodes[0].next; at != n + 1; at = nodes[at].next) {
    out.push_back(nodes[at].id);
  }
  return out;
}

}  // namespace velkor
