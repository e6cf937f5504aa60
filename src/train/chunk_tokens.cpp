#include "train/chunk_tokens.h"

#include <cstring>

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

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(from, start)) != std::string_view::npos;
       start = at + from.size()) {
    out.append(text, start, at - start);
    out.append(to);
  }
  out.append(text, start);
  return out;
}

}  // namespace

std::string replace_markers(std::string text) {
  text = replace_all(text, "<|im_start|>", "^");
  return replace_all(text, "<|im_end|>", "^");
}

std::vector<TokenId> chunk_to_ids(Model& model, std::string_view chunk) {
  const std::string text = replace_markers(decode_utf8_lossy(chunk));
  std::vector<TokenId> ids;
  std::string key;  // reused: the map's key equality is not transparent
  for_each_grapheme(text, [&](std::string_view cluster) {
    set_key(key, cluster);
    auto found = model.unicode_lookup.find(key);
    if (found == model.unicode_lookup.end()) {
      const TokenId id = next_token_id(model);
      found = model.unicode_lookup.emplace(key, id).first;
      model.lookup.insert_or_assign(id, key);
    }
    ids.push_back(found->second);
  });
  return ids;
}

}  // namespace velkor
