#include "codec/decoder.h"

#include "support/failure.h"
#include "unicode/utf8.h"

namespace velkor {

std::string decode(const Model& model, std::span<const TokenId> ids) {
  std::string bytes;
  for (TokenId id : ids) {
    auto found = model.lookup.find(id);
    if (found == model.lookup.end()) fail("This should not happend");
    bytes += found->second;
  }
  // Once over the joined bytes: a character split across two tokens comes
  // out whole.
  return decode_utf8_lossy(bytes);
}

}  // namespace velkor
