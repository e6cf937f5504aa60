#include "codec/encoder.h"

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

// One id per grapheme cluster; clusters the model lacks take the "oov" id.
std::vector<TokenId> initial_ids(const Model& model, std::string_view text) {
  std::vector<TokenId> ids;
  // The map's key equality is not transparent, so probes go through one
  // reused string (clusters are short; it rarely reallocates).
  std::string key;
  for_each_grapheme(text, [&](std::string_view cluster) {
    set_key(key, cluster);
    auto found = model.unicode_lookup.find(key);
    if (found == model.unicode_lookup.end()) {
      found = model.unicode_lookup.find(std::string("oov"));
      if (found == model.unicode_lookup.end()) {
        fail("called `Option::unwrap()` on a `None` value");
      }
    }
    ids.push_back(found->second);
  });
  return ids;
}

// The passes of encode on an index, which keeps the counts up to date across
// passes: a pass costs what its merge touches rather than a recount of the
// whole text.
template <class Index>
std::vector<TokenId> apply_merges(const Model& model, std::span<const TokenId> ids) {
  Index index(ids);
  while (const std::optional<BestPair> best = index.best()) {
    auto merge = model.merges.find(best->pair);
    if (merge == model.merges.end()) break;
    index.merge(best->pair, merge->second);
  }
  return index.sequence();
}

}  // namespace

std::vector<TokenId> encode_reference(const Model& model, std::string_view text) {
  std::vector<TokenId> ids = initial_ids(model, text);
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

std::vector<TokenId> encode(const Model& model, std::string_view text) {
  std::vector<TokenId> ids = initial_ids(model, text);
  if (ids.size() <= PairIndex::kMaxLength) return apply_merges<PairIndex>(model, ids);
  return apply_merges<WidePairIndex>(model, ids);
}

}  // namespace velkor
