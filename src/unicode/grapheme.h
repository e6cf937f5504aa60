// Extended grapheme cluster segmentation (UAX #29, Unicode 15.0 data; rules
// GB1-GB9b, GB11, GB12, GB13, GB999; no GB9c).
#pragma once

#include <cstddef>
#include <string_view>

namespace velkor {

// End offset of the cluster that starts at `start`; text.size() when start
// is at or past the end.
// Safe on any bytes: ill-formed UTF-8 is taken one byte at a time as a
// character of property Other, and nothing past text.size() is read.
std::size_t next_grapheme_end(std::string_view text, std::size_t start);

namespace detail {
// End of the run from start in which every byte is a cluster on its own:
// ASCII other than CR, followed by another ASCII byte or by the end of text.
// Returns start when there is no such run.
std::size_t single_byte_clusters_end(std::string_view text, std::size_t start);
}  // namespace detail

// Calls visit(std::string_view cluster) for every cluster of text, in order.
template <class Visit>
void for_each_grapheme(std::string_view text, Visit&& visit) {
  const char* const data = text.data();
  std::size_t start = 0;
  while (start < text.size()) {
    // Runs of plain ASCII are found a word at a time, so that walking them
    // does not wait on each byte's load.
    if (static_cast<unsigned char>(data[start]) < 0x80) {
      const std::size_t stop = detail::single_byte_clusters_end(text, start);
      for (; start < stop; ++start) visit(std::string_view(data + start, 1));
      if (start == text.size()) break;
    }
    const std::size_t end = next_grapheme_end(text, start);
    visit(std::string_view(data + start, end - start));
    start = end;
  }
}

}  // namespace velkor
