#include "train/merge_passes.h"

#include <optional>

#include "report/console.h"
#include "report/failure.h"
#include "report/messages.h"

namespace velkor {
namespace {

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "(" + string.
std::string pair_text(TokenPair pair) {
  std::string text = "(";
  text += std::to_string(pair.left);
  text += ", ";
  text += std::to_string(pair.right);
  text += ')';
  return text;
}

}  // namespace

PassOutput standard_pass_output(bool print_logs, File& log) {
  PassOutput out;
  out.console = [](std::string_view line) { console_write(line); };
  if (print_logs) {
    out.log = [&log](std::string_view record) {
      or_fail(messages::kToWork, [&] { log.write_all(record); });
    };
  }
  return out;
}

std::string found_line(TokenPair pair) { return messages::kFoundPrefix + pair_text(pair) + "\n"; }

std::string miss_line(int failed_count) {
  return messages::kMissPrefix + std::to_string(failed_count) + "\n";
}

std::string no_news_line(TokenId merged) {
  return messages::kNoNewsPrefix + std::to_string(merged) + "\n";
}

std::string merge_record(TokenId merged, TokenPair pair, std::uint32_t count, int loop) {
  return "Token " + std::to_string(merged) + " | Merge " + pair_text(pair) + " | " +
         std::to_string(count) + " Times | Loop " + std::to_string(loop) + "\n";
}

void known_merge_pass(const Model& model, PairIndex& index, const PassOutput& out,
                      const InterruptCheck& check_interrupt) {
  // Pairs that missed stay excluded for the rest of the pass.
  index.clear_exclusions();
  int failed_count = 0;
  for (;;) {
    if (check_interrupt) check_interrupt();
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

void merge_learning_pass(Model& model, PairIndex& index, const PassOutput& out,
                         const InterruptCheck& check_interrupt) {
  for (int loop = 0; loop < kLearningIterations; ++loop) {
    if (check_interrupt) check_interrupt();
    const std::optional<BestPair> best = index.best();
    if (!best || best->count < kMinMergeCount) break;
    if (auto merge = model.merges.find(best->pair); merge != model.merges.end()) {
      const TokenId merged = merge->second;
      out.console(no_news_line(merged));
      index.merge(best->pair, merged);
      continue;
    }
    const TokenId merged = model.add_merge(best->pair);
    const std::string record = merge_record(merged, best->pair, best->count, loop);
    if (out.log) out.log(record);
    index.merge(best->pair, merged);
    out.console(record);
  }
}

}  // namespace velkor
