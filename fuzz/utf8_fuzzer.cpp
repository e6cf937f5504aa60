// check_utf8 and decode_utf8_lossy on arbitrary bytes, against a
// byte-by-byte decoder written from the UTF-8 table: the lossy output is
// valid UTF-8 with one U+FFFD per maximal ill-formed subsequence, and the
// check reports the same first error.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "unicode/utf8.h"

namespace {

struct Reference {
  std::string lossy;
  std::optional<velkor::Utf8Error> first_error;
};

// Length of the well-formed prefix of the sequence at i (its full length
// when complete), and whether it is complete.
struct Prefix {
  std::size_t length;
  bool complete;
};

Prefix sequence_prefix(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) return {1, true};
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    need = 2;
  } else if (b == 0xE0) {
    need = 3, lo = 0xA0;
  } else if (b >= 0xE1 && b <= 0xEC) {
    need = 3;
  } else if (b == 0xED) {
    need = 3, hi = 0x9F;
  } else if (b >= 0xEE && b <= 0xEF) {
    need = 3;
  } else if (b == 0xF0) {
    need = 4, lo = 0x90;
  } else if (b >= 0xF1 && b <= 0xF3) {
    need = 4;
  } else if (b == 0xF4) {
    need = 4, hi = 0x8F;
  } else {
    return {0, false};  // never a lead byte
  }
  std::size_t got = 1;
  while (got < need && i + got < s.size()) {
    const auto c = static_cast<unsigned char>(s[i + got]);
    const bool ok = got == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    if (!ok) break;
    ++got;
  }
  return {got, got == need};
}

Reference reference_decode(std::string_view s) {
  Reference out;
  std::size_t i = 0;
  while (i < s.size()) {
    const Prefix p = sequence_prefix(s, i);
    if (p.complete) {
      out.lossy.append(s.substr(i, p.length));
      i += p.length;
      continue;
    }
    const std::size_t bad = p.length == 0 ? 1 : p.length;
    if (!out.first_error) {
      // Ends inside a sequence that could still be completed: no length.
      const bool truncated = p.length > 0 && i + p.length == s.size();
      out.first_error =
          velkor::Utf8Error{i, truncated ? std::nullopt : std::optional<std::size_t>(bad)};
    }
    out.lossy += "\xEF\xBF\xBD";
    i += bad;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<velkor::Utf8Error> error = velkor::check_utf8(bytes);
  const std::string lossy = velkor::decode_utf8_lossy(bytes);
  const Reference expected = reference_decode(bytes);

  FUZZ_CHECK(!velkor::check_utf8(lossy).has_value());
  FUZZ_CHECK(error.has_value() == (lossy != bytes));
  FUZZ_CHECK(lossy == expected.lossy);
  FUZZ_CHECK(error.has_value() == expected.first_error.has_value());
  if (error) {
    FUZZ_CHECK(error->valid_up_to == expected.first_error->valid_up_to);
    FUZZ_CHECK(error->error_len == expected.first_error->error_len);
    FUZZ_CHECK(!velkor::check_utf8(bytes.substr(0, error->valid_up_to)).has_value());
    FUZZ_CHECK(lossy.compare(0, error->valid_up_to, bytes.substr(0, error->valid_up_to)) == 0);
  }
  return 0;
}
