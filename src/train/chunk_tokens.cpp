#include "train/chunk_tokens.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "train/new_token.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

// key = cluster, reusing key's storage. Not string::assign: GCC 12 warns
// falsely (-Wrestrict) on it once inlined here.
void set_key(std::string& key, std::string_view cluster) {
  key.resize(cluster.size());
  std::memcpy(key.data(), cluster.data(), cluster.size());
}

// text with every from replaced by to; text itself, not a copy, when from
// does not occur (a chunk rarely holds a marker).
std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  std::size_t at = text.find(from);
  if (at == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (; at != std::string::npos; start = at + from.size(), at = text.find(from, start)) {
    out.append(text, start, at - start);
    out.append(to);
  }
  out.append(text, start);
  return out;
}

}  // namespace

std::string replace_markers(std::string text) {
  return replace_all(replace_all(std::move(text), "<|im_start|>", "^"), "<|im_end|>", "^");
}

std::vector<TokenId> chunk_to_ids(Model& model, std::string_view chunk) {
  const std::string text = replace_markers(decode_utf8_lossy(chunk));
  std::vector<TokenId> ids;
  ids.reserve(text.size());  // every cluster has a byte at least
  // Ids of the one-byte ASCII clusters, the bulk of most texts, once looked
  // up: within this call an entry of unicode_lookup never changes.
  std::array<std::int32_t, 128> ascii_ids;
  ascii_ids.fill(-1);
  auto id_of = [&](std::string_view cluster) -> TokenId {
    // Probed by the view; a string is built only for a new cluster, whose
    // bytes go into lookup first so that a cluster never lacks them.
    auto found = model.unicode_lookup.find(cluster);
    if (found != model.unicode_lookup.end()) return found->second;
    const TokenId id = next_token_id(model);
    std::string key;
    set_key(key, cluster);
    model.lookup.insert_or_assign(id, key);
    model.unicode_lookup.emplace(std::move(key), id);
    return id;
  };
  for_each_grapheme(text, [&](std::string_view cluster) {
    if (cluster.size() == 1 && static_cast<unsigned char>(cluster[0]) < 0x80) {
      std::int32_t& cached = ascii_ids[static_cast<unsigned char>(cluster[0])];
      if (cached < 0) cached = id_of(cluster);
      ids.push_back(static_cast<TokenId>(cached));
      return;
    }
    ids.push_back(id_of(cluster));
  });
  return ids;
}

}  // namespace velkor
