// Extended grapheme cluster segmentation (UAX #29, Unicode 15.0 data; rules
// GB1-GB9b, GB11, GB12, GB13, GB999; no GB9c).
#pragma once

#include <cstddef>
#include <string_view>

namespace velkor {

// End offset of the cluster that starts at `start` (start < text.size()).
// Safe on any bytes: ill-formed UTF-8 is taken one byte at a time as a
// character of property Other, and nothing past text.size() is read.
std::size_t next_grapheme_end(std::string_view text, std::size_t start);

// Calls visit(std::string_view cluster) for every cluster of text, in order.
template <class Visit>
void for_each_grapheme(std::string_view text, Visit&& visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = next_grapheme_end(text, start);
    visit(text.substr(start, end - start));
    start = end;
  }
}

}  // namespace velkor
