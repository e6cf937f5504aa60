// UTF-8 validation and lossy decoding with U+FFFD for each maximal
// ill-formed subsequence (the Unicode "maximal subpart" practice).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velkor {

struct Utf8Error {
  std::size_t valid_up_to;               // length of the valid prefix
  std::optional<std::size_t> error_len;  // empty when the input ends mid-sequence
};

// Empty when bytes are valid UTF-8; otherwise the first error.
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// Valid UTF-8 copy of bytes, each maximal ill-formed subsequence replaced by
// U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

// Appends the UTF-8 form of a code point (no check that it is a scalar value).
void append_utf8(std::string& out, char32_t cp);

}  // namespace velkor
