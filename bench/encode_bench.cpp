// Where encode's time goes, per MB of text, phase by phase: segmentation,
// cluster lookup, index build, merges, reading the sequence out. Thread CPU
// time, first round (fresh pages, as a process's first call) and best of the
// later rounds (memory already mapped).
//
// Usage: encode_bench TOKENIZER TEXT...   (e.g. a model trained by
// compare_peers.py --keep DIR, and build/bench-corpus/english.txt)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "codec/encoder.h"
#include "codec/pair_index.h"
#include "model/tokenizer_file.h"
#include "unicode/grapheme.h"

namespace {

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

constexpr int kPhases = 5;
const char* const kNames[kPhases] = {"segmentation", "cluster lookup", "index build", "merges",
                                     "sequence out"};

// One encode, split into its phases; seconds of each.
void run(const velkor::Model& model, const std::string& text, double* seconds) {
  double t0 = thread_seconds();
  std::size_t clusters = 0;
  velkor::for_each_grapheme(text, [&](std::string_view) { ++clusters; });
  double t1 = thread_seconds();
  std::vector<velkor::TokenId> ids = velkor::cluster_ids(model, text);
  double t2 = thread_seconds();
  velkor::PairIndex index;  // built as encode() builds it
  index.assign_from(
      ids.size(),
      [&](auto&& push) {
        for (velkor::TokenId id : ids) push(id);
      },
      &model.merges);
  double t3 = thread_seconds();
  while (auto best = index.best()) {
    auto merge = model.merges.find(best->pair);
    if (merge == model.merges.end()) break;
    index.merge(best->pair, merge->second);
  }
  double t4 = thread_seconds();
  std::vector<velkor::TokenId> out = index.sequence();
  double t5 = thread_seconds();
  if (clusters != ids.size() || out.size() > ids.size()) std::abort();
  // Lookup's time is the cluster ids less the segmentation inside them.
  const double phases[kPhases] = {t1 - t0, (t2 - t1) - (t1 - t0), t3 - t2, t4 - t3, t5 - t4};
  std::copy(phases, phases + kPhases, seconds);
}

// What the memory system gives one core here: streaming read and write
// bandwidth over a buffer far larger than the caches (GB/s), and the time
// of one random 8-byte read when many are in flight (ns).
struct MemorySystem {
  double read_gbs;
  double write_gbs;
  double random_ns;
};

MemorySystem measure_memory() {
  constexpr std::size_t kWords = std::size_t{32} << 20;  // 256 MiB
  std::vector<std::uint64_t> buffer(kWords, 1);          // touched: no faults below
  MemorySystem best{0, 0, 1e30};
  for (int round = 0; round < 3; ++round) {
    double t0 = thread_seconds();
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < kWords; ++i) sum += buffer[i];
    double t1 = thread_seconds();
    std::fill(buffer.begin(), buffer.end(), sum);
    double t2 = thread_seconds();
    // Independent random reads, as a merge's scattered node visits are.
    std::uint64_t x = 88172645463325252ull;
    std::uint64_t acc = 0;
    constexpr std::size_t kReads = std::size_t{1} << 24;
    for (std::size_t i = 0; i < kReads; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      acc += buffer[x & (kWords - 1)];
    }
    double t3 = thread_seconds();
    if (acc == 42) std::puts("");
    const double bytes = static_cast<double>(kWords * sizeof(std::uint64_t));
    best.read_gbs = std::max(best.read_gbs, bytes / (t1 - t0) / 1e9);
    best.write_gbs = std::max(best.write_gbs, bytes / (t2 - t1) / 1e9);
    best.random_ns = std::min(best.random_ns, (t3 - t2) * 1e9 / static_cast<double>(kReads));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TOKENIZER TEXT...\n", argv[0]);
    return 2;
  }
  const velkor::Model model = velkor::load_model_file(argv[1]);
  const MemorySystem memory = measure_memory();
  std::printf(
      "memory system, one core: read %.1f GB/s, write %.1f GB/s, random 8-byte read "
      "%.1f ns (many in flight)\n",
      memory.read_gbs, memory.write_gbs, memory.random_ns);
  for (int arg = 2; arg < argc; ++arg) {
    const std::string text = read_file(argv[arg]);
    const double mb = static_cast<double>(text.size()) / 1e6;
    // encode() itself, as the module calls it: the first call of the
    // process, then the best of a few more.
    struct Timed {
      double first, best;
      std::size_t tokens;
    };
    auto time_encode = [&](velkor::Encoding encoding) {
      double t0 = thread_seconds();
      Timed timed{0, 1e30, velkor::encode(model, text, encoding).size()};
      timed.first = thread_seconds() - t0;
      for (int round = 0; round < 5; ++round) {
        t0 = thread_seconds();
        velkor::encode(model, text, encoding);
        timed.best = std::min(timed.best, thread_seconds() - t0);
      }
      return timed;
    };
    const Timed standard = time_encode(velkor::Encoding::kStandard);
    const Timed complete = time_encode(velkor::Encoding::kComplete);
    double first[kPhases];
    double best[kPhases];
    run(model, text, first);
    std::fill(best, best + kPhases, 1e30);
    for (int round = 0; round < 5; ++round) {
      double seconds[kPhases];
      run(model, text, seconds);
      for (int p = 0; p < kPhases; ++p) best[p] = std::min(best[p], seconds[p]);
    }
    std::printf("%s (%.2f MB): ms per MB, first round / best later round\n", argv[arg], mb);
    double total_first = 0, total_best = 0;
    for (int p = 0; p < kPhases; ++p) {
      std::printf("  %-15s %7.2f / %7.2f\n", kNames[p], first[p] * 1e3 / mb, best[p] * 1e3 / mb);
      total_first += first[p];
      total_best += best[p];
    }
    std::printf("  %-15s %7.2f / %7.2f  (%.1f / %.1f MB/s)\n", "total", total_first * 1e3 / mb,
                total_best * 1e3 / mb, mb / total_first, mb / total_best);
    for (const auto& [name, timed] : {std::pair{"encode()", standard}, {"complete", complete}}) {
      std::printf("  %-15s %7.2f / %7.2f  (%.1f / %.1f MB/s; %zu tokens)\n", name,
                  timed.first * 1e3 / mb, timed.best * 1e3 / mb, mb / timed.first, mb / timed.best,
                  timed.tokens);
    }
    std::printf("  complete / standard: %.2fx the MB/s (best rounds), %.2fx the tokens\n",
                standard.best / complete.best,
                static_cast<double>(complete.tokens) / static_cast<double>(standard.tokens));
    // The same text as line-aligned 2 KB documents, one call each on one
    // reused Encoder, as velkor_tools.Tokenizer calls it.
    std::vector<std::string_view> documents;
    for (std::size_t start = 0; start < text.size();) {
      std::size_t end = std::min(text.size(), start + 2000);
      const std::size_t line_end = text.find('\n', end);
      end = end == text.size() || line_end == std::string::npos ? text.size() : line_end + 1;
      documents.emplace_back(text.data() + start, end - start);
      start = end;
    }
    double documents_best[2];
    for (int e = 0; e < 2; ++e) {
      const auto encoding = e == 0 ? velkor::Encoding::kStandard : velkor::Encoding::kComplete;
      velkor::Encoder encoder(model);
      documents_best[e] = 1e30;
      for (int round = 0; round < 5; ++round) {
        const double t0 = thread_seconds();
        for (std::string_view document : documents) encoder.encode(document, encoding);
        documents_best[e] = std::min(documents_best[e], thread_seconds() - t0);
      }
    }
    std::printf("  2 KB documents: encode() %.1f MB/s, complete %.1f MB/s (best of 5): %.2fx\n",
                mb / documents_best[0], mb / documents_best[1],
                documents_best[0] / documents_best[1]);
  }
  return 0;
}
