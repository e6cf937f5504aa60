#include "codec/encoder.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "codec/pair_count.h"
#include "codec/pair_index.h"
#include "support/failure.h"
#include "unicode/grapheme.h"

namespace velkor {
namespace {

// key = cluster, reusing key's storage. Not string::assign: GCC 12 warns
// falsely (-Wrestrict) on it once inlined here.
void set_key(std::string& key, std::string_view cluster) {
  key.resize(cluster.size());
  std::memcpy(key.data(), cluster.data(), cluster.size());
}

// The id of one cluster by the model's map; "oov"'s id for unknown ones.
class MapLookup {
 public:
  explicit MapLookup(const Model& model) : model_(model) {}
  TokenId operator()(std::string_view cluster) {
    // The map's key equality is not transparent, so probes go through one
    // reused string (clusters are short; it rarely reallocates).
    set_key(key_, cluster);
    auto found = model_.unicode_lookup.find(key_);
    if (found != model_.unicode_lookup.end()) return found->second;
    if (!oov_) {
      found = model_.unicode_lookup.find(std::string("oov"));
      if (found == model_.unicode_lookup.end()) {
        fail("called `Option::unwrap()` on a `None` value");
      }
      oov_ = found->second;
    }
    return *oov_;
  }

 private:
  const Model& model_;
  std::string key_;
  std::optional<TokenId> oov_;
};

// MapLookup with memory, for one encode: single-byte clusters through a
// table of 256 ids, clusters of 2 to 7 bytes (a character or two of any
// script) through a direct-mapped cache keyed by their bytes. A cluster
// costs one keyed hash of its text the first time it is seen and whenever
// the cache lost it, never more: a collision only replaces a cell, so
// crafted texts fall back to the map's speed and no lower.
class ClusterIds {
 public:
  ClusterIds(const Model& model, std::size_t text_size) : lookup_(model) {
    single_.fill(kUnset);
    // About one cell per 8 bytes of text, so a short text does not clear
    // a table it never fills.
    while (cache_bits_ < kMaxCacheBits && (std::size_t{8} << cache_bits_) < text_size) {
      ++cache_bits_;
    }
    cache_.assign(std::size_t{1} << cache_bits_, Cell{});
  }

  TokenId operator()(std::string_view cluster) {
    if (cluster.size() == 1) {
      std::uint32_t& id = single_[static_cast<unsigned char>(cluster[0])];
      if (id == kUnset) id = lookup_(cluster);
      return static_cast<TokenId>(id);
    }
    if (cluster.size() > kMaxCached) return lookup_(cluster);
    // The bytes, and the length in the top byte: no two clusters share a
    // key, and no cluster has key 0 (an empty cell).
    std::uint64_t key = 0;
    std::memcpy(&key, cluster.data(), cluster.size());
    key |= std::uint64_t{cluster.size()} << 56;
    Cell& cell = cache_[(key * 0x9E3779B97F4A7C15ull) >> (64 - cache_bits_)];
    if (cell.key != key) cell = Cell{key, lookup_(cluster)};
    return cell.id;
  }

 private:
  static constexpr std::uint32_t kUnset = 0xFFFFFFFF;
  static constexpr std::size_t kMaxCached = 7;
  static constexpr unsigned kMaxCacheBits = 12;
  struct Cell {
    std::uint64_t key = 0;
    TokenId id = 0;
  };
  MapLookup lookup_;
  std::array<std::uint32_t, 256> single_;
  unsigned cache_bits_ = 6;
  std::vector<Cell> cache_;
};

// One id per grapheme cluster; clusters the model lacks take the "oov" id.
template <class Lookup>
std::vector<TokenId> initial_ids(Lookup&& lookup, std::string_view text) {
  std::vector<TokenId> ids;
  for_each_grapheme(text, [&](std::string_view cluster) { ids.push_back(lookup(cluster)); });
  return ids;
}

// The passes of encode on an index, which keeps the counts up to date across
// passes: a pass costs what its merge touches rather than a recount of the
// whole text.
template <class Index>
std::vector<TokenId> apply_merges(const Model& model, Index& index) {
  while (const std::optional<BestPair> best = index.best()) {
    auto merge = model.merges.find(best->pair);
    if (merge == model.merges.end()) break;
    index.merge(best->pair, merge->second);
  }
  return index.sequence();
}

// Texts up to this size reuse one index per thread, so a run of calls on
// short texts does not ask for fresh memory at every call; the memory kept
// is what a text of this size needs (about 30 MiB at most). Longer texts
// get an index of their own, given back when the call ends.
constexpr std::size_t kKeepIndexFor = std::size_t{1} << 20;

}  // namespace

std::vector<TokenId> encode_reference(const Model& model, std::string_view text) {
  std::vector<TokenId> ids = initial_ids(MapLookup(model), text);
  for (;;) {
    PairCounts counts = count_occur(ids);
    if (counts.empty()) break;
    TokenPair pair = best_pair(counts).pair;
    auto merge = model.merges.find(pair);
    if (merge == model.merges.end()) break;
    ids = replace_pair(ids, pair, merge->second);
  }
  return ids;
}

std::vector<TokenId> cluster_ids(const Model& model, std::string_view text) {
  return initial_ids(ClusterIds(model, text.size()), text);
}

std::vector<TokenId> encode(const Model& model, std::string_view text) {
  if (text.size() > PairIndex::kMaxLength) {
    std::vector<TokenId> ids = cluster_ids(model, text);
    if (ids.size() <= PairIndex::kMaxLength) {
      PairIndex index(ids);
      return apply_merges(model, index);
    }
    WidePairIndex index(ids);
    return apply_merges(model, index);
  }
  // A text has at most one cluster per byte; the ids go straight into the
  // index as they are found, with no copy of the sequence on the side.
  thread_local PairIndex kept;
  std::optional<PairIndex> own;
  PairIndex& index = text.size() <= kKeepIndexFor ? kept : own.emplace();
  ClusterIds ids(model, text.size());
  index.assign_from(text.size(), [&](auto&& push) {
    for_each_grapheme(text, [&](std::string_view cluster) { push(ids(cluster)); });
  });
  return apply_merges(model, index);
}

}  // namespace velkor
