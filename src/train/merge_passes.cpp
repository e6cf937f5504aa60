#include "train/merge_passes.h"

#include <algorithm>
#include <optional>

#include "support/console.h"
#include "support/failure.h"
#include "train/new_token.h"

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

void poll(const InterruptCheck& check_interrupt) {
  if (check_interrupt) check_interrupt();
}

// best_pair over the pairs not yet tried; empty when every pair was.
std::optional<BestPair> best_untried_pair(const PairCounts& counts,
                                          const std::vector<TokenPair>& failed) {
  std::optional<BestPair> best;
  for (const auto& [pair, count] : counts) {
    if (std::find(failed.begin(), failed.end(), pair) != failed.end()) continue;
    if (!best || ranks_above(pair, count, *best)) best = BestPair{pair, count};
  }
  return best;
}

}  // namespace

PassOutput standard_pass_output(bool print_logs, File& log) {
  PassOutput out;
  out.console = [](std::string_view line) { console_write(line); };
  if (print_logs) {
    out.log = [&log](std::string_view record) {
      or_fail("To Work", [&] { log.write_all(record); });
    };
  }
  return out;
}

std::string found_line(TokenPair pair) {
  return "Found a match between the max occur with already learned | Pair is " + pair_text(pair) +
         "\n";
}

std::string miss_line(int failed_count) {
  return "Failed to find a match between the max occur with already learned | Failed Count " +
         std::to_string(failed_count) + "\n";
}

std::string no_news_line(TokenId merged) {
  return "No News Loop count is " + std::to_string(merged) + "\n";
}

std::string merge_record(TokenId merged, TokenPair pair, std::uint32_t count, int loop) {
  return "Token " + std::to_string(merged) + " | Merge " + pair_text(pair) + " | " +
         std::to_string(count) + " Times | Loop " + std::to_string(loop) + "\n";
}

TokenId learn_merge(Model& model, TokenPair pair) {
  const TokenId merged = next_token_id(model);
  // Both halves are looked up before merges is written, so a model that lacks
  // one never gains a merge whose id has no bytes.
  auto left = model.lookup.find(pair.left);
  if (left == model.lookup.end()) fail("This should not happen");
  auto right = model.lookup.find(pair.right);
  if (right == model.lookup.end()) fail("This should not happen");
  std::string bytes = left->second + right->second;
  model.merges.insert_or_assign(pair, merged);
  model.lookup.insert_or_assign(merged, std::move(bytes));
  return merged;
}

std::vector<TokenId> known_merge_pass(const Model& model, std::vector<TokenId> ids,
                                      const PassOutput& out,
                                      const InterruptCheck& check_interrupt) {
  std::vector<TokenPair> failed_pairs;
  int failed_count = 0;
  for (;;) {
    poll(check_interrupt);
    const PairCounts counts = count_occur(ids);
    if (counts.empty()) break;
    const std::optional<BestPair> best = best_untried_pair(counts, failed_pairs);
    if (!best) break;
    if (auto merge = model.merges.find(best->pair); merge != model.merges.end()) {
      failed_count = 0;
      ids = replace_pair(ids, best->pair, merge->second);
      out.console(found_line(best->pair));
    } else {
      failed_pairs.push_back(best->pair);
      ++failed_count;
      out.console(miss_line(failed_count));
    }
    if (failed_count >= kMaxKnownMisses) break;
  }
  return ids;
}

std::vector<TokenId> known_merge_pass(const Model& model, std::vector<TokenId> ids,
                                      const InterruptCheck& check_interrupt) {
  const PassOutput console_only{[](std::string_view line) { console_write(line); }, {}};
  return known_merge_pass(model, std::move(ids), console_only, check_interrupt);
}

std::vector<TokenId> merge_learning_pass(Model& model, std::vector<TokenId> ids,
                                         const PassOutput& out,
                                         const InterruptCheck& check_interrupt) {
  for (int loop = 0; loop < kLearningIterations; ++loop) {
    poll(check_interrupt);
    const PairCounts counts = count_occur(ids);
    if (counts.empty()) break;
    const BestPair best = best_pair(counts);
    if (best.count < kMinMergeCount) break;
    if (auto merge = model.merges.find(best.pair); merge != model.merges.end()) {
      const TokenId merged = merge->second;
      out.console(no_news_line(merged));
      ids = replace_pair(ids, best.pair, merged);
      continue;
    }
    const TokenId merged = learn_merge(model, best.pair);
    const std::string record = merge_record(merged, best.pair, best.count, loop);
    if (out.log) out.log(record);
    ids = replace_pair(ids, best.pair, merged);
    out.console(record);
  }
  return ids;
}

std::vector<TokenId> merge_learning_pass(Model& model, std::vector<TokenId> ids, bool print_logs,
                                         File& log, const InterruptCheck& check_interrupt) {
  return merge_learning_pass(model, std::move(ids), standard_pass_output(print_logs, log),
                             check_interrupt);
}

}  // namespace velkor
