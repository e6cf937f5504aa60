#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/cluster_id_cache.h"
#include "model/model.h"

namespace velkor {

// The ids of clusters already looked up in a model's map (an unknown
// cluster's being "oov"'s). A cache serves one model and must be cleared
// whenever that model changes.
class ClusterCache {
 public:
  // Sized for texts of about this many bytes.
  explicit ClusterCache(std::size_t text_size = SIZE_MAX) noexcept : ids_(text_size) {}
  // A cache whose model lacking "oov" throws MissingOov instead of failing
  // with a report on standard error.
  static ClusterCache quiet() noexcept {
    ClusterCache cache;
    cache.report_ = false;
    return cache;
  }
  // Forgets every id (and "oov"'s).
  void clear() noexcept {
    ids_.clear();
    oov_.reset();
  }
  // The id of cluster in model, "oov"'s id for a cluster the model lacks.
  TokenId id_of(const Model& model, std::string_view cluster) {
    return ids_.id_of(cluster, [&] { return look_up(model, cluster); });
  }

 private:
  TokenId look_up(const Model& model, std::string_view cluster);

  ClusterIdCache ids_;
  std::optional<TokenId> oov_;
  std::string key_;  // the cluster as the map's key type, reused
  bool report_ = true;
};

// A cluster the model lacks met while the model has no "oov" entry either;
// thrown by quiet caches.
struct MissingOov {
  std::string cluster;
};

// How far the merges of an encoding go.
enum class Encoding {
  // Stop at the first pass whose most frequent pair is not a learned merge
  // (Data.encode's rule).
  kStandard,
  // Go on while any adjacent pair is a learned merge: the most frequent
  // such pair first, on equal counts the one with the smallest merged id.
  kComplete,
};

// Token ids of a UTF-8 text: one id per grapheme cluster ("oov" for unknown
// ones), then learned merges applied most frequent pair first.
std::vector<TokenId> encode(const Model& model, std::string_view text,
                            Encoding encoding = Encoding::kStandard);
// The same with the caller's cache of cluster ids, kept across calls with
// this model (and cleared when it changes).
std::vector<TokenId> encode(const Model& model, std::string_view text, ClusterCache& clusters,
                            Encoding encoding = Encoding::kStandard);

class PairIndex;
class ShortMerger;

// The scratch of one encoding thread (cluster ids, pair index), kept across
// its calls so a run of short texts allocates nothing. Serves one model, which
// must not change while it is in use; one thread at a time. Quiet: a model
// without "oov" meeting an unknown cluster throws MissingOov.
class Encoder {
 public:
  explicit Encoder(const Model& model);
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // The same ids as encode(model, text, encoding).
  std::vector<TokenId> encode(std::string_view text, Encoding encoding = Encoding::kStandard);

 private:
  const Model& model_;
  ClusterCache clusters_;
  std::unique_ptr<PairIndex> index_;  // for texts up to a megabyte
  // The complete encoding of short texts, made at the first one (null when
  // the model's merges do not suit it).
  std::unique_ptr<ShortMerger> short_merger_;
  bool short_merger_checked_ = false;
  std::vector<TokenId> ids_;
};

// The clusters of text that the model's map lacks, each with its number of
// occurrences, in order of first occurrence.
std::vector<std::pair<std::string, std::size_t>> unknown_clusters(const Model& model,
                                                                  std::string_view text);

// encode's first step alone: one id per grapheme cluster, "oov"'s id for
// clusters the model lacks.
std::vector<TokenId> cluster_ids(const Model& model, std::string_view text);

}  // namespace velkor
