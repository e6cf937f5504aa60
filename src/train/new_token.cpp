#include "train/new_token.h"

#include <string>

#include "support/failure.h"

namespace velkor {

TokenId next_token_id(const Model& model) {
  constexpr std::size_t kIdSpace = 65536;
  const std::size_t size = model.lookup.size();
  if (size >= kIdSpace) {
    fail("Token id " + std::to_string(size) + " does not fit: the vocabulary is full");
  }
  const auto id = static_cast<TokenId>(size);
  if (model.lookup.contains(id)) {
    fail("New token id " + std::to_string(id) + " is already in use");
  }
  return id;
}

}  // namespace velkor
