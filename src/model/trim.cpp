#include "model/trim.h"

#include <vector>

namespace velkor {

Model trim_to_size(const Model& model, std::size_t size) {
  std::vector<bool> live(kIdSpace, false);
  std::vector<bool> cluster(kIdSpace, false);
  std::vector<bool> made_by_merge(kIdSpace, false);
  std::size_t count = 0;
  for (const auto& entry : model.lookup) {
    live[entry.first] = true;
    ++count;
  }
  for (const auto& [text, id] : model.unicode_lookup) cluster[id] = true;
  for (const auto& [pair, id] : model.merges) made_by_merge[id] = true;
  for (std::size_t id = kIdSpace; id-- > 0 && count > size;) {
    if (live[id] && made_by_merge[id] && !cluster[id]) {
      live[id] = false;
      --count;
    }
  }
  // Live ids in order take the numbers 0, 1, ...; a merge stays only if its
  // parts and its result all do.
  std::vector<TokenId> renumbered(kIdSpace, 0);
  TokenId next = 0;
  Model out;
  for (const auto& [id, bytes] : model.lookup) {
    if (!live[id]) continue;
    renumbered[id] = next;
    out.lookup.insert_or_assign(next++, bytes);
  }
  for (const auto& [pair, merged] : model.merges) {
    if (live[pair.left] && live[pair.right] && live[merged]) {
      out.merges.emplace(TokenPair{renumbered[pair.left], renumbered[pair.right]},
                         renumbered[merged]);
    }
  }
  for (const auto& [text, id] : model.unicode_lookup) {
    // A cluster whose id has no bytes (a damaged file) cannot be renumbered.
    if (live[id]) out.unicode_lookup.emplace(text, renumbered[id]);
  }
  return out;
}

}  // namespace velkor
