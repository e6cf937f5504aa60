#include "model/model.h"

#include <stdexcept>

#include "report/failure.h"
#include "report/messages.h"

namespace velkor {

TokenTable::TokenTable(std::initializer_list<std::pair<TokenId, std::string>> entries) {
  for (const auto& [id, bytes] : entries) insert_or_assign(id, bytes);
}

TokenTable::TokenTable(const TokenTable& other) : size_(other.size_) {
  if (!other.slots_) return;
  slots_ = std::make_unique<Slot[]>(kIdSpace);
  for (std::size_t id = 0; id < kIdSpace; ++id) {
    if (other.slots_[id].present) slots_[id] = other.slots_[id];
  }
}

TokenTable& TokenTable::operator=(TokenTable other) noexcept {
  slots_ = std::move(other.slots_);
  size_ = other.size_;
  return *this;
}

const std::string& TokenTable::at(TokenId id) const {
  if (!contains(id)) throw std::out_of_range("no bytes for token id " + std::to_string(id));
  return slots_[id].bytes;
}

std::string& TokenTable::operator[](TokenId id) {
  if (!slots_) slots_ = std::make_unique<Slot[]>(kIdSpace);
  Slot& slot = slots_[id];
  if (!slot.present) {
    slot.present = true;
    ++size_;
  }
  return slot.bytes;
}

bool TokenTable::emplace(TokenId id, std::string bytes) {
  if (contains(id)) return false;
  (*this)[id] = std::move(bytes);
  return true;
}

void TokenTable::erase(TokenId id) noexcept {
  if (!contains(id)) return;
  slots_[id] = Slot{};
  --size_;
}

TokenId Model::next_free_id() const {
  if (scanned_merges_ != merges.size() || scanned_clusters_ != unicode_lookup.size()) {
    dangling_.assign(kIdSpace, false);
    auto note = [&](TokenId id) {
      if (!lookup.contains(id)) dangling_[id] = true;
    };
    for (const auto& [pair, id] : merges) {
      note(pair.left);
      note(pair.right);
      note(id);
    }
    for (const auto& [cluster, id] : unicode_lookup) note(id);
    scanned_merges_ = merges.size();
    scanned_clusters_ = unicode_lookup.size();
  }
  const std::size_t start = lookup.size() % kIdSpace;
  for (std::size_t k = 0; k < kIdSpace; ++k) {
    const auto id = static_cast<TokenId>((start + k) % kIdSpace);
    if (!lookup.contains(id) && !dangling_[id]) return id;
  }
  fail("Token id " + std::to_string(kIdSpace) + " does not fit: the vocabulary is full");
}

TokenId Model::add_cluster(std::string_view cluster) {
  const TokenId id = next_free_id();
  std::string bytes(cluster);
  std::string key(cluster);
  lookup[id] = std::move(bytes);  // cannot fail once the strings exist
  try {
    unicode_lookup.emplace(std::move(key), id);
  } catch (...) {
    lookup.erase(id);
    throw;
  }
  // Nothing dangles by this entry: keep the scan.
  if (scanned_clusters_ + 1 == unicode_lookup.size()) ++scanned_clusters_;
  return id;
}

TokenId Model::add_merge(TokenPair pair) {
  const TokenId id = next_free_id();
  const std::string* left = lookup.get(pair.left);
  const std::string* right = lookup.get(pair.right);
  if (left == nullptr || right == nullptr) fail(messages::kMergeHalfWithoutBytes);
  std::string bytes;
  bytes.reserve(left->size() + right->size());
  bytes.append(*left).append(*right);
  lookup[id] = std::move(bytes);  // cannot fail once the string exists
  const std::size_t before = merges.size();
  try {
    merges.insert_or_assign(pair, id);
  } catch (...) {
    lookup.erase(id);
    throw;
  }
  if (scanned_merges_ == before) scanned_merges_ = merges.size();
  return id;
}

}  // namespace velkor
