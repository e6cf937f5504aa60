// A small deterministic generator, so every bench run sees the same data.
#pragma once

#include <cstdint>

struct Rng {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint32_t>(state >> 11);
  }
  std::uint32_t below(std::uint32_t n) { return next() % n; }
};
