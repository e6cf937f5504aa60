// The segmenter on arbitrary bytes, held in a heap block of exactly their
// size so that ASan catches any read past the end. The clusters must cover
// the input exactly, in order, each non-empty; for_each_grapheme (with its
// ASCII fast path) must agree with next_grapheme_end; in valid UTF-8 no
// boundary splits a character; line breaks stand alone (CR LF together);
// and segmenting from any boundary gives the same clusters as before.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::vector<std::size_t> ends_from(std::string_view text, std::size_t start) {
  std::vector<std::size_t> ends;
  while (start < text.size()) {
    const std::size_t end = velkor::next_grapheme_end(text, start);
    FUZZ_CHECK(end > start);
    FUZZ_CHECK(end <= text.size());
    ends.push_back(end);
    start = end;
  }
  return ends;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<char[]> copy(new char[size]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  const std::string_view text(copy.get(), size);

  FUZZ_CHECK(velkor::next_grapheme_end(text, size) == size);
  const std::vector<std::size_t> ends = ends_from(text, 0);

  std::vector<std::size_t> visited;
  std::size_t covered = 0;
  velkor::for_each_grapheme(text, [&](std::string_view cluster) {
    FUZZ_CHECK(!cluster.empty());
    FUZZ_CHECK(cluster.data() == text.data() + covered);
    covered += cluster.size();
    visited.push_back(covered);
  });
  FUZZ_CHECK(covered == size);
  FUZZ_CHECK(visited == ends);

  const bool valid = !velkor::check_utf8(text).has_value();
  std::size_t start = 0;
  for (std::size_t end : ends) {
    const std::string_view cluster = text.substr(start, end - start);
    if (valid && end < size) FUZZ_CHECK(!is_continuation(text[end]));
    if (cluster.find_first_of("\r\n") != std::string_view::npos) {
      FUZZ_CHECK(cluster == "\r" || cluster == "\n" || cluster == "\r\n");
    }
    start = end;
  }

  // Nothing before a boundary changes what follows it.
  if (ends.size() >= 2) {
    const std::size_t from = ends[ends.size() / 2 - 1];
    std::vector<std::size_t> rest = ends_from(text, from);
    std::vector<std::size_t> expected(ends.begin() + static_cast<long>(ends.size() / 2),
                                      ends.end());
    FUZZ_CHECK(rest == expected);
    // Nor does a fresh buffer that starts there.
    std::unique_ptr<char[]> tail(new char[size - from]);
    std::memcpy(tail.get(), copy.get() + from, size - from);
    std::vector<std::size_t> alone = ends_from(std::string_view(tail.get(), size - from), 0);
    FUZZ_CHECK(alone.size() == expected.size());
    for (std::size_t i = 0; i < alone.size(); ++i) FUZZ_CHECK(alone[i] + from == expected[i]);
  }
  return 0;
}
