// The encoder on a fixed model that training built (letters, a few
// multi-byte clusters, merges learned from a sample text), on arbitrary
// text. The fast encoder must agree with the plain one, every id must be in
// the vocabulary, and decoding must give back the text with its unknown
// clusters left out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "fuzz_check.h"
#include "helpers.h"
#include "oracles.h"
#include "train/chunk_tokens.h"
#include "train/merge_passes.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace {

using velkor::Model;
using velkor::TokenId;

Model trained_model() {
  Model model = velkor::starter_model();
  std::string sample;
  for (int i = 0; i < 40; ++i) {
    sample += "the cat sat on the mat; ";
    sample += "caf\xC3\xA9 cafe\xCC\x81 \xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\r\n";
    sample += "\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7 aaaa bbb abab ";
  }
  std::vector<TokenId> ids = velkor::chunk_to_ids(model, sample);
  velkor::PassOutput quiet{[](std::string_view) {}, [](std::string_view) {}};
  velkor::merge_learning_pass(model, std::move(ids), quiet, {});
  return model;
}

const Model& model() {
  static const Model trained = trained_model();
  return trained;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Model& m = model();

  // What the binding passes in: valid UTF-8.
  const std::string text = velkor::decode_utf8_lossy(bytes);
  const std::vector<TokenId> ids = velkor::encode(m, text);
  FUZZ_CHECK(ids == velkor::encode_reference(m, text));
  std::string known;
  std::size_t clusters = 0;
  velkor::for_each_grapheme(text, [&](std::string_view cluster) {
    ++clusters;
    if (m.unicode_lookup.count(std::string(cluster)) != 0) known += cluster;
  });
  FUZZ_CHECK(ids.size() <= clusters);
  FUZZ_CHECK(ids.empty() == (clusters == 0));
  for (TokenId id : ids) FUZZ_CHECK(m.lookup.contains(id));
  FUZZ_CHECK(velkor::decode(m, ids) == known);
  const std::vector<TokenId> complete = velkor::encode(m, text, velkor::Encoding::kComplete);
  FUZZ_CHECK(complete == velkor::encode_complete_reference(m, text));
  // An encoder kept across inputs, as a batch keeps one across texts.
  static velkor::Encoder encoder(m);
  FUZZ_CHECK(encoder.encode(text, velkor::Encoding::kComplete) == complete);
  // Not always fewer ids than the standard encoding: the two break ties
  // apart, so on "abaathe" the complete one takes "at" (the smallest merged
  // id) where the standard one took "aa" and then "th", and ends one longer.
  FUZZ_CHECK(velkor::decode(m, complete) == known);

  // Raw bytes too: the segmenter takes ill-formed input a byte at a time.
  FUZZ_CHECK(velkor::encode(m, bytes) == velkor::encode_reference(m, bytes));
  FUZZ_CHECK(velkor::encode(m, bytes, velkor::Encoding::kComplete) ==
             velkor::encode_complete_reference(m, bytes));
  return 0;
}
