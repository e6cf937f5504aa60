#include "train/chunk_tokens.h"

#include <optional>

#include "model/cluster_id_cache.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

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

// The chunk's text: the chunk itself when it is valid UTF-8 without markers,
// otherwise the mended text, kept in storage. A chunk cut from a file often
// ends inside a character: only what follows the valid prefix is decoded
// again, not the whole chunk.
std::string_view chunk_text(std::string_view chunk, std::string& storage) {
  const std::optional<Utf8Error> bad = check_utf8(chunk);
  if (!bad && chunk.find("<|im_start|>") == std::string_view::npos &&
      chunk.find("<|im_end|>") == std::string_view::npos) {
    return chunk;
  }
  const std::size_t valid = bad ? bad->valid_up_to : chunk.size();
  storage.reserve(chunk.size() + 16);
  storage.assign(chunk.substr(0, valid));
  if (bad) storage += decode_utf8_lossy(chunk.substr(valid));
  storage = replace_markers(std::move(storage));
  return storage;
}

// Calls emit with the id of each cluster of text in turn, giving new
// clusters new ids. Within this call an entry of unicode_lookup never
// changes, so ids once looked up are cached.
template <class Emit>
void for_each_id(Model& model, std::string_view text, Emit&& emit) {
  ClusterIdCache ids(text.size());
  for_each_grapheme(text, [&](std::string_view cluster) {
    emit(ids.id_of(cluster, [&] {
      // Probed by the view; a string is built only for a new cluster.
      auto found = model.unicode_lookup.find(cluster);
      return found != model.unicode_lookup.end() ? found->second : model.add_cluster(cluster);
    }));
  });
}

}  // namespace

std::string replace_markers(std::string text) {
  return replace_all(replace_all(std::move(text), "<|im_start|>", "^"), "<|im_end|>", "^");
}

void chunk_to_index(Model& model, std::string_view chunk, PairIndex& index) {
  std::string storage;
  const std::string_view text = chunk_text(chunk, storage);
  // Every cluster has a byte at least.
  index.assign_from(text.size(), [&](auto push) { for_each_id(model, text, push); });
}

}  // namespace velkor
