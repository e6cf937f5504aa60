// Hash maps whose hash function is keyed with a secret drawn at random for
// every map, so iteration order is never something to rely on and crafted
// keys cannot force collisions. The table is Boost's open-addressing map.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "memory/huge_pages.h"

namespace velkor {

// A fresh 128-bit secret, different for every call.
struct HashSecret {
  std::uint64_t k0;
  std::uint64_t k1;
  static HashSecret draw();
};

// SipHash-1-3 of the bytes under the secret.
std::uint64_t siphash13(const HashSecret& secret, const void* data, std::size_t size);

// Keyed mix of a 64-bit integer (for id and pair keys).
inline std::uint64_t keyed_mix(const HashSecret& secret, std::uint64_t x) {
  x ^= secret.k0;
  x *= 0x9E3779B97F4A7C15ull;
  x ^= x >> 32;
  x ^= secret.k1;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return x;
}

// Both hashes spread every input bit over the result, so the table need not
// mix them again.
template <class Key>
struct KeyedHash {
  using is_avalanching = void;
  HashSecret secret = HashSecret::draw();
  std::size_t operator()(Key key) const { return keyed_mix(secret, key); }
};

template <>
struct KeyedHash<std::string> {
  using is_avalanching = void;
  using is_transparent = void;
  HashSecret secret = HashSecret::draw();
  std::size_t operator()(std::string_view key) const {
    return siphash13(secret, key.data(), key.size());
  }
};

// Inserting may move every entry: references and iterators are valid only
// until the next insertion. Keys compare transparently, so with a transparent
// hash (strings) a string_view probes without a copy.
template <class Key, class Value>
using HashMap = boost::unordered_flat_map<Key, Value, KeyedHash<Key>, std::equal_to<>,
                                          HugePageAllocator<std::pair<const Key, Value>>>;

}  // namespace velkor
