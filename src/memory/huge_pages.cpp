#include "memory/huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace velkor {

void* allocate_huge(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  // Rounded up to whole huge pages, a size this close to the top would wrap
  // to a small one.
  if (bytes > SIZE_MAX - kHugePage) throw std::bad_alloc();
  void* memory;
  if (bytes >= kHugePage) {
    bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    memory = std::aligned_alloc(kHugePage, bytes);
    if (memory != nullptr) madvise(memory, bytes, MADV_HUGEPAGE);  // only a hint
  } else {
    memory = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void release_pages(void* begin, std::size_t bytes) noexcept {
  static const auto kPage = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t end = (start + bytes) & ~(kPage - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

}  // namespace velkor
