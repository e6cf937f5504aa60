// Grapheme segmentation throughput on one core: pure ASCII, English-like
// prose and mixed-script text, a few MB each. Prints MB/s (1 MB = 1e6 bytes)
// of thread CPU time, best of seven rounds.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "bench_rng.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace {

constexpr std::size_t kTextBytes = 4 << 20;

std::string ascii_text() {
  Rng rng;
  std::string text;
  while (text.size() < kTextBytes) text += static_cast<char>(0x20 + rng.below(0x5F));
  return text;
}

std::string english_text() {
  static const char* const kWords[] = {
      "the",       "of",       "and",     "to",       "in",         "is",       "that",
      "for",       "it",       "as",      "was",      "with",       "be",       "by",
      "on",        "not",      "he",      "this",     "are",        "or",       "his",
      "from",      "at",       "which",   "but",      "have",       "an",       "they",
      "you",       "were",     "their",   "one",      "all",        "we",       "can",
      "her",       "has",      "there",   "been",     "if",         "more",     "when",
      "will",      "would",    "who",     "so",       "no",         "language", "model",
      "tokenizer", "training", "between", "sentence", "government", "morning",  "Tuesday",
      "London",    "I",        "It",      "However",  "Therefore",  "number",
  };
  constexpr std::uint32_t kCount = sizeof kWords / sizeof kWords[0];
  Rng rng;
  std::string text;
  while (text.size() < kTextBytes) {
    const int sentence = 5 + static_cast<int>(rng.below(20));
    for (int w = 0; w < sentence; ++w) {
      text += kWords[rng.below(kCount)];
      if (w + 1 < sentence) text += rng.below(12) == 0 ? ", " : " ";
    }
    const std::uint32_t end = rng.below(10);
    text += end == 0 ? "?" : end == 1 ? "!" : ".";
    text += rng.below(6) == 0 ? "\n\n" : rng.below(3) == 0 ? "\r\n" : " ";
  }
  return text;
}

std::string mixed_text() {
  const std::vector<std::vector<char32_t>> words = {
      {0x0928, 0x092E, 0x0938, 0x094D, 0x0924, 0x0947},          // Devanagari
      {0x0915, 0x094D, 0x0937, 0x093F, 0x0924, 0x093F, 0x091C},  // virama, matras
      {0x0E2A, 0x0E27, 0x0E31, 0x0E2A, 0x0E14, 0x0E35},          // Thai
      {0x0E01, 0x0E33, 0x0E41, 0x0E1E, 0x0E07},                  // Thai, SpacingMark
      {0xD55C, 0xAD6D, 0xC5B4},                                  // Hangul syllables
      {0x1112, 0x1161, 0x11AB, 0x1100, 0x1173, 0x11AF},          // conjoining jamo
      {0x0627, 0x0644, 0x0639, 0x064E, 0x0631, 0x064E, 0x0628, 0x0650, 0x064A, 0x0629},  // Arabic
      {0x1F468, 0x200D, 0x1F469, 0x200D, 0x1F467, 0x200D, 0x1F466},  // family ZWJ
      {0x1F44D, 0x1F3FD, 0x2764, 0xFE0F},                            // modifier, VS16
      {0x1F1EB, 0x1F1F7, 0x1F1EE, 0x1F1F3},                          // two flags
  };
  Rng rng;
  std::string text;
  while (text.size() < kTextBytes) {
    for (char32_t cp : words[rng.below(static_cast<std::uint32_t>(words.size()))])
      velkor::append_utf8(text, cp);
    text += rng.below(15) == 0 ? "\n" : " ";
  }
  return text;
}

// CPU time of this thread, so that other processes sharing the cores do not
// count against the code under test.
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void measure(const char* name, const std::string& text) {
  std::size_t clusters = 0;
  std::uint64_t checksum = 0;
  double best = 1e30;
  for (int round = 0; round < 7; ++round) {
    std::size_t count = 0;
    const double t0 = thread_seconds();
    // Touch every cluster, as a real consumer would, so the loop cannot
    // collapse into a bare count.
    velkor::for_each_grapheme(text, [&](std::string_view c) {
      ++count;
      checksum += c.size() ^ static_cast<unsigned char>(c.back());
    });
    best = std::min(best, thread_seconds() - t0);
    clusters = count;
  }
  std::printf("%-8s %7.2f MB  %9zu clusters  %8.1f MB/s  (checksum %016llx)\n", name,
              text.size() / 1e6, clusters, text.size() / 1e6 / best,
              static_cast<unsigned long long>(checksum));
}

}  // namespace

// With arguments, runs only the named texts (ascii, english, mixed).
int main(int argc, char** argv) {
  const auto wanted = [&](std::string_view name) {
    return argc < 2 || std::find(argv + 1, argv + argc, name) != argv + argc;
  };
  if (wanted("ascii")) measure("ascii", ascii_text());
  if (wanted("english")) measure("english", english_text());
  if (wanted("mixed")) measure("mixed", mixed_text());
}
