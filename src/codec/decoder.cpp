#include "codec/decoder.h"

#include <cstring>

#include "report/failure.h"
#include "report/messages.h"
#include "unicode/utf8.h"

namespace velkor {

std::string decode(const Model& model, std::span<const TokenId> ids) {
  // The ids in order (so the first unknown one fails), then the bytes copied
  // into a buffer of exactly their total size.
  std::size_t total = 0;
  for (TokenId id : ids) {
    const std::string* piece = model.lookup.get(id);
    if (piece == nullptr) fail(messages::kUnknownId);
    total += piece->size();
  }
  std::string bytes(total, '\0');
  char* at = bytes.data();
  for (TokenId id : ids) {
    const std::string& piece = *model.lookup.get(id);
    std::memcpy(at, piece.data(), piece.size());
    at += piece.size();
  }
  // Once over the joined bytes: a character split across two tokens comes
  // out whole. Well-formed bytes (the usual case) are returned as they are.
  if (!check_utf8(bytes)) return bytes;
  return decode_utf8_lossy(bytes);
}

}  // namespace velkor
