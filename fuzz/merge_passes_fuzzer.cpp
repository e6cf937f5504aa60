// The pair index and the merge passes built on it, against their plain
// forms (count_occur, replace_pair and the passes that recount everything)
// on short id sequences. The input gives an alphabet, stray merges for the
// model, the sequence (run-length coded) and a program of index operations,
// which runs on the index the passes used, reused.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/pair_index.h"
#include "fuzz_check.h"
#include "helpers.h"
#include "oracles.h"
#include "train/merge_passes.h"

namespace {

using velkor::BestPair;
using velkor::Counts;
using velkor::Ids;
using velkor::lookup_of;
using velkor::merges_of;
using velkor::Model;
using velkor::PairIndex;
using velkor::PairIndexProbe;
using velkor::Recorder;
using velkor::sorted;
using velkor::TokenId;
using velkor::TokenPair;

constexpr std::size_t kMaxIds = 800;
constexpr int kMaxSteps = 48;

std::optional<BestPair> plain_best(const Counts& counts, const std::vector<TokenPair>& skip) {
  std::optional<BestPair> best;
  for (const auto& [key, count] : counts) {
    const TokenPair pair{key.first, key.second};
    if (std::find(skip.begin(), skip.end(), pair) != skip.end()) continue;
    if (!best || velkor::ranks_above(pair, count, *best)) best = BestPair{pair, count};
  }
  return best;
}

template <class Index>
void expect_same(Index& index, const Ids& ids, const std::vector<TokenPair>& skip) {
  FUZZ_CHECK(index.size() == ids.size());
  FUZZ_CHECK(index.sequence() == ids);
  const Counts counts = sorted(velkor::count_occur(ids));
  FUZZ_CHECK(sorted(PairIndexProbe::counts(index)) == counts);
  const std::optional<BestPair> best = index.best();
  const std::optional<BestPair> expected = plain_best(counts, skip);
  FUZZ_CHECK(best.has_value() == expected.has_value());
  if (best) {
    FUZZ_CHECK(best->pair == expected->pair);
    FUZZ_CHECK(best->count == expected->count);
  }
}

// index must hold ids.
void run_index_program(PairIndex& index, FuzzedDataProvider& in, Ids ids, TokenId next_id) {
  std::vector<TokenPair> skip;
  expect_same(index, ids, skip);
  for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    std::optional<TokenPair> pair;
    TokenId merged = next_id;
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0:  // the best pair into a new id, as the passes do
        if (auto best = index.best()) pair = best->pair;
        ++next_id;
        break;
      case 1:  // any pair, occurring or not, into a new id
        pair = TokenPair{in.ConsumeIntegralInRange<TokenId>(0, next_id),
                         in.ConsumeIntegralInRange<TokenId>(0, next_id)};
        ++next_id;
        break;
      case 2:  // an occurring pair into an id already in use
        if (ids.size() >= 2) {
          const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, ids.size() - 2);
          pair = TokenPair{ids[at], ids[at + 1]};
          merged = in.ConsumeIntegralInRange<TokenId>(0, next_id - 1);
        }
        break;
      case 3:
        if (auto best = index.best()) {
          skip.push_back(best->pair);
          index.exclude(best->pair);
        }
        break;
      default:
        skip.clear();
        index.clear_exclusions();
    }
    if (pair) {
      const Ids rewritten = velkor::replace_pair(ids, *pair, merged);
      FUZZ_CHECK(index.merge(*pair, merged) == ids.size() - rewritten.size());
      ids = rewritten;
      const Counts recounted = sorted(velkor::count_occur(ids));
      const auto found = recounted.find({pair->left, pair->right});
      FUZZ_CHECK(PairIndexProbe::count(index, *pair) ==
                 (found == recounted.end() ? 0 : found->second));
    }
    expect_same(index, ids, skip);
  }
}

// Both passes, plain and fast, each on its own copy of the model; index
// is started over on ids.
void run_passes(const Model& start, const Ids& ids, PairIndex& index) {
  Model plain_model = start;
  Model fast_model = start;
  Recorder plain_out;
  Recorder fast_out;
  index.assign(ids);
  Ids plain = velkor::known_merge_pass(plain_model, ids, plain_out.output(), {});
  velkor::known_merge_pass(fast_model, index, fast_out.output(), {});
  FUZZ_CHECK(index.sequence() == plain);
  FUZZ_CHECK(fast_out.console == plain_out.console);
  plain = velkor::merge_learning_pass(plain_model, std::move(plain), plain_out.output(), {});
  velkor::merge_learning_pass(fast_model, index, fast_out.output(), {});
  FUZZ_CHECK(index.sequence() == plain);
  FUZZ_CHECK(fast_out.console == plain_out.console);
  FUZZ_CHECK(fast_out.log == plain_out.log);
  FUZZ_CHECK(merges_of(fast_model) == merges_of(plain_model));
  FUZZ_CHECK(lookup_of(fast_model) == lookup_of(plain_model));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const TokenId alphabet = in.ConsumeIntegralInRange<TokenId>(2, 9);

  // Letters 1..alphabet, 0 the empty "oov" token; ids stay dense so every
  // learned merge gets a fresh id.
  Model model;
  model.lookup.emplace(0, "");
  for (TokenId id = 1; id <= alphabet; ++id) {
    model.lookup.emplace(id, std::string(1, static_cast<char>('a' + id - 1)));
  }
  // Stray merges, as a loaded file may hold: onto fresh ids or ids in use.
  const int strays = in.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < strays; ++i) {
    const TokenPair pair{in.ConsumeIntegralInRange<TokenId>(1, alphabet),
                         in.ConsumeIntegralInRange<TokenId>(1, alphabet)};
    TokenId merged;
    if (in.ConsumeBool()) {
      merged = in.ConsumeIntegralInRange<TokenId>(1, alphabet);
    } else {
      merged = static_cast<TokenId>(model.lookup.size());
      const std::string bytes = model.lookup.at(pair.left) + model.lookup.at(pair.right);
      model.lookup.emplace(merged, bytes);
    }
    model.merges.insert_or_assign(pair, merged);
  }

  // The sequence: each byte an id and a run length (mostly 1).
  Ids ids;
  const std::size_t runs = in.ConsumeIntegralInRange<std::size_t>(0, kMaxIds);
  for (std::size_t i = 0; i < runs && ids.size() < kMaxIds && in.remaining_bytes() > 0; ++i) {
    const auto b = in.ConsumeIntegral<std::uint8_t>();
    const TokenId id = static_cast<TokenId>(1 + (b & 0x0F) % alphabet);
    const std::size_t repeat = (b >> 4) < 12 ? 1 : std::size_t{1} << ((b >> 4) - 10);
    ids.insert(ids.end(), std::min(repeat, kMaxIds - ids.size()), id);
  }

  // One index through everything, as a trainer reuses it chunk after
  // chunk: whatever the passes left in it must not leak into the next use.
  PairIndex index;
  run_passes(model, ids, index);
  const std::vector<std::uint8_t> program = in.ConsumeRemainingBytes<std::uint8_t>();
  const auto next_id = static_cast<TokenId>(model.lookup.size());
  index.assign(ids);
  FuzzedDataProvider index_program(program.data(), program.size());
  run_index_program(index, index_program, ids, next_id);
  return 0;
}
