#include "unicode/grapheme.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "unicode/utf8_sequence.h"

namespace velkor {
namespace {

#include "unicode/grapheme_tables.inc"

Gcb property(char32_t cp) {
  const std::uint32_t block = kGcbStage1[cp >> kGcbShift];
  return static_cast<Gcb>(kGcbStage2[block * kGcbBlock + (cp & (kGcbBlock - 1))]);
}

struct Char {
  Gcb prop;
  unsigned length;
};

// Ill-formed bytes are taken one at a time as Other.
inline Char read_char(const unsigned char* p, const unsigned char* end) {
  if (*p < 0x80) return {static_cast<Gcb>(kGcbStage2[*p]), 1};
  const utf8::Sequence seq = utf8::read_sequence(p, end);
  if (!seq.valid) return {Gcb::Other, 1};
  return {property(seq.code_point), seq.length};
}

// What the pair (previous, current) decides on its own; the two rules that
// look further back are left to the caller.
enum class Pair : std::uint8_t { Break, Join, EmojiZwj, RegionalPair };

constexpr bool is_control(Gcb g) { return g == Gcb::Control || g == Gcb::CR || g == Gcb::LF; }

constexpr Pair decide(Gcb prev, Gcb cur) {
  using enum Gcb;
  constexpr Gcb RI = RegionalIndicator;
  if (prev == CR && cur == LF) return Pair::Join;                                        /* GB3 */
  if (is_control(prev)) return Pair::Break;                                              /* GB4 */
  if (is_control(cur)) return Pair::Break;                                               /* GB5 */
  if (prev == L && (cur == L || cur == V || cur == LV || cur == LVT)) return Pair::Join; /* GB6 */
  if ((prev == LV || prev == V) && (cur == V || cur == T)) return Pair::Join;            /* GB7 */
  if ((prev == LVT || prev == T) && cur == T) return Pair::Join;                         /* GB8 */
  if (cur == Extend || cur == ZWJ) return Pair::Join;                                    /* GB9 */
  if (cur == SpacingMark) return Pair::Join;                                             /* GB9a */
  if (prev == Prepend) return Pair::Join;                                                /* GB9b */
  if (prev == ZWJ && cur == ExtPict) return Pair::EmojiZwj;                              /* GB11 */
  if (prev == RI && cur == RI) return Pair::RegionalPair; /* GB12, GB13 */
  return Pair::Break;                                     /* GB999 */
}

constexpr auto kPairs = [] {
  std::array<std::array<Pair, kGcbCount>, kGcbCount> table{};
  for (int a = 0; a < kGcbCount; ++a)
    for (int b = 0; b < kGcbCount; ++b) table[a][b] = decide(Gcb(a), Gcb(b));
  return table;
}();

}  // namespace

std::size_t detail::single_byte_clusters_end(std::string_view text, std::size_t start) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const auto* p = begin + start;
  // First byte that is non-ASCII or CR. Each byte of a word is tested as
  // (byte ^ CR) == 0 via the borrow trick, whose lowest hit is exact.
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    constexpr std::uint64_t kLow = 0x0101010101010101ull;
    constexpr std::uint64_t kCr = 0x0D0D0D0D0D0D0D0Dull;
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      const std::uint64_t x = word ^ kCr;
      const std::uint64_t hits = (word & kHigh) | ((x - kLow) & ~x & kHigh);
      if (hits != 0) {
        p += std::countr_zero(hits) / 8;
        break;
      }
      p += 8;
    }
  }
  while (p < end && *p < 0x80 && *p != '\r') ++p;
  // The ASCII byte before a non-ASCII one may take a mark: leave it to the
  // full rules.
  if (p < end && *p >= 0x80 && p > begin + start) --p;
  return static_cast<std::size_t>(p - begin);
}

std::size_t next_grapheme_end(std::string_view text, std::size_t start) {
  if (start >= text.size()) return text.size();  // nothing to read, not even one byte
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const auto* p = begin + start;

  // Two ASCII characters in a row always break (GB4, GB5, GB999), except
  // CR LF (GB3); the second one being ASCII rules out a following Extend,
  // SpacingMark or ZWJ.
  if (*p < 0x80) {
    if (p + 1 == end) return start + 1; /* GB2 */
    if (p[1] < 0x80) return start + 1 + (p[0] == '\r' && p[1] == '\n');
  }

  /* GB1: start is a boundary. */
  Char c = read_char(p, end);
  Gcb prev = c.prop;
  p += c.length;
  bool ri_odd = prev == Gcb::RegionalIndicator;  // odd run of RI ending at prev
  bool pict = prev == Gcb::ExtPict;              // ExtPict Extend* ending at prev
  bool pict_zwj = false;                         // ExtPict Extend* ZWJ ending at prev
  while (p < end) {
    c = read_char(p, end);
    switch (kPairs[static_cast<int>(prev)][static_cast<int>(c.prop)]) {
      case Pair::Break:
        return static_cast<std::size_t>(p - begin);
      case Pair::Join:
        break;
      case Pair::EmojiZwj: /* GB11 */
        if (!pict_zwj) return static_cast<std::size_t>(p - begin);
        break;
      case Pair::RegionalPair: /* GB12, GB13 */
        if (!ri_odd) return static_cast<std::size_t>(p - begin);
        break;
    }
    ri_odd = c.prop == Gcb::RegionalIndicator && !ri_odd;
    pict_zwj = pict && c.prop == Gcb::ZWJ;
    pict = c.prop == Gcb::ExtPict || (pict && c.prop == Gcb::Extend);
    prev = c.prop;
    p += c.length;
  }
  return text.size(); /* GB2 */
}

}  // namespace velkor
