// Ids of grapheme clusters already looked up, so that a cluster's text goes
// through a model's keyed map once rather than at every occurrence.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "model/model.h"

namespace velkor {

// Single-byte clusters in a table of 256 ids, clusters of 2 to 7 bytes (a
// character or two of any script) in a direct-mapped cache keyed by their
// bytes. A collision only replaces a cell, so crafted texts fall back to
// the map's speed and no lower. The ids come from the caller's miss
// function; an id once cached is trusted until clear().
class ClusterIdCache {
 public:
  // Cells for texts of about this many bytes (one per 8 bytes, 64 to 4,096).
  explicit ClusterIdCache(std::size_t text_size = SIZE_MAX) noexcept {
    single_.fill(kUnset);
    while (bits_ < 12 && (std::size_t{8} << bits_) < text_size) ++bits_;
  }

  void clear() noexcept {
    single_.fill(kUnset);
    std::fill(cells_.begin(), cells_.end(), Cell{});
  }

  // The id of cluster: cached, or miss() and then cached.
  template <class Miss>
  TokenId id_of(std::string_view cluster, Miss&& miss) {
    if (cluster.size() == 1) {
      std::uint32_t& id = single_[static_cast<unsigned char>(cluster[0])];
      if (id == kUnset) id = miss();
      return static_cast<TokenId>(id);
    }
    if (cluster.size() > kMaxCached) return miss();
    // The bytes, and the length in the top byte: no two clusters share a
    // key, and no cluster has key 0 (an empty cell).
    std::uint64_t key = 0;
    std::memcpy(&key, cluster.data(), cluster.size());
    key |= std::uint64_t{cluster.size()} << 56;
    if (cells_.empty()) cells_.resize(std::size_t{1} << bits_);
    Cell& cell = cells_[(key * 0x9E3779B97F4A7C15ull) >> (64 - bits_)];
    if (cell.key != key) cell = Cell{key, miss()};
    return cell.id;
  }

 private:
  static constexpr std::uint32_t kUnset = 0xFFFFFFFF;
  static constexpr std::size_t kMaxCached = 7;
  struct Cell {
    std::uint64_t key = 0;
    TokenId id = 0;
  };

  std::array<std::uint32_t, 256> single_;
  unsigned bits_ = 6;
  std::vector<Cell> cells_;  // allocated at first need
};

}  // namespace velkor
