// The tokenizer model: three maps tying ids to bytes, pairs to merged ids
// and grapheme clusters to ids, and the operations that add a token to it
// while keeping the three consistent.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memory/keyed_hash.h"

namespace velkor {

using TokenId = std::uint16_t;
inline constexpr std::size_t kIdSpace = 65536;

// An ordered pair of adjacent ids, left first.
struct TokenPair {
  TokenId left;
  TokenId right;
  friend bool operator==(TokenPair, TokenPair) = default;
};

template <>
struct KeyedHash<TokenPair> {
  using is_avalanching = void;
  HashSecret secret = HashSecret::draw();
  std::size_t operator()(TokenPair pair) const {
    return keyed_mix(secret, (std::uint64_t{pair.left} << 16) | pair.right);
  }
};

// Token id to the bytes it stands for (any bytes, not necessarily UTF-8): a
// table of all 65,536 ids, allocated at the first insertion. Iterates in id
// order, as (id, bytes) pairs.
class TokenTable {
 public:
  using Entry = std::pair<TokenId, const std::string&>;

  TokenTable() = default;
  TokenTable(std::initializer_list<std::pair<TokenId, std::string>> entries);
  TokenTable(const TokenTable& other);
  TokenTable(TokenTable&&) noexcept = default;
  TokenTable& operator=(TokenTable other) noexcept;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool contains(TokenId id) const { return slots_ && slots_[id].present; }
  // The bytes of id, or null.
  const std::string* get(TokenId id) const { return contains(id) ? &slots_[id].bytes : nullptr; }
  // The bytes of id; throws std::out_of_range when it has none.
  const std::string& at(TokenId id) const;
  // The bytes of id, inserted empty when it has none.
  std::string& operator[](TokenId id);
  // Inserts id with bytes unless it has bytes already; whether it inserted.
  bool emplace(TokenId id, std::string bytes);
  void insert_or_assign(TokenId id, std::string bytes) { (*this)[id] = std::move(bytes); }
  void erase(TokenId id) noexcept;

  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::pair<TokenId, std::string>;
    using difference_type = std::ptrdiff_t;
    using reference = Entry;
    using pointer = void;
    Entry operator*() const { return {static_cast<TokenId>(id_), table_->slots_[id_].bytes}; }
    iterator& operator++() {
      ++id_;
      skip_absent();
      return *this;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.id_ == b.id_; }

   private:
    friend class TokenTable;
    iterator(const TokenTable* table, std::size_t id) : table_(table), id_(id) { skip_absent(); }
    void skip_absent() {
      while (id_ < kIdSpace && !table_->contains(static_cast<TokenId>(id_))) ++id_;
    }
    const TokenTable* table_ = nullptr;
    std::size_t id_ = kIdSpace;
  };
  iterator begin() const { return slots_ ? iterator(this, 0) : end(); }
  iterator end() const { return iterator(this, kIdSpace); }

 private:
  struct Slot {
    std::string bytes;
    bool present = false;
  };
  std::unique_ptr<Slot[]> slots_;
  std::size_t size_ = 0;
};

struct Model {
  TokenTable lookup;
  // Adjacent pair to the id that replaces it.
  HashMap<TokenPair, TokenId> merges;
  // UTF-8 text of one grapheme cluster (or "oov") to its id.
  HashMap<std::string, TokenId> unicode_lookup;

  // A grapheme cluster the model has not met becomes a new token: its bytes
  // under a new id in lookup, the cluster with that id in unicode_lookup.
  // All or nothing: a failure leaves the model as it was.
  TokenId add_cluster(std::string_view cluster);
  // pair becomes a merge: the joined bytes under a new id in lookup, pair to
  // that id in merges. All or nothing. Fails "This should not happen" when a
  // half has no bytes.
  TokenId add_merge(TokenPair pair);
  // The id the next new token takes: the number of entries in lookup, or
  // the next id after it (wrapping around) that no map of the model uses.
  // Fails once every id is in use.
  TokenId next_free_id() const;

 private:
  // Ids that merges or unicode_lookup use while lookup lacks them (a damaged
  // file can hold such), as of the last scan. Either map changed other than
  // through the functions above has a size that differs from the one seen at
  // the scan, and is scanned again.
  mutable std::vector<bool> dangling_;
  mutable std::size_t scanned_merges_ = ~std::size_t{0};
  mutable std::size_t scanned_clusters_ = ~std::size_t{0};
};

}  // namespace velkor
