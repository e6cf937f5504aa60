#include "train/chunk_tokens.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

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

// Cells of the cache of cluster ids of for_each_id (64 KiB).
constexpr unsigned kClusterCacheBits = 12;

// Calls emit with the id of each cluster of text in turn, giving new
// clusters new ids.
template <class Emit>
void for_each_id(Model& model, std::string_view text, Emit&& emit) {
  // Ids of clusters once looked up (within this call an entry of
  // unicode_lookup never changes): the one-byte ASCII clusters, the bulk of
  // most texts, in a table; clusters of 2 to 7 bytes (a character or two of
  // most scripts) in a direct-mapped cache keyed by their bytes, where a
  // collision only replaces a cell.
  std::array<std::int32_t, 128> ascii_ids;
  ascii_ids.fill(-1);
  struct Cell {
    std::uint64_t key = 0;  // the bytes, and the length in the top byte
    TokenId id = 0;
  };
  std::vector<Cell> cells(std::size_t{1} << kClusterCacheBits);
  auto id_of = [&](std::string_view cluster) -> TokenId {
    // Probed by the view; a string is built only for a new cluster.
    auto found = model.unicode_lookup.find(cluster);
    return found != model.unicode_lookup.end() ? found->second : model.add_cluster(cluster);
  };
  for_each_grapheme(text, [&](std::string_view cluster) {
    if (cluster.size() == 1 && static_cast<unsigned char>(cluster[0]) < 0x80) {
      std::int32_t& cached = ascii_ids[static_cast<unsigned char>(cluster[0])];
      if (cached < 0) cached = id_of(cluster);
      emit(static_cast<TokenId>(cached));
      return;
    }
    if (cluster.size() < 2 || cluster.size() > 7) {
      emit(id_of(cluster));
      return;
    }
    std::uint64_t key = 0;
    std::memcpy(&key, cluster.data(), cluster.size());
    key |= std::uint64_t{cluster.size()} << 56;
    Cell& cell = cells[(key * 0x9E3779B97F4A7C15ull) >> (64 - kClusterCacheBits)];
    if (cell.key != key) cell = Cell{key, id_of(cluster)};
    emit(cell.id);
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
