#include "train/fast_merge_passes.h"

#include <optional>
#include <string>

#include "support/console.h"

namespace velkor {
namespace {

void poll(const InterruptCheck& check_interrupt) {
  if (check_interrupt) check_interrupt();
}

}  // namespace

void known_merge_pass(const Model& model, PairIndex& index, const PassOutput& out,
                      const InterruptCheck& check_interrupt) {
  // Pairs that missed stay excluded for the rest of the pass, as the plain
  // pass keeps them in its list of failed pairs.
  index.clear_exclusions();
  int failed_count = 0;
  for (;;) {
    poll(check_interrupt);
    if (index.size() < 2) break;
    const std::optional<BestPair> best = index.best();
    if (!best) break;
    if (auto merge = model.merges.find(best->pair); merge != model.merges.end()) {
      failed_count = 0;
      index.merge(best->pair, merge->second);
      out.console(found_line(best->pair));
    } else {
      index.exclude(best->pair);
      ++failed_count;
      out.console(miss_line(failed_count));
    }
    if (failed_count >= kMaxKnownMisses) break;
  }
  index.clear_exclusions();
}

void known_merge_pass(const Model& model, PairIndex& index, const InterruptCheck& check_interrupt) {
  const PassOutput console_only{[](std::string_view line) { console_write(line); }, {}};
  known_merge_pass(model, index, console_only, check_interrupt);
}

void merge_learning_pass(Model& model, PairIndex& index, const PassOutput& out,
                         const InterruptCheck& check_interrupt) {
  for (int loop = 0; loop < kLearningIterations; ++loop) {
    poll(check_interrupt);
    const std::optional<BestPair> best = index.best();
    if (!best || best->count < kMinMergeCount) break;
    if (auto merge = model.merges.find(best->pair); merge != model.merges.end()) {
      const TokenId merged = merge->second;
      out.console(no_news_line(merged));
      index.merge(best->pair, merged);
      continue;
    }
    const TokenId merged = learn_merge(model, best->pair);
    const std::string record = merge_record(merged, best->pair, best->count, loop);
    if (out.log) out.log(record);
    index.merge(best->pair, merged);
    out.console(record);
  }
}

void merge_learning_pass(Model& model, PairIndex& index, bool print_logs, File& log,
                         const InterruptCheck& check_interrupt) {
  merge_learning_pass(model, index, standard_pass_output(print_logs, log), check_interrupt);
}

}  // namespace velkor
