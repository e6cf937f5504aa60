// Hash maps whose hash function is keyed with a secret drawn at random for
// every map, so iteration order is never something to rely on and crafted
// keys cannot force collisions.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace velkor {

// A fresh 128-bit secret, different for every call.
struct HashSecret {
  std::uint64_t k0;
  std::uint64_t k1;
  static HashSecret draw();
};

// SipHash-1-3 of the bytes under the secret.
std::uint64_t siphash13(const HashSecret& secret, const void* data, std::size_t size);

// Keyed mix of a 64-bit integer (for id and pair keys).
inline std::uint64_t keyed_mix(const HashSecret& secret, std::uint64_t x) {
  x ^= secret.k0;
  x *= 0x9E3779B97F4A7C15ull;
  x ^= x >> 32;
  x ^= secret.k1;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 32;
  return x;
}

template <class Key>
struct KeyedHash;

template <>
struct KeyedHash<std::uint16_t> {
  HashSecret secret = HashSecret::draw();
  std::size_t operator()(std::uint16_t key) const { return keyed_mix(secret, key); }
};

template <>
struct KeyedHash<std::string> {
  using is_transparent = void;
  HashSecret secret = HashSecret::draw();
  std::size_t operator()(std::string_view key) const {
    return siphash13(secret, key.data(), key.size());
  }
};

// String keys compare transparently, so a string_view probes without a copy.
template <class Key>
struct KeyEqual {
  using type = std::equal_to<Key>;
};
template <>
struct KeyEqual<std::string> {
  using type = std::equal_to<>;
};

namespace hash_map_detail {

// Table memory. Large tables are aligned to huge pages and ask the kernel
// for them: entries land at random places, so 4 KiB pages would mean a fault
// and a TLB miss for almost every first touch.
void* allocate_table(std::size_t bytes);
void free_table(void* table, std::size_t bytes) noexcept;

// One control byte per slot: a full slot holds the low 7 bits of its key's
// hash, the others have the high bit set.
inline constexpr std::int8_t kEmpty = -128;   // 0b10000000
inline constexpr std::int8_t kDeleted = -2;   // 0b11111110
inline constexpr std::int8_t kSentinel = -1;  // 0b11111111, after the last slot
inline constexpr std::size_t kGroupWidth = 8;

// Eight control bytes examined at once; a match mask has the high bit set in
// every byte that matches, lowest slot in the lowest byte.
class Group {
 public:
  explicit Group(const std::int8_t* ctrl) {
    std::memcpy(&word_, ctrl, sizeof word_);
    if constexpr (std::endian::native == std::endian::big) word_ = __builtin_bswap64(word_);
  }
  // Full slots whose stored bits equal h2. A borrow can flag a further full
  // slot falsely; callers compare keys anyway. Empty and deleted bytes never
  // match, as their high bit is set.
  std::uint64_t match(std::uint8_t h2) const {
    const std::uint64_t x = word_ ^ (kLsbs * h2);
    return (x - kLsbs) & ~x & kMsbs;
  }
  std::uint64_t match_empty() const { return word_ & ~(word_ << 6) & kMsbs; }
  std::uint64_t match_free() const { return word_ & ~(word_ << 7) & kMsbs; }

  static std::size_t lowest(std::uint64_t mask) {
    return static_cast<std::size_t>(std::countr_zero(mask)) >> 3;
  }

 private:
  static constexpr std::uint64_t kLsbs = 0x0101010101010101ull;
  static constexpr std::uint64_t kMsbs = 0x8080808080808080ull;
  std::uint64_t word_;
};

// The control bytes of a map without a table: just the sentinel.
inline constexpr std::int8_t kEmptyTableCtrl[1] = {kSentinel};

template <class Hash, class Equal>
concept Transparent = requires {
  typename Hash::is_transparent;
  typename Equal::is_transparent;
};

}  // namespace hash_map_detail

// Open addressing over groups of eight slots, probed in triangular steps,
// with a control byte per slot (the layout of Abseil's Swiss tables, with
// portable 64-bit group matching). At most 7/8 of the slots are in use.
//
// Unlike std::unordered_map, inserting may move every entry: references and
// iterators are valid only until the next insertion or rehash. Erasing keeps
// the others valid.
template <class Key, class Value, class Hash = KeyedHash<Key>,
          class Equal = typename KeyEqual<Key>::type>
class HashMap {
  static constexpr bool kTransparent = hash_map_detail::Transparent<Hash, Equal>;

 public:
  using key_type = Key;
  using mapped_type = Value;
  using value_type = std::pair<const Key, Value>;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using hasher = Hash;
  using key_equal = Equal;
  using reference = value_type&;
  using const_reference = const value_type&;

  static_assert(std::is_nothrow_move_constructible_v<Key> &&
                    std::is_nothrow_move_constructible_v<Value>,
                "entries are moved when the table grows");
  static_assert(alignof(value_type) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

  template <bool Const>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = HashMap::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = std::conditional_t<Const, const value_type&, value_type&>;
    using pointer = std::conditional_t<Const, const value_type*, value_type*>;

    Iterator() = default;
    // A mutable iterator converts to a const one.
    template <bool OtherConst>
    requires(Const && !OtherConst) Iterator(const Iterator<OtherConst>& other)
        : ctrl_(other.ctrl_), slot_(other.slot_) {}

    reference operator*() const { return *slot_; }
    pointer operator->() const { return slot_; }
    Iterator& operator++() {
      ++ctrl_;
      ++slot_;
      skip_free();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.ctrl_ == b.ctrl_; }

   private:
    friend class HashMap;
    template <bool>
    friend class Iterator;
    Iterator(const std::int8_t* ctrl, pointer slot) : ctrl_(ctrl), slot_(slot) {}
    // Stops at a full slot or at the sentinel.
    void skip_free() {
      while (*ctrl_ < hash_map_detail::kSentinel) {
        ++ctrl_;
        ++slot_;
      }
    }

    const std::int8_t* ctrl_ = nullptr;
    pointer slot_ = nullptr;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  HashMap() = default;
  explicit HashMap(size_type capacity_hint) { reserve(capacity_hint); }
  template <std::input_iterator InputIt>
  HashMap(InputIt first, InputIt last) {
    insert(first, last);
  }
  HashMap(std::initializer_list<value_type> entries) { insert(entries.begin(), entries.end()); }

  HashMap(const HashMap& other) : hash_(other.hash_), equal_(other.equal_) { copy_table(other); }
  HashMap(HashMap&& other) noexcept : hash_(other.hash_), equal_(other.equal_) {
    take_table(other);
  }
  HashMap& operator=(const HashMap& other) {
    if (this != &other) {
      HashMap copy(other);
      swap(copy);
    }
    return *this;
  }
  HashMap& operator=(HashMap&& other) noexcept {
    if (this != &other) {
      destroy_table();
      hash_ = other.hash_;
      equal_ = other.equal_;
      take_table(other);
    }
    return *this;
  }
  HashMap& operator=(std::initializer_list<value_type> entries) {
    clear();
    insert(entries.begin(), entries.end());
    return *this;
  }
  ~HashMap() { destroy_table(); }

  void swap(HashMap& other) noexcept {
    using std::swap;
    swap(hash_, other.hash_);
    swap(equal_, other.equal_);
    swap(ctrl_, other.ctrl_);
    swap(slots_, other.slots_);
    swap(capacity_, other.capacity_);
    swap(size_, other.size_);
    swap(growth_left_, other.growth_left_);
  }

  // --- Iteration: table order, which the keyed hash makes random per map.

  iterator begin() { return first_full<false>(); }
  const_iterator begin() const { return first_full<true>(); }
  const_iterator cbegin() const { return begin(); }
  iterator end() { return iterator(ctrl_ + capacity_, slots_ + capacity_); }
  const_iterator end() const { return const_iterator(ctrl_ + capacity_, slots_ + capacity_); }
  const_iterator cend() const { return end(); }

  // --- Capacity.

  bool empty() const { return size_ == 0; }
  size_type size() const { return size_; }
  // Slots in the table; up to 7/8 of them hold entries before it grows.
  size_type capacity() const { return capacity_; }

  // Room for count entries in all without another rehash.
  void reserve(size_type count) {
    if (count > size_ && count - size_ > growth_left_) {
      rehash_to(capacity_for(count));
    }
  }

  void clear() noexcept {
    if (capacity_ == 0) return;
    destroy_entries();
    std::memset(ctrl_, static_cast<unsigned char>(hash_map_detail::kEmpty), capacity_);
    size_ = 0;
    growth_left_ = max_load(capacity_);
  }

  // --- Lookup.

  iterator find(const key_type& key) { return at_index<false>(find_index(key)); }
  const_iterator find(const key_type& key) const { return at_index<true>(find_index(key)); }
  template <class K>
  requires kTransparent iterator find(const K& key) { return at_index<false>(find_index(key)); }
  template <class K>
  requires kTransparent const_iterator find(const K& key)
  const { return at_index<true>(find_index(key)); }

  bool contains(const key_type& key) const { return find_index(key) != kNotFound; }
  template <class K>
  requires kTransparent bool contains(const K& key) const { return find_index(key) != kNotFound; }
  size_type count(const key_type& key) const { return contains(key) ? 1 : 0; }
  template <class K>
  requires kTransparent size_type count(const K& key)
  const { return contains(key) ? 1 : 0; }

  Value& at(const key_type& key) { return at_impl(key); }
  const Value& at(const key_type& key) const { return const_cast<HashMap*>(this)->at_impl(key); }
  template <class K>
  requires kTransparent Value& at(const K& key) { return at_impl(key); }
  template <class K>
  requires kTransparent const Value& at(const K& key) const {
    return const_cast<HashMap*>(this)->at_impl(key);
  }

  Value& operator[](const key_type& key) { return try_emplace(key).first->second; }
  Value& operator[](key_type&& key) { return try_emplace(std::move(key)).first->second; }

  // --- Insertion. An existing key keeps its entry unless the call assigns.

  template <class... Args>
  std::pair<iterator, bool> try_emplace(const key_type& key, Args&&... args) {
    return emplace_key(key, std::forward<Args>(args)...);
  }
  template <class... Args>
  std::pair<iterator, bool> try_emplace(key_type&& key, Args&&... args) {
    return emplace_key(std::move(key), std::forward<Args>(args)...);
  }

  // Probing by another type (a string_view for string keys) builds the key
  // only when it is inserted.
  template <class K, class... Args>
  requires kTransparent &&(!std::is_convertible_v<K, const key_type&>)
      std::pair<iterator, bool> try_emplace(K&& key, Args&&... args) {
    return emplace_key(std::forward<K>(key), std::forward<Args>(args)...);
  }

  template <class M>
  std::pair<iterator, bool> insert_or_assign(const key_type& key, M&& value) {
    return assign_key(key, std::forward<M>(value));
  }
  template <class M>
  std::pair<iterator, bool> insert_or_assign(key_type&& key, M&& value) {
    return assign_key(std::move(key), std::forward<M>(value));
  }

  template <class K, class M>
  requires kTransparent &&(!std::is_convertible_v<K, const key_type&>)
      std::pair<iterator, bool> insert_or_assign(K&& key, M&& value) {
    return assign_key(std::forward<K>(key), std::forward<M>(value));
  }

  // emplace(key, value arguments...): the key is built first and probed, so
  // nothing else is constructed when it is present.
  template <class K, class... Args>
  std::pair<iterator, bool> emplace(K&& key, Args&&... args) {
    if constexpr (std::is_same_v<std::remove_cvref_t<K>, key_type>) {
      return emplace_key(std::forward<K>(key), std::forward<Args>(args)...);
    } else {
      return emplace_key(key_type(std::forward<K>(key)), std::forward<Args>(args)...);
    }
  }

  std::pair<iterator, bool> insert(const value_type& entry) {
    return emplace_key(entry.first, entry.second);
  }
  std::pair<iterator, bool> insert(value_type&& entry) {
    return emplace_key(entry.first, std::move(entry.second));
  }
  template <class P>
  requires std::is_constructible_v<value_type, P&&> std::pair<iterator, bool> insert(P&& entry) {
    return emplace_key(key_type(std::forward<P>(entry).first), std::forward<P>(entry).second);
  }
  template <std::input_iterator InputIt>
  void insert(InputIt first, InputIt last) {
    if constexpr (std::forward_iterator<InputIt>) {
      reserve(size_ + static_cast<size_type>(std::distance(first, last)));
    }
    for (; first != last; ++first) insert(*first);
  }
  void insert(std::initializer_list<value_type> entries) { insert(entries.begin(), entries.end()); }

  // --- Erasure.

  iterator erase(const_iterator position) {
    const auto index = static_cast<size_type>(position.ctrl_ - ctrl_);
    erase_index(index);
    iterator next(ctrl_ + index, slots_ + index);
    next.skip_free();
    return next;
  }
  iterator erase(iterator position) { return erase(const_iterator(position)); }
  size_type erase(const key_type& key) {
    const size_type index = find_index(key);
    if (index == kNotFound) return 0;
    erase_index(index);
    return 1;
  }
  template <class K>
  requires kTransparent &&
      (!std::is_convertible_v<K, const_iterator>)&&(!std::is_convertible_v<K, iterator>)size_type
      erase(const K& key) {
    const size_type index = find_index(key);
    if (index == kNotFound) return 0;
    erase_index(index);
    return 1;
  }

  hasher hash_function() const { return hash_; }
  key_equal key_eq() const { return equal_; }

 private:
  using Group = hash_map_detail::Group;
  static constexpr size_type kNotFound = ~size_type{0};
  static constexpr size_type kWidth = hash_map_detail::kGroupWidth;

  static size_type max_load(size_type capacity) { return capacity - capacity / 8; }
  static size_type capacity_for(size_type count) {
    size_type capacity = kWidth;
    while (max_load(capacity) < count) capacity *= 2;
    return capacity;
  }
  static std::uint8_t h2_of(std::size_t hash) { return static_cast<std::uint8_t>(hash & 0x7F); }
  size_type first_group(std::size_t hash) const { return (hash >> 7) & (capacity_ / kWidth - 1); }
  size_type next_group(size_type group, size_type step) const {
    return (group + step) & (capacity_ / kWidth - 1);
  }

  template <class K>
  size_type find_index(const K& key) const {
    if (size_ == 0) return kNotFound;
    const std::size_t hash = hash_(key);
    const std::uint8_t h2 = h2_of(hash);
    size_type group = first_group(hash);
    for (size_type step = 1;; ++step) {
      const size_type base = group * kWidth;
      const Group g(ctrl_ + base);
      for (std::uint64_t m = g.match(h2); m != 0; m &= m - 1) {
        const size_type index = base + Group::lowest(m);
        if (equal_(slots_[index].first, key)) return index;
      }
      if (g.match_empty() != 0) return kNotFound;
      group = next_group(group, step);
    }
  }

  // The slot holding key, or the first free slot of its probe sequence (not
  // yet marked); found tells which.
  struct Probe {
    size_type index;
    bool found;
  };
  template <class K>
  Probe find_or_free(const K& key, std::size_t hash) const {
    const std::uint8_t h2 = h2_of(hash);
    size_type group = first_group(hash);
    size_type free = kNotFound;
    for (size_type step = 1;; ++step) {
      const size_type base = group * kWidth;
      const Group g(ctrl_ + base);
      for (std::uint64_t m = g.match(h2); m != 0; m &= m - 1) {
        const size_type index = base + Group::lowest(m);
        if (equal_(slots_[index].first, key)) return {index, true};
      }
      if (free == kNotFound) {
        if (const std::uint64_t m = g.match_free(); m != 0) free = base + Group::lowest(m);
      }
      if (g.match_empty() != 0) return {free, false};
      group = next_group(group, step);
    }
  }

  size_type first_free(std::size_t hash) const {
    size_type group = first_group(hash);
    for (size_type step = 1;; ++step) {
      const size_type base = group * kWidth;
      if (const std::uint64_t m = Group(ctrl_ + base).match_free(); m != 0) {
        return base + Group::lowest(m);
      }
      group = next_group(group, step);
    }
  }

  // The slot for a new entry with this hash, growing the table when the
  // slot would use up an empty one beyond the load limit.
  size_type slot_for_new(size_type free, std::size_t hash) {
    if (capacity_ == 0 || (ctrl_[free] == hash_map_detail::kEmpty && growth_left_ == 0)) {
      rehash_to(capacity_for(size_ + 1));
      free = first_free(hash);
    }
    return free;
  }

  void mark_full(size_type index, std::size_t hash) {
    if (ctrl_[index] == hash_map_detail::kEmpty) --growth_left_;
    ctrl_[index] = static_cast<std::int8_t>(h2_of(hash));
    ++size_;
  }

  template <class K, class... Args>
  std::pair<iterator, bool> emplace_key(K&& key, Args&&... args) {
    const std::size_t hash = hash_(key);
    size_type index = kNotFound;
    if (capacity_ != 0) {
      const Probe probe = find_or_free(key, hash);
      if (probe.found) return {at_index<false>(probe.index), false};
      index = probe.index;
    }
    index = slot_for_new(index, hash);
    // Built before the slot is marked, so a throwing constructor leaves the
    // map as it was.
    ::new (static_cast<void*>(slots_ + index))
        value_type(std::piecewise_construct, std::forward_as_tuple(std::forward<K>(key)),
                   std::forward_as_tuple(std::forward<Args>(args)...));
    mark_full(index, hash);
    return {at_index<false>(index), true};
  }

  template <class K, class M>
  std::pair<iterator, bool> assign_key(K&& key, M&& value) {
    const std::size_t hash = hash_(key);
    size_type index = kNotFound;
    if (capacity_ != 0) {
      const Probe probe = find_or_free(key, hash);
      if (probe.found) {
        slots_[probe.index].second = std::forward<M>(value);
        return {at_index<false>(probe.index), false};
      }
      index = probe.index;
    }
    index = slot_for_new(index, hash);
    ::new (static_cast<void*>(slots_ + index))
        value_type(std::forward<K>(key), std::forward<M>(value));
    mark_full(index, hash);
    return {at_index<false>(index), true};
  }

  template <class K>
  Value& at_impl(const K& key) {
    const size_type index = find_index(key);
    if (index == kNotFound) throw std::out_of_range("HashMap::at: key not found");
    return slots_[index].second;
  }

  void erase_index(size_type index) {
    slots_[index].~value_type();
    --size_;
    // A group that still has an empty slot never sent a probe onwards, so
    // the slot can become empty again; otherwise it stays a tombstone.
    const size_type base = index / kWidth * kWidth;
    if (Group(ctrl_ + base).match_empty() != 0) {
      ctrl_[index] = hash_map_detail::kEmpty;
      ++growth_left_;
    } else {
      ctrl_[index] = hash_map_detail::kDeleted;
    }
  }

  template <bool Const>
  Iterator<Const> at_index(size_type index) const {
    if (index == kNotFound) return Iterator<Const>(ctrl_ + capacity_, slots_ + capacity_);
    return Iterator<Const>(ctrl_ + index, slots_ + index);
  }

  template <bool Const>
  Iterator<Const> first_full() const {
    Iterator<Const> it(ctrl_, slots_);
    it.skip_free();
    return it;
  }

  // Slots first, then a control byte per slot and the sentinel.
  static std::size_t table_bytes(size_type capacity) {
    return capacity * sizeof(value_type) + capacity + 1;
  }
  void allocate(size_type capacity) {
    auto* memory = static_cast<std::byte*>(hash_map_detail::allocate_table(table_bytes(capacity)));
    slots_ = reinterpret_cast<value_type*>(memory);
    ctrl_ = reinterpret_cast<std::int8_t*>(memory + capacity * sizeof(value_type));
    std::memset(ctrl_, static_cast<unsigned char>(hash_map_detail::kEmpty), capacity);
    ctrl_[capacity] = hash_map_detail::kSentinel;
    capacity_ = capacity;
    growth_left_ = max_load(capacity);
  }
  void deallocate() {
    if (capacity_ != 0) hash_map_detail::free_table(slots_, table_bytes(capacity_));
  }

  void rehash_to(size_type capacity) {
    std::int8_t* old_ctrl = ctrl_;
    value_type* old_slots = slots_;
    const size_type old_capacity = capacity_;
    allocate(capacity);  // may throw; the old table is still in place
    growth_left_ -= size_;
    for (size_type i = 0; i < old_capacity; ++i) {
      if (old_ctrl[i] < 0) continue;
      value_type& entry = old_slots[i];
      const std::size_t hash = hash_(entry.first);
      const size_type index = first_free(hash);
      // The key is moved out of its const slot, which is destroyed next.
      ::new (static_cast<void*>(slots_ + index))
          value_type(std::move(const_cast<Key&>(entry.first)), std::move(entry.second));
      entry.~value_type();
      ctrl_[index] = static_cast<std::int8_t>(h2_of(hash));
    }
    if (old_capacity != 0) hash_map_detail::free_table(old_slots, table_bytes(old_capacity));
  }

  void destroy_entries() noexcept {
    if constexpr (!std::is_trivially_destructible_v<value_type>) {
      for (size_type i = 0; i < capacity_; ++i) {
        if (ctrl_[i] >= 0) slots_[i].~value_type();
      }
    }
  }
  void destroy_table() noexcept {
    destroy_entries();
    deallocate();
    reset();
  }
  void reset() noexcept {
    ctrl_ = const_cast<std::int8_t*>(hash_map_detail::kEmptyTableCtrl);
    slots_ = nullptr;
    capacity_ = 0;
    size_ = 0;
    growth_left_ = 0;
  }
  void take_table(HashMap& other) noexcept {
    ctrl_ = other.ctrl_;
    slots_ = other.slots_;
    capacity_ = other.capacity_;
    size_ = other.size_;
    growth_left_ = other.growth_left_;
    other.reset();
  }
  // Same hash, so the same layout: the control bytes are copied as they are
  // and every entry is copied into its own slot.
  void copy_table(const HashMap& other) {
    if (other.size_ == 0) return;
    allocate(other.capacity_);
    std::memcpy(ctrl_, other.ctrl_, capacity_);
    size_type i = 0;
    try {
      for (; i < capacity_; ++i) {
        if (ctrl_[i] >= 0) ::new (static_cast<void*>(slots_ + i)) value_type(other.slots_[i]);
      }
    } catch (...) {
      for (size_type j = 0; j < i; ++j) {
        if (ctrl_[j] >= 0) slots_[j].~value_type();
      }
      deallocate();
      reset();
      throw;
    }
    size_ = other.size_;
    growth_left_ = other.growth_left_;
  }

  [[no_unique_address]] Hash hash_;
  [[no_unique_address]] Equal equal_;
  std::int8_t* ctrl_ = const_cast<std::int8_t*>(hash_map_detail::kEmptyTableCtrl);
  value_type* slots_ = nullptr;
  size_type capacity_ = 0;
  size_type size_ = 0;
  size_type growth_left_ = 0;
};

}  // namespace velkor
