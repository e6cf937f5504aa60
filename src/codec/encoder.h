#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.h"

namespace velkor {

// The ids of clusters already looked up in a model's map: single-byte
// clusters in a table of 256 ids, clusters of 2 to 7 bytes (a character or
// two of any script) in a direct-mapped cache keyed by their bytes. A
// cluster's text then goes through the map's keyed hash once, and again
// only when the cache lost it: a collision only replaces a cell, so crafted
// texts fall back to the map's speed and no lower. A cache serves one model
// and must be cleared whenever that model changes.
class ClusterCache {
 public:
  // Cells for texts of about this many bytes (one per 8 bytes, 64 to 4,096).
  explicit ClusterCache(std::size_t text_size = SIZE_MAX) noexcept;
  // Forgets every id (and "oov"'s).
  void clear() noexcept;
  // The id of cluster in model, "oov"'s id for a cluster the model lacks.
  TokenId id_of(const Model& model, std::string_view cluster) {
    if (cluster.size() == 1) {
      std::uint32_t& id = single_[static_cast<unsigned char>(cluster[0])];
      if (id == kUnset) id = look_up(model, cluster);
      return static_cast<TokenId>(id);
    }
    if (cluster.size() > kMaxCached) return look_up(model, cluster);
    // The bytes, and the length in the top byte: no two clusters share a
    // key, and no cluster has key 0 (an empty cell).
    std::uint64_t key = 0;
    std::memcpy(&key, cluster.data(), cluster.size());
    key |= std::uint64_t{cluster.size()} << 56;
    if (cells_.empty()) cells_.resize(std::size_t{1} << bits_);
    Cell& cell = cells_[(key * 0x9E3779B97F4A7C15ull) >> (64 - bits_)];
    if (cell.key != key) cell = Cell{key, look_up(model, cluster)};
    return cell.id;
  }

 private:
  static constexpr std::uint32_t kUnset = 0xFFFFFFFF;
  static constexpr std::size_t kMaxCached = 7;
  struct Cell {
    std::uint64_t key = 0;
    TokenId id = 0;
  };
  TokenId look_up(const Model& model, std::string_view cluster);

  std::array<std::uint32_t, 256> single_;
  unsigned bits_ = 6;
  std::vector<Cell> cells_;  // allocated at first need
  std::optional<TokenId> oov_;
  std::string key_;  // the cluster as the map's key type, reused
};

// Token ids of a UTF-8 text: one id per grapheme cluster ("oov" for unknown
// ones), then learned merges applied most frequent pair first.
std::vector<TokenId> encode(const Model& model, std::string_view text);
// The same with the caller's cache of cluster ids, kept across calls with
// this model (and cleared when it changes).
std::vector<TokenId> encode(const Model& model, std::string_view text, ClusterCache& clusters);

// encode's first step alone: one id per grapheme cluster, "oov"'s id for
// clusters the model lacks.
std::vector<TokenId> cluster_ids(const Model& model, std::string_view text);

}  // namespace velkor
