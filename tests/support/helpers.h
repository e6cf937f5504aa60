// Helpers shared by the C++ tests and fuzz targets.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/model.h"
#include "oracles.h"
#include "train/merge_passes.h"

namespace velkor {

using Ids = std::vector<TokenId>;
using Lines = std::vector<std::string>;
using Counts = std::map<std::pair<TokenId, TokenId>, std::uint32_t>;

// The smallest model: id 0 is the empty token and "oov" maps to it.
inline Model starter_model() {
  Model model;
  model.lookup.emplace(0, "");
  model.unicode_lookup.emplace("oov", 0);
  return model;
}

// Pair counts in a fixed order, so maps whose iteration order is random
// compare.
inline Counts sorted(const PairCounts& counts) {
  Counts out;
  for (const auto& [pair, count] : counts) out[{pair.left, pair.right}] = count;
  return out;
}

// Ordered copies of a model's maps: keyed hash maps with different secrets
// cannot be compared directly.
inline std::map<std::pair<int, int>, int> merges_of(const Model& model) {
  std::map<std::pair<int, int>, int> out;
  for (const auto& [pair, id] : model.merges) out[{pair.left, pair.right}] = id;
  return out;
}
inline std::map<int, std::string> lookup_of(const Model& model) {
  std::map<int, std::string> out;
  for (const auto& [id, bytes] : model.lookup) out.emplace(id, bytes);
  return out;
}
inline std::map<std::string, int> clusters_of(const Model& model) {
  return {model.unicode_lookup.begin(), model.unicode_lookup.end()};
}

// Collects what the merge passes print and log.
struct Recorder {
  Lines console;
  Lines log;
  PassOutput output(bool with_log = true) {
    PassOutput out;
    out.console = [this](std::string_view line) { console.emplace_back(line); };
    if (with_log) out.log = [this](std::string_view record) { log.emplace_back(record); };
    return out;
  }
};

// Random ids from a small alphabet, with long runs and repeated motifs so
// that overlaps and ties are common.
inline Ids random_ids(std::mt19937& rng, std::size_t length, int alphabet) {
  Ids ids;
  std::uniform_int_distribution<int> symbol(0, alphabet - 1);
  std::uniform_int_distribution<int> shape(0, 9);
  while (ids.size() < length) {
    int kind = shape(rng);
    if (kind < 2) {  // a run of one id
      ids.insert(ids.end(), std::uniform_int_distribution<std::size_t>(2, 40)(rng),
                 static_cast<TokenId>(symbol(rng)));
    } else if (kind < 4 && ids.size() >= 4) {  // repeat a recent stretch
      std::size_t take = std::uniform_int_distribution<std::size_t>(2, 4)(rng);
      Ids motif(ids.end() - take, ids.end());
      ids.insert(ids.end(), motif.begin(), motif.end());
    } else {
      ids.push_back(static_cast<TokenId>(symbol(rng)));
    }
  }
  ids.resize(length);
  return ids;
}

}  // namespace velkor
