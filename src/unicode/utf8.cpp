#include "unicode/utf8.h"

#include <cstdint>
#include <cstring>

#include "unicode/utf8_sequence.h"

namespace velkor {
namespace {

struct IllFormed {
  std::size_t at;  // == bytes.size() when there is none
  utf8::Sequence sequence;
};

// The one scanner behind both check_utf8 and decode_utf8_lossy: the first
// ill-formed subsequence at or after `from`.
IllFormed find_ill_formed(std::string_view bytes, std::size_t from) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = begin + bytes.size();
  const auto* p = begin + from;
  while (p < end) {
    // ASCII runs eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ull) break;
      p += 8;
    }
    while (p < end && *p < 0x80) ++p;
    if (p == end) break;
    const utf8::Sequence seq = utf8::read_sequence(p, end);
    if (!seq.valid) return {static_cast<std::size_t>(p - begin), seq};
    p += seq.length;
  }
  return {bytes.size(), {}};
}

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
  const IllFormed bad = find_ill_formed(bytes, 0);
  if (bad.at == bytes.size()) return std::nullopt;
  Utf8Error error{bad.at, std::nullopt};
  if (!bad.sequence.truncated) error.error_len = bad.sequence.length;
  return error;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  IllFormed bad = find_ill_formed(bytes, 0);
  if (bad.at == bytes.size()) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  std::size_t pos = 0;
  while (bad.at < bytes.size()) {
    out.append(bytes.substr(pos, bad.at - pos));
    out.append(kReplacement);
    pos = bad.at + bad.sequence.length;
    bad = find_ill_formed(bytes, pos);
  }
  out.append(bytes.substr(pos));
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace velkor
