// Large arrays on 2 MiB boundaries with transparent huge pages asked for:
// hash tables and the pair index are touched at scattered places, and with
// small pages nearly every such touch would also miss the TLB.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace velkor {

// Memory for bytes (huge-page aligned from 2 MiB on) that std::free gives
// back; throws bad_alloc.
void* allocate_huge(std::size_t bytes);

// Hands the whole pages within [begin, begin + bytes) back to the system;
// they read as zeros when touched again.
void release_pages(void* begin, std::size_t bytes) noexcept;

// release_pages() for a vector's room from element keep to its capacity;
// any elements there read as zeros afterwards.
template <class Vector>
void release_beyond(Vector& vector, std::size_t keep) noexcept {
  keep = std::min(keep, vector.capacity());
  release_pages(vector.data() + keep, (vector.capacity() - keep) * sizeof(*vector.data()));
}

template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}
  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_huge(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }
  // A vector's resize() default-initialises: the elements get written right
  // after.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(HugePageAllocator, HugePageAllocator) { return true; }
};

}  // namespace velkor
