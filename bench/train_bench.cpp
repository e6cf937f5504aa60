// Training chunks, phase by phase, as train() runs them: the chunk turned
// into ids (decode, markers, segmentation, new ids), the pair index built
// (one index reused from chunk to chunk), known merges applied (from the
// second chunk on), merges learned, the model saved. Every chunk of each
// file, on a model that starts empty, reported chunk by chunk and for the
// whole file. Console lines go to /dev/null (their writes are part of the
// cost), the saves to a scratch directory. Times are thread CPU time, best
// of several runs.
//
// Usage: train_bench [runs] [file...]
//        (default: 5 runs over build/bench-corpus/{english,full}.txt)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/pair_index.h"
#include "model/tokenizer_file.h"
#include "report/console.h"
#include "train/chunk_tokens.h"
#include "train/merge_passes.h"

namespace {

constexpr std::size_t kChunkBytes = 3'067'833;

double cpu_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

enum Phase { kIds, kKnown, kLearn, kSave, kPhases };
const char* const kPhaseNames[kPhases] = {"chunk_to_index", "known_merge_pass",
                                          "merge_learning_pass", "save_model"};

struct ChunkTimes {
  double phase[kPhases] = {};
  double total() const {
    double sum = 0;
    for (double t : phase) sum += t;
    return sum;
  }
};

// Every chunk once, on a fresh model; returns the phase times of each.
std::vector<ChunkTimes> run_once(const std::string& text, std::size_t& merges_learned) {
  velkor::Model model;
  model.unicode_lookup.insert_or_assign("oov", velkor::TokenId{0});
  model.lookup.insert_or_assign(velkor::TokenId{0}, std::string());
  velkor::PairIndex index;
  std::vector<ChunkTimes> times;
  const velkor::PassOutput out{[](std::string_view line) { velkor::console_write(line); }, {}};
  for (std::size_t start = 0; start < text.size(); start += kChunkBytes) {
    const std::string_view chunk =
        std::string_view(text).substr(start, std::min(kChunkBytes, text.size() - start));
    ChunkTimes t;
    double at = cpu_seconds();
    auto mark = [&](Phase phase) {
      const double now = cpu_seconds();
      t.phase[phase] = now - at;
      at = now;
    };
    velkor::chunk_to_index(model, chunk, index);
    mark(kIds);
    if (start != 0) velkor::known_merge_pass(model, index, out, {});
    mark(kKnown);
    velkor::console_write("Finish converting new read chunk to tokens\n");
    velkor::merge_learning_pass(model, index, out, {});
    index.release();
    mark(kLearn);
    velkor::save_model(model);
    mark(kSave);
    times.push_back(t);
  }
  merges_learned = model.merges.size();
  return times;
}

void bench_file(const std::string& path, const std::string& text, int runs) {
  std::vector<ChunkTimes> best;
  ChunkTimes best_whole;
  double best_whole_total = 1e9;
  std::size_t merges = 0;
  // Console lines and the banner go to /dev/null while the phases run.
  std::fflush(stdout);
  const int saved_stdout = dup(1);
  const int null = open("/dev/null", O_WRONLY);
  for (int run = 0; run < runs; ++run) {
    dup2(null, 1);
    std::vector<ChunkTimes> times = run_once(text, merges);
    velkor::console_write("");  // nothing pending: every line ended
    dup2(saved_stdout, 1);
    ChunkTimes whole;
    for (const ChunkTimes& chunk : times) {
      for (int p = 0; p < kPhases; ++p) whole.phase[p] += chunk.phase[p];
    }
    if (whole.total() < best_whole_total) {
      best_whole = whole;
      best_whole_total = whole.total();
    }
    if (best.empty()) {
      best = times;
      continue;
    }
    for (std::size_t c = 0; c < times.size(); ++c) {
      for (int p = 0; p < kPhases; ++p)
        best[c].phase[p] = std::min(best[c].phase[p], times[c].phase[p]);
    }
  }
  close(null);
  close(saved_stdout);
  std::printf("%s (%zu bytes), best of %d runs, %zu merges\n", path.c_str(), text.size(), runs,
              merges);
  for (std::size_t c = 0; c < best.size(); ++c) {
    const std::size_t bytes = std::min(kChunkBytes, text.size() - c * kChunkBytes);
    std::printf("  chunk %zu (%zu bytes):", c + 1, bytes);
    for (int p = 0; p < kPhases; ++p) {
      if (c == 0 && p == kKnown) continue;
      std::printf(" %s %.1f ms,", kPhaseNames[p], best[c].phase[p] * 1e3);
    }
    std::printf(" total %.1f ms, %.1f MB/s\n", best[c].total() * 1e3,
                static_cast<double>(bytes) / best[c].total() * 1e-6);
  }
  std::printf("  whole file, %zu chunks (best run):", best.size());
  for (int p = 0; p < kPhases; ++p)
    std::printf(" %s %.1f ms,", kPhaseNames[p], best_whole.phase[p] * 1e3);
  std::printf(" total %.1f ms, %.1f MB/s\n", best_whole_total * 1e3,
              static_cast<double>(text.size()) / best_whole_total * 1e-6);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) files.emplace_back(argv[i]);
  if (files.empty()) {
    std::string root = __FILE__;
    root.resize(root.size() - std::string_view("bench/train_bench.cpp").size());
    files = {root + "build/bench-corpus/english.txt", root + "build/bench-corpus/full.txt"};
  }
  std::vector<std::string> texts;
  for (const std::string& path : files) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    texts.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  // Saves go to a scratch directory, not the working one.
  char scratch[] = "/tmp/train_bench.XXXXXX";
  if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) {
    std::perror("scratch directory");
    return 1;
  }
  for (std::size_t i = 0; i < files.size(); ++i) bench_file(files[i], texts[i], runs);
  std::remove("tokenizer");
  rmdir(scratch);
  return 0;
}
