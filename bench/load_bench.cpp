// Tokenizer file speed for a full model: 65,536 tokens, 65,536 merges and
// 65,536 cluster texts. Times write_model, read_model and load_model_file
// (the file in /tmp) in milliseconds, best of nine rounds: thread CPU time
// (page faults included), which a busy machine skews less, and wall time.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "bench_rng.h"
#include "model/tokenizer_file.h"
#include "unicode/utf8.h"

namespace {

using velkor::Model;
using velkor::TokenId;
using velkor::TokenPair;

constexpr int kTokens = 65'536;
constexpr int kRounds = 9;

// Cluster texts of one to four code points (ASCII, Latin, CJK), distinct by
// construction: the code points spell the index in base 128 over one script.
std::string cluster_text(int index) {
  static const char32_t kBases[] = {0x20, 0xC0, 0x4E00, 0x1F300};
  std::string text;
  const char32_t base = kBases[index % 4];
  int rest = index / 4;
  do {
    velkor::append_utf8(text, base + static_cast<char32_t>(rest % 64));
    rest /= 64;
  } while (rest != 0);
  return text;
}

Model full_model() {
  Rng rng;
  Model model;
  for (int i = 0; i < kTokens; ++i) {
    const auto id = static_cast<TokenId>(i);
    std::string text = cluster_text(i);
    model.lookup.emplace(id, text + std::string(rng.below(6), 'x'));
    model.unicode_lookup.emplace(std::move(text), id);
  }
  while (model.merges.size() < static_cast<std::size_t>(kTokens)) {
    TokenPair pair{static_cast<TokenId>(rng.below(kTokens)),
                   static_cast<TokenId>(rng.below(kTokens))};
    model.merges.emplace(pair, static_cast<TokenId>(rng.below(kTokens)));
  }
  return model;
}

double cpu_ms() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Timing {
  double cpu = 1e300;
  double wall = 1e300;
};

template <class Body>
Timing best_ms(Body body) {
  Timing best;
  for (int round = 0; round < kRounds; ++round) {
    const double cpu_start = cpu_ms();
    const auto start = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best.cpu = std::min(best.cpu, cpu_ms() - cpu_start);
    best.wall = std::min(best.wall, took.count());
  }
  return best;
}

void print(const char* what, Timing timing) {
  std::printf("%-16s %7.2f ms CPU %7.2f ms wall\n", what, timing.cpu, timing.wall);
}

}  // namespace

int main() {
  const Model model = full_model();
  std::string image;
  const Timing write = best_ms([&] { image = velkor::write_model(model); });

  std::size_t entries = 0;
  const Timing read = best_ms([&] {
    Model loaded = velkor::read_model(image);
    entries = loaded.lookup.size() + loaded.merges.size() + loaded.unicode_lookup.size();
  });
  if (entries != 3 * static_cast<std::size_t>(kTokens)) {
    std::fprintf(stderr, "read back %zu entries\n", entries);
    return 1;
  }

  const std::string path = "/tmp/velkor_load_bench." + std::to_string(::getpid());
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(image.data(), 1, image.size(), file);
    std::fclose(file);
  } else {
    std::perror(path.c_str());
    return 1;
  }
  const Timing load = best_ms([&] { (void)velkor::load_model_file(path); });
  ::unlink(path.c_str());

  std::printf("image %.2f MB\n", static_cast<double>(image.size()) / 1e6);
  print("write_model", write);
  print("read_model", read);
  print("load_model_file", load);
  return 0;
}
