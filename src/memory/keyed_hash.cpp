#include "memory/keyed_hash.h"

#include <sys/random.h>

#include <atomic>
#include <cstring>

namespace velkor {
namespace {

std::uint64_t splitmix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// One getrandom() per process, then a counter-based generator: every map,
// pair index and merge lookup draws a secret, some of them once per call,
// and the system call would dominate.
// The counter is shared by all threads rather than thread-local: storage of
// a thread-local in a library loaded at run time is allocated on first use,
// and that allocation aborts the process when memory runs out.
std::atomic<std::uint64_t>& generator_state() {
  static std::atomic<std::uint64_t> state{[] {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
      seed = reinterpret_cast<std::uintptr_t>(&seed) ^ 0x2545F4914F6CDD1Dull;
    }
    return seed;
  }()};
  return state;
}

std::uint64_t next_random() {
  return splitmix64(generator_state().fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) +
                    0x9E3779B97F4A7C15ull);
}

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

}  // namespace

HashSecret HashSecret::draw() {
  HashSecret secret;
  secret.k0 = next_random();
  secret.k1 = next_random();
  return secret;
}

std::uint64_t siphash13(const HashSecret& secret, const void* data, std::size_t size) {
  SipState s{secret.k0 ^ 0x736f6d6570736575ull, secret.k1 ^ 0x646f72616e646f6dull,
             secret.k0 ^ 0x6c7967656e657261ull, secret.k1 ^ 0x7465646279746573ull};
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t whole = size & ~static_cast<std::size_t>(7);
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, bytes + i, 8);
    s.v3 ^= m;
    s.round();
    s.v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(size) << 56;
  const unsigned char* tail = bytes + whole;
  for (std::size_t i = 0; i < (size & 7); ++i) last |= std::uint64_t{tail[i]} << (8 * i);
  s.v3 ^= last;
  s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace velkor
