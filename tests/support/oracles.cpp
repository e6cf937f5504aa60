#include "oracles.h"

#include <algorithm>
#include <optional>

#include "train/chunk_tokens.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace velkor {

PairCounts count_occur(std::span<const TokenId> ids) {
  PairCounts counts;
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
    ++counts[TokenPair{ids[i], ids[i + 1]}];
  }
  return counts;
}

BestPair best_pair(const PairCounts& counts) {
  BestPair best{{0, 0}, 0};
  bool first = true;
  for (const auto& [pair, count] : counts) {
    if (first || ranks_above(pair, count, best)) {
      best = {pair, count};
      first = false;
    }
  }
  return best;
}

std::vector<TokenId> replace_pair(std::span<const TokenId> ids, TokenPair pair, TokenId merged) {
  std::vector<TokenId> out;
  std::size_t i = 0;
  while (i < ids.size()) {
    if (i + 1 < ids.size() && ids[i] == pair.left && ids[i + 1] == pair.right) {
      out.push_back(merged);
      i += 2;
    } else {
      out.push_back(ids[i]);
      i += 1;
    }
  }
  return out;
}

namespace {

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
    const TokenId merged = model.add_merge(best.pair);
    const std::string record = merge_record(merged, best.pair, best.count, loop);
    if (out.log) out.log(record);
    ids = replace_pair(ids, best.pair, merged);
    out.console(record);
  }
  return ids;
}

namespace {

// One id per cluster, "oov"'s for a cluster the model lacks.
std::vector<TokenId> initial_ids_reference(const Model& model, std::string_view text) {
  std::vector<TokenId> ids;
  for_each_grapheme(text, [&](std::string_view cluster) {
    auto found = model.unicode_lookup.find(cluster);
    ids.push_back(found != model.unicode_lookup.end() ? found->second
                                                      : model.unicode_lookup.at("oov"));
  });
  return ids;
}

}  // namespace

std::vector<TokenId> encode_reference(const Model& model, std::string_view text) {
  std::vector<TokenId> ids = initial_ids_reference(model, text);
  for (;;) {
    PairCounts counts = count_occur(ids);
    if (counts.empty()) break;
    TokenPair pair = best_pair(counts).pair;
    auto merge = model.merges.find(pair);
    if (merge == model.merges.end()) break;
    ids = replace_pair(ids, pair, merge->second);
  }
  return ids;
}

std::vector<TokenId> encode_complete_reference(const Model& model, std::string_view text) {
  std::vector<TokenId> ids = initial_ids_reference(model, text);
  for (;;) {
    // The most frequent learned merge; on equal counts the smallest merged id.
    std::optional<std::pair<TokenPair, TokenId>> best;
    std::uint32_t best_count = 0;
    for (const auto& [pair, count] : count_occur(ids)) {
      auto merge = model.merges.find(pair);
      if (merge == model.merges.end()) continue;
      if (!best || count > best_count || (count == best_count && merge->second < best->second)) {
        best.emplace(pair, merge->second);
        best_count = count;
      }
    }
    if (!best) return ids;
    ids = replace_pair(ids, best->first, best->second);
  }
}

std::vector<TokenId> chunk_to_ids(Model& model, std::string_view chunk) {
  std::vector<TokenId> ids;
  for_each_grapheme(replace_markers(decode_utf8_lossy(chunk)), [&](std::string_view cluster) {
    auto found = model.unicode_lookup.find(cluster);
    ids.push_back(found != model.unicode_lookup.end() ? found->second : model.add_cluster(cluster));
  });
  return ids;
}

}  // namespace velkor
