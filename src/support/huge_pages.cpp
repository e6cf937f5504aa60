#include "support/huge_pages.h"

#include <sys/mman.h>

#include <cstdlib>

namespace velkor {

void* allocate_huge(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
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

}  // namespace velkor
