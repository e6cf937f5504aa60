// Reading one multi-byte UTF-8 sequence, shared by validation, lossy decoding
// and segmentation so that all three agree on what is well-formed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkor::utf8 {

struct Sequence {
  char32_t code_point;  // meaningful only when valid
  std::uint8_t length;  // whole sequence when valid, else the maximal ill-formed subpart (>= 1)
  bool valid;
  bool truncated;  // ill-formed only because the input ended inside a so-far-valid prefix
};

// Reads the sequence at p, whose first byte is not ASCII. Reads nothing at or
// past end. Byte ranges follow the table of well-formed sequences in the
// Unicode standard, so overlongs, surrogates and values above U+10FFFF stop at
// the first byte that cannot continue a well-formed sequence.
inline Sequence read_sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = p[0];
  unsigned need;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0)
      lo = 0xA0;  // overlong
    else if (lead == 0xED)
      hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0)
      lo = 0x90;  // overlong
    else if (lead == 0xF4)
      hi = 0x8F;  // above U+10FFFF
  } else {
    return {0, 1, false, false};  // continuation byte, C0, C1 or F5..FF
  }
  const std::size_t avail = static_cast<std::size_t>(end - p) - 1;
  for (unsigned i = 1; i <= need; ++i) {
    if (i > avail) return {0, static_cast<std::uint8_t>(i), false, true};
    const unsigned char b = p[i];
    if (b < lo || b > hi) return {0, static_cast<std::uint8_t>(i), false, false};
    cp = (cp << 6) | (b & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  return {cp, static_cast<std::uint8_t>(need + 1), true, false};
}

}  // namespace velkor::utf8
