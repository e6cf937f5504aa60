// The tokenizer-file reader on arbitrary bytes. A refused image must carry a
// rendering; a loaded model must survive a write and a second read
// unchanged, and is then put to use: a fixed text and some of its own
// cluster keys are encoded (fast and plain encoders must agree), and its
// vocabulary ids are decoded.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "fuzz_check.h"
#include "model/tokenizer_file.h"
#include "oracles.h"
#include "unicode/grapheme.h"
#include "unicode/utf8.h"

namespace {

using velkor::Model;
using velkor::TokenId;

// Ordered copies, so maps with different hash secrets can be compared.
struct Flat {
  std::map<TokenId, std::string> lookup;
  std::map<std::pair<TokenId, TokenId>, TokenId> merges;
  std::map<std::string, TokenId> unicode_lookup;
  friend bool operator==(const Flat&, const Flat&) = default;
};

Flat flatten(const Model& model) {
  Flat flat;
  for (const auto& [id, bytes] : model.lookup) flat.lookup.emplace(id, bytes);
  for (const auto& [pair, id] : model.merges)
    flat.merges.emplace(std::pair(pair.left, pair.right), id);
  for (const auto& [text, id] : model.unicode_lookup) flat.unicode_lookup.emplace(text, id);
  return flat;
}

// encode fails without "oov" when a cluster is not a key; such texts are
// left out rather than have every run print a failure report.
bool encodable(const Model& model, std::string_view text) {
  if (model.unicode_lookup.find(std::string("oov")) != model.unicode_lookup.end()) return true;
  bool all_known = true;
  velkor::for_each_grapheme(text, [&](std::string_view cluster) {
    if (model.unicode_lookup.find(std::string(cluster)) == model.unicode_lookup.end())
      all_known = false;
  });
  return all_known;
}

void use_encoder(const Model& model, std::string_view text) {
  if (!encodable(model, text)) return;
  const std::vector<TokenId> ids = velkor::encode(model, text);
  FUZZ_CHECK(ids == velkor::encode_reference(model, text));
  std::size_t clusters = 0;
  velkor::for_each_grapheme(text, [&](std::string_view) { ++clusters; });
  FUZZ_CHECK(ids.size() <= clusters);
  FUZZ_CHECK(ids.empty() == (clusters == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  Model model;
  try {
    model = velkor::read_model(image);
  } catch (const velkor::ImageError& error) {
    FUZZ_CHECK(!error.rendering.empty());
    return 0;
  }
  for (const auto& [text, id] : model.unicode_lookup) FUZZ_CHECK(!velkor::check_utf8(text));

  const std::string written = velkor::write_model(model);
  FUZZ_CHECK(written.size() <= size);  // duplicates and trailing bytes only shrink it
  const Flat flat = flatten(model);
  FUZZ_CHECK(flatten(velkor::read_model(written)) == flat);

  use_encoder(model, "abc aab\r\n\xC3\xA9\x65\xCC\x81 \xF0\x9F\x87\xAB\xF0\x9F\x87\xB7 oov");
  std::string keys;
  int taken = 0;
  for (const auto& [text, id] : flat.unicode_lookup) {
    if (taken++ == 16) break;
    use_encoder(model, text);
    keys += text;
  }
  use_encoder(model, keys);

  // Every id of the vocabulary decodes; the result is the lossy reading of
  // the joined bytes.
  std::vector<TokenId> ids;
  std::string joined;
  for (const auto& [id, bytes] : flat.lookup) {
    ids.push_back(id);
    joined += bytes;
  }
  const std::string text = velkor::decode(model, ids);
  FUZZ_CHECK(!velkor::check_utf8(text));
  FUZZ_CHECK(text == velkor::decode_utf8_lossy(joined));
  return 0;
}
