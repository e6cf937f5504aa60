// Merge learning over one training chunk: the pair index against a full
// recount per iteration. The chunk is English-like text made of Zipf-drawn
// words (or the first chunk of a file given as argument, one id per byte);
// the loop is the learning pass without the model: 700 iterations, each
// merging the most frequent pair if it occurs at least 10 times. Then the
// real passes on the index, model and all: learning on the first chunk,
// known merges and learning on a second one. Times are thread CPU time.
//
// Usage: merge_bench [text-file|-] [plain-iterations, 0: index only]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/pair_index.h"
#include "oracles.h"
#include "train/merge_passes.h"

namespace {

using velkor::TokenId;
using velkor::TokenPair;

constexpr std::size_t kChunkBytes = 3067833;
constexpr int kIterations = 700;
constexpr std::uint32_t kMinCount = 10;

struct Rng {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
};

// Words spelled with English letter frequencies, drawn with Zipf weights,
// separated by spaces with some punctuation and line breaks.
std::string english_like_text(std::uint64_t seed) {
  const std::string letters = "etaoinshrdlcumwfgypbvkjxqz";
  const double letter_weight[] = {12.7, 9.1, 8.2, 7.5, 7.0, 6.7, 6.3, 6.1, 6.0, 4.3, 4.0, 2.8, 2.8,
                                  2.4,  2.4, 2.2, 2.0, 2.0, 1.9, 1.5, 1.0, 0.8, 0.2, 0.2, 0.1, 0.1};
  std::vector<double> letter_cdf;
  double sum = 0;
  for (double w : letter_weight) letter_cdf.push_back(sum += w);
  Rng rng;
  auto letter = [&] {
    double x = rng.unit() * sum;
    return letters[std::lower_bound(letter_cdf.begin(), letter_cdf.end(), x) - letter_cdf.begin()];
  };
  std::vector<std::string> words(20000);
  for (std::string& word : words) {
    std::size_t length = 1 + static_cast<std::size_t>(-std::log(1 - rng.unit()) * 4.0);
    for (std::size_t i = 0; i < length; ++i) word += letter();
  }
  rng.state ^= seed;  // same words, another text
  std::vector<double> word_cdf;
  double total = 0;
  for (std::size_t rank = 1; rank <= words.size(); ++rank) word_cdf.push_back(total += 1.0 / rank);
  std::string text;
  text.reserve(kChunkBytes + 64);
  bool capital = true;
  while (text.size() < kChunkBytes) {
    double x = rng.unit() * total;
    std::string word =
        words[std::lower_bound(word_cdf.begin(), word_cdf.end(), x) - word_cdf.begin()];
    if (capital) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    text += word;
    std::uint64_t r = rng.next() % 100;
    capital = r < 7;
    text += r < 6 ? ". " : r < 7 ? ".\n" : r < 12 ? ", " : " ";
  }
  text.resize(kChunkBytes);
  return text;
}

std::vector<TokenId> ids_of(const std::string& text) {
  std::vector<TokenId> ids;
  ids.reserve(text.size());
  for (unsigned char byte : text) ids.push_back(static_cast<TokenId>(byte + 1));
  return ids;
}

// Thread CPU time: the machine may be shared, and waiting is not our cost.
double cpu_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Run {
  int merges = 0;
  double seconds = 0;
  std::vector<TokenId> result;
};

Run with_index(const std::vector<TokenId>& ids) {
  Run run;
  double start = cpu_seconds();
  velkor::PairIndex index(ids);
  TokenId next_id = 257;
  for (int i = 0; i < kIterations; ++i) {
    auto best = index.best();
    if (!best || best->count < kMinCount) break;
    index.merge(best->pair, next_id++);
    ++run.merges;
  }
  run.seconds = cpu_seconds() - start;
  run.result = index.sequence();
  return run;
}

std::vector<TokenId> rewrite(const std::vector<TokenId>& ids, TokenPair pair, TokenId merged) {
  std::vector<TokenId> out;
  for (std::size_t i = 0; i < ids.size();) {
    if (i + 1 < ids.size() && ids[i] == pair.left && ids[i + 1] == pair.right) {
      out.push_back(merged);
      i += 2;
    } else {
      out.push_back(ids[i++]);
    }
  }
  return out;
}

// The first `iterations` iterations of the plain loop.
Run with_recount(std::vector<TokenId> ids, int iterations) {
  Run run;
  double start = cpu_seconds();
  TokenId next_id = 257;
  for (int i = 0; i < iterations; ++i) {
    velkor::PairCounts counts = velkor::count_occur(ids);
    if (counts.empty()) break;
    velkor::BestPair best = velkor::best_pair(counts);
    if (best.count < kMinCount) break;
    ids = rewrite(ids, best.pair, next_id++);
    ++run.merges;
  }
  run.seconds = cpu_seconds() - start;
  run.result = std::move(ids);
  return run;
}

// Cost of the whole plain loop, from one timed plain iteration on the
// index's sequence every kSampleEvery merges (the sequence shrinks as it
// goes, so the first iterations alone would overstate it). Also checks that
// the plain iteration picks the pair the index picks.
constexpr int kSampleEvery = 25;
double plain_estimate(const std::vector<TokenId>& ids, int merges) {
  velkor::PairIndex index(ids);
  TokenId next_id = 257;
  double total = 0;
  for (int i = 0; i < merges; ++i) {
    auto best = index.best();
    if (i % kSampleEvery == 0) {
      std::vector<TokenId> current = index.sequence();
      double start = cpu_seconds();
      velkor::BestPair plain = velkor::best_pair(velkor::count_occur(current));
      std::vector<TokenId> next = rewrite(current, plain.pair, next_id);
      double cost = cpu_seconds() - start;
      if (!(plain.pair == best->pair) || plain.count != best->count) {
        std::fprintf(stderr, "iteration %d: plain and index pick different pairs\n", i);
        std::exit(1);
      }
      total += cost * std::min(kSampleEvery, merges - i);
    }
    index.merge(best->pair, next_id++);
  }
  return total;
}

// The passes as training runs them, console lines dropped.
void real_passes(const std::vector<TokenId>& first, const std::string& second_text) {
  velkor::Model model;
  for (int id = 0; id < 257; ++id) {
    model.lookup.emplace(static_cast<TokenId>(id),
                         std::string(id == 0 ? 0 : 1, static_cast<char>(id - 1)));
  }
  const velkor::PassOutput quiet{[](std::string_view) {}, {}};
  double start = cpu_seconds();
  velkor::PairIndex index(first);
  velkor::merge_learning_pass(model, index, quiet, {});
  std::printf("learning pass, chunk 1: %.1f ms with the build, %zu merges learned\n",
              (cpu_seconds() - start) * 1e3, model.merges.size());
  if (second_text.empty()) return;
  const std::vector<TokenId> second = ids_of(second_text);
  std::size_t learned = model.merges.size();
  // The trainer's way: the first chunk's index takes the second chunk.
  start = cpu_seconds();
  index.assign(second);
  velkor::known_merge_pass(model, index, quiet, {});
  double known = cpu_seconds() - start;
  velkor::merge_learning_pass(model, index, quiet, {});
  std::printf(
      "chunk 2: known merges %.1f ms (with the build), then learning %.1f ms, %zu new merges\n",
      known * 1e3, (cpu_seconds() - start - known) * 1e3, model.merges.size() - learned);
}

}  // namespace

int main(int argc, char** argv) {
  std::string text;
  if (argc > 1 && std::string(argv[1]) != "-") {
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", argv[1]);
      return 1;
    }
    text.assign(std::istreambuf_iterator<char>(file), {});
    if (text.size() > kChunkBytes) text.resize(kChunkBytes);
  } else {
    text = english_like_text(0);
  }
  const int plain_iterations = argc > 2 ? std::atoi(argv[2]) : 10;
  std::vector<TokenId> ids = ids_of(text);
  std::printf("chunk: %zu ids (%s)\n", ids.size(),
              argc > 1 && std::string(argv[1]) != "-" ? argv[1] : "synthetic English");

  double build = 1e9;
  for (int round = 0; round < 5; ++round) {
    double start = cpu_seconds();
    velkor::PairIndex index(ids);
    build = std::min(build, cpu_seconds() - start);
  }
  std::printf("pair index: built in %.1f ms (best of 5)\n", build * 1e3);

  Run fast = with_index(ids);
  for (int round = 0; round < 4; ++round) {
    Run again = with_index(ids);
    fast.seconds = std::min(fast.seconds, again.seconds);
  }
  std::printf("pair index: %d merges in %.1f ms (best of 5), %zu ids left\n", fast.merges,
              fast.seconds * 1e3, fast.result.size());

  real_passes(ids, argc > 1 && std::string(argv[1]) != "-" ? std::string() : english_like_text(1));
  if (plain_iterations == 0) return 0;
  Run plain = with_recount(ids, plain_iterations);
  velkor::PairIndex index(ids);
  for (int i = 0; i < plain.merges; ++i)
    index.merge(index.best()->pair, static_cast<TokenId>(257 + i));
  if (index.sequence() != plain.result) {
    std::fprintf(stderr, "sequences differ after %d merges\n", plain.merges);
    return 1;
  }
  double estimate = plain_estimate(ids, fast.merges);
  std::printf(
      "full recount: first %d iterations %.1f ms (%.1f ms each, same sequence as the index)\n",
      plain.merges, plain.seconds * 1e3, plain.seconds * 1e3 / std::max(plain.merges, 1));
  std::printf("full recount: %d merges ~ %.0f ms (sampled every %d iterations)\n", fast.merges,
              estimate * 1e3, kSampleEvery);
  std::printf("speed-up: ~%.0fx\n", estimate / fast.seconds);
  return 0;
}
