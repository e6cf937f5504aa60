// The two merge passes over a chunk's ids, held in a PairIndex that keeps
// the pair counts exact as merges rewrite it: applying merges learned
// earlier, and learning new ones.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "codec/pair_index.h"
#include "files/io.h"
#include "model/model.h"
#include "train/interrupt.h"

namespace velkor {

inline constexpr int kLearningIterations = 700;
inline constexpr std::uint32_t kMinMergeCount = 10;
inline constexpr int kMaxKnownMisses = 7;

// Where the passes report: console takes complete lines for standard output,
// log takes each merge record for the training log (empty: no log records).
using TextSink = std::function<void(std::string_view)>;
struct PassOutput {
  TextSink console;
  TextSink log;
};

// console_write for lines; when print_logs, one write_all per record on log,
// a failed write ending as "To Work: " and the error.
PassOutput standard_pass_output(bool print_logs, File& log);

// The texts the passes print, each ending with a line feed.
std::string found_line(TokenPair pair);
std::string miss_line(int failed_count);
std::string no_news_line(TokenId merged);
std::string merge_record(TokenId merged, TokenPair pair, std::uint32_t count, int loop);

// Applies learned merges to the index's sequence, most frequent pair first
// (pairs that already missed are skipped), until kMaxKnownMisses misses in a
// row or no untried pair is left. Reads the model only; leaves no pair
// excluded in the index.
void known_merge_pass(const Model& model, PairIndex& index, const PassOutput& out,
                      const InterruptCheck& check_interrupt);

// kLearningIterations iterations; each takes the most frequent pair and, when
// it occurs at least kMinMergeCount times, applies it (a learned merge) or
// learns it as a new token. Stops at the first iteration below the minimum,
// since every later one would find the same count.
void merge_learning_pass(Model& model, PairIndex& index, const PassOutput& out,
                         const InterruptCheck& check_interrupt);

}  // namespace velkor
