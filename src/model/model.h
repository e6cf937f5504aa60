// The tokenizer model: three maps tying ids to bytes, pairs to merged ids
// and grapheme clusters to ids.
#pragma once

#include <cstdint>
#include <string>

#include "support/keyed_hash.h"

namespace velkor {

using TokenId = std::uint16_t;

// An ordered pair of adjacent ids, left first.
struct TokenPair {
  TokenId left;
  TokenId right;
  friend bool operator==(TokenPair, TokenPair) = default;
};

template <>
struct KeyedHash<TokenPair> {
  using is_avalanching = void;
  HashSecret secret = HashSecret::draw();
  std::size_t operator()(TokenPair pair) const {
    return keyed_mix(secret, (std::uint64_t{pair.left} << 16) | pair.right);
  }
};

struct Model {
  // Token id to the bytes it stands for (any bytes, not necessarily UTF-8).
  HashMap<TokenId, std::string> lookup;
  // Adjacent pair to the id that replaces it.
  HashMap<TokenPair, TokenId> merges;
  // UTF-8 text of one grapheme cluster (or "oov") to its id.
  HashMap<std::string, TokenId> unicode_lookup;
};

}  // namespace velkor
