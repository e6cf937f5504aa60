// Placeholder bodies until the real ones land; each file that implements one
// of these removes it from here.
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/pair_count.h"
#include "model/tokenizer_file.h"
#include "support/console.h"
#include "support/failure.h"
#include "support/io.h"
#include "train/trainer.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace velkor {
std::vector<TokenId> encode(const Model&, std::string_view) { fail("encode is not available yet"); }
std::vector<TokenId> encode_reference(const Model&, std::string_view) {
  fail("encode is not available yet");
}
std::string decode(const Model&, std::span<const TokenId>) { fail("decode is not available yet"); }
PairCounts count_occur(std::span<const TokenId>) { fail("not available yet"); }
BestPair best_pair(const PairCounts&) { fail("not available yet"); }
void train(Model&, std::string_view, bool, std::string_view, const InterruptCheck&) {
  fail("train is not available yet");
}
}  // namespace velkor
