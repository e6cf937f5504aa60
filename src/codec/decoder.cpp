#include "codec/decoder.h"

#include <cstring>
#include <memory>
#include <vector>

#include "support/failure.h"
#include "unicode/utf8.h"

namespace velkor {
namespace {

// Past this many ids a table by id replaces the repeated hash lookups: each
// distinct id is looked up once, and its slot is found by index after that.
constexpr std::size_t kTableThreshold = 2048;
constexpr std::size_t kIdSpace = 65536;
// Short tokens are copied as one fixed block of this many bytes.
constexpr std::size_t kBlock = 16;

// Whether kBlock bytes may be read from the start of s. Every string has
// room for capacity() characters and the terminator; libstdc++'s smallest
// buffer is the 16-byte one inside the object.
bool block_readable(const std::string& s) { return s.capacity() + 1 >= kBlock; }

const std::string& bytes_of(const Model& model, TokenId id) {
  auto found = model.lookup.find(id);
  if (found == model.lookup.end()) fail("This should not happend");
  return found->second;
}

// Appends the pieces into a buffer of exactly their total size, plus kBlock
// bytes of slack so that short pieces can be copied as whole blocks.
template <class Pieces>
std::string join(const Pieces& pieces, std::size_t count, std::size_t total) {
  std::string out;
  out.resize(total + kBlock);
  char* at = out.data();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& piece = pieces(i);
    const std::size_t size = piece.size();
    if (size <= kBlock && block_readable(piece)) {
      std::memcpy(at, piece.data(), kBlock);
    } else {
      std::memcpy(at, piece.data(), size);
    }
    at += size;
  }
  out.resize(total);
  return out;
}

}  // namespace

std::string decode(const Model& model, std::span<const TokenId> ids) {
  std::string bytes;
  if (ids.size() < kTableThreshold) {
    std::vector<const std::string*> pieces(ids.size());
    std::size_t total = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      pieces[i] = &bytes_of(model, ids[i]);
      total += pieces[i]->size();
    }
    bytes =
        join([&](std::size_t i) -> const std::string& { return *pieces[i]; }, ids.size(), total);
  } else {
    // First pass: the ids in order (so the first unknown one fails), each
    // distinct one looked up once, and the exact size of the joined bytes.
    auto by_id = std::make_unique<const std::string*[]>(kIdSpace);
    std::size_t total = 0;
    bool pieces_well_formed = true;
    for (TokenId id : ids) {
      const std::string*& piece = by_id[id];
      if (piece == nullptr) {
        piece = &bytes_of(model, id);
        pieces_well_formed = pieces_well_formed && !check_utf8(*piece);
      }
      total += piece->size();
    }
    bytes = join([&](std::size_t i) -> const std::string& { return *by_id[ids[i]]; }, ids.size(),
                 total);
    // Well-formed pieces join into well-formed bytes.
    if (pieces_well_formed) return bytes;
  }
  // Once over the joined bytes: a character split across two tokens comes
  // out whole. Well-formed bytes (the usual case) are returned as they are.
  if (!check_utf8(bytes)) return bytes;
  return decode_utf8_lossy(bytes);
}

}  // namespace velkor
