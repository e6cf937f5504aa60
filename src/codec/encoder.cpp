#include "codec/encoder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "codec/pair_index.h"
#include "codec/short_merger.h"
#include "report/failure.h"
#include "report/messages.h"
#include "unicode/grapheme.h"

// Performance notes. The runs are described in docs/benchmarks.md; "side by
// side" means builds before and after a change, run interleaved. Corpus
// files are build/bench-corpus/*.txt, made by `make bench`.
//
// 1. kShortText: the complete encoding through ShortMerger runs at 2.4x the
//    pair index's speed on 2 KB texts, 1.3x to 1.6x at 32 KB, level
//    (English) to 1.4x (mixed) at 62 KB (the program and texts are not
//    recorded; no bench/ program cuts texts to these sizes). In 2 KB
//    documents the complete encoding ran at 0.26x the standard one's speed
//    (English) and 0.37x (mixed) on the pair index, 0.59x and 0.62x through
//    the merger after its later changes: the "2 KB documents" line of
//    build/bench/encode_bench MODEL english.txt mixed.txt, with a
//    16,384-token model.
// 2. kFileMergesOnlyFrom: filing learned merges only on every text cost 2 KB
//    documents a fifth of their time, a merge-map lookup for nearly every
//    pair (C++, 30.6 ms per MB against 24.6 without; how it was run is not
//    recorded).

namespace velkor {
namespace {

// The id of one cluster by the model's map; "oov"'s id for unknown ones.
// The map's key equality is not transparent, so probes go through one
// reused string (clusters are short; it rarely reallocates).
TokenId map_lookup(const Model& model, std::string& key, std::optional<TokenId>& oov,
                   std::string_view cluster, bool report) {
  // Not string::assign: GCC 12 warns falsely (-Wrestrict) on it once inlined.
  key.resize(cluster.size());
  std::memcpy(key.data(), cluster.data(), cluster.size());
  auto found = model.unicode_lookup.find(key);
  if (found != model.unicode_lookup.end()) return found->second;
  if (!oov) {
    found = model.unicode_lookup.find(std::string("oov"));
    if (found == model.unicode_lookup.end()) {
      if (!report) throw MissingOov{std::string(cluster)};
      fail(messages::kNoOov);
    }
    oov = found->second;
  }
  return *oov;
}

// One id per grapheme cluster into ids (emptied first, its room kept);
// clusters the model lacks take the "oov" id.
template <class Lookup>
void initial_ids(Lookup&& lookup, std::string_view text, std::vector<TokenId>& ids) {
  ids.clear();
  for_each_grapheme(text, [&](std::string_view cluster) { ids.push_back(lookup(cluster)); });
}

// The passes of encode on an index, which keeps the counts up to date across
// passes: a pass costs what its merge touches rather than a recount of the
// whole text. An index of learned merges only (the complete encoding) never
// offers another pair, so its passes stop when none is left, and it knows
// what each pair merges into.
std::vector<TokenId> apply_merges(const Model& model, PairIndex& index, bool learned_only) {
  if (learned_only) {
    while (const std::optional<BestPair> best = index.best()) index.merge(best->pair, best->merged);
    return index.sequence();
  }
  while (const std::optional<BestPair> best = index.best()) {
    auto merge = model.merges.find(best->pair);
    if (merge == model.merges.end()) break;
    index.merge(best->pair, merge->second);
  }
  return index.sequence();
}

// Texts up to this size reuse one kept index, so a run of calls on
// short texts does not ask for fresh memory at every call; the memory kept
// is what a text of this size needs (tens of MiB at most). Longer texts
// get an index of their own, given back when the call ends.
constexpr std::size_t kKeepIndexFor = std::size_t{1} << 20;

// From this text size on, the index files the positions of learned merges
// only. A short text has nearly as many distinct pairs as positions, and
// asking the merge map about each new pair costs more than filing it (see
// Performance notes, 2).
constexpr std::size_t kFileMergesOnlyFrom = std::size_t{1} << 16;

// Up to this size an encoder takes the complete encoding's passes through
// its ShortMerger, as long a text as it holds (a cluster per byte at most):
// it stays ahead of the pair index up to there (see Performance notes, 1).
constexpr std::size_t kShortText = ShortMerger::kMaxLength;

// The index kept between calls: one for the process, lent to one call at a
// time (calls from the interpreter are serialised by its lock; a call that
// finds it lent builds its own). Not thread_local: thread-local storage of a
// library loaded at run time is allocated on first use, and when that
// allocation fails (memory has run out) the process aborts.
class KeptIndex {
 public:
  // The kept index, or null when another call holds it.
  PairIndex* lend() {
    if (in_use_.exchange(true)) return nullptr;
    try {
      return &index();
    } catch (...) {
      in_use_.store(false);
      throw;
    }
  }
  void give_back() { in_use_.store(false); }

 private:
  static PairIndex& index() {
    static PairIndex* kept = new PairIndex();  // never destroyed: usable until exit
    return *kept;
  }
  std::atomic<bool> in_use_{false};
};

KeptIndex kept_index;

}  // namespace

TokenId ClusterCache::look_up(const Model& model, std::string_view cluster) {
  return map_lookup(model, key_, oov_, cluster, report_);
}

std::vector<TokenId> cluster_ids(const Model& model, std::string_view text) {
  ClusterCache clusters(text.size());
  std::vector<TokenId> ids;
  initial_ids([&](std::string_view cluster) { return clusters.id_of(model, cluster); }, text, ids);
  return ids;
}

std::vector<TokenId> encode(const Model& model, std::string_view text, Encoding encoding) {
  ClusterCache clusters(text.size());
  return encode(model, text, clusters, encoding);
}

namespace {

// encode's body; reuse is an index to use for texts up to kKeepIndexFor,
// or null for the process's kept index.
std::vector<TokenId> encode_with(const Model& model, std::string_view text, ClusterCache& clusters,
                                 Encoding encoding, PairIndex* reuse) {
  auto id_of = [&](std::string_view cluster) { return clusters.id_of(model, cluster); };
  const bool complete = encoding == Encoding::kComplete;
  const auto pairs = complete ? PairIndex::Pairs::kMergesOnly : PairIndex::Pairs::kAll;
  if (text.size() > PairIndex::kMaxLength) {
    // Fewer clusters than bytes, perhaps few enough.
    std::vector<TokenId> ids;
    initial_ids(id_of, text, ids);
    PairIndex index;
    index.assign_from(
        ids.size(),
        [&](auto&& push) {
          for (TokenId id : ids) push(id);
        },
        complete ? &model.merges : nullptr, pairs);
    return apply_merges(model, index, complete);
  }
  // A text has at most one cluster per byte; the ids go straight into the
  // index as they are found, with no copy of the sequence on the side.
  const bool small = text.size() <= kKeepIndexFor;
  PairIndex* kept = small && reuse == nullptr ? kept_index.lend() : nullptr;
  struct GiveBack {
    PairIndex* kept;
    ~GiveBack() {
      if (kept != nullptr) kept_index.give_back();
    }
  } give_back{kept};
  if (small && reuse != nullptr) kept = reuse;
  std::optional<PairIndex> own;
  PairIndex& index = kept != nullptr ? *kept : own.emplace();
  index.assign_from(
      text.size(),
      [&](auto&& push) {
        for_each_grapheme(text, [&](std::string_view cluster) { push(id_of(cluster)); });
      },
      complete || text.size() >= kFileMergesOnlyFrom ? &model.merges : nullptr, pairs);
  return apply_merges(model, index, complete);
}

}  // namespace

std::vector<TokenId> encode(const Model& model, std::string_view text, ClusterCache& clusters,
                            Encoding encoding) {
  return encode_with(model, text, clusters, encoding, nullptr);
}

Encoder::Encoder(const Model& model)
    : model_(model), clusters_(ClusterCache::quiet()), index_(std::make_unique<PairIndex>()) {}

Encoder::~Encoder() = default;

std::vector<TokenId> Encoder::encode(std::string_view text, Encoding encoding) {
  if (encoding == Encoding::kComplete && text.size() <= kShortText) {
    if (!short_merger_checked_) {
      if (ShortMerger::serves(model_)) short_merger_ = std::make_unique<ShortMerger>(model_);
      short_merger_checked_ = true;
    }
    if (short_merger_ != nullptr) {
      // ids_ is reused: a run of short texts allocates nothing.
      initial_ids([&](std::string_view cluster) { return clusters_.id_of(model_, cluster); }, text,
                  ids_);
      return short_merger_->encode(ids_);
    }
  }
  return encode_with(model_, text, clusters_, encoding, index_.get());
}

std::vector<std::pair<std::string, std::size_t>> unknown_clusters(const Model& model,
                                                                  std::string_view text) {
  std::vector<std::pair<std::string, std::size_t>> found;
  HashMap<std::string, std::size_t> where;  // cluster to its place in found
  std::string key;
  for_each_grapheme(text, [&](std::string_view cluster) {
    key.resize(cluster.size());
    std::memcpy(key.data(), cluster.data(), cluster.size());
    if (model.unicode_lookup.contains(key)) return;
    auto [at, inserted] = where.try_emplace(key, found.size());
    if (inserted) found.emplace_back(key, 0);
    ++found[at->second].second;
  });
  return found;
}

}  // namespace velkor
