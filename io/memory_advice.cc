#include "io/memory_advice.h"

#include <sys/mman.h>

#include <cstdint>

namespace unf2mat {
namespace {

std::uintptr_t RoundUp(const void* p) {
  return (reinterpret_cast<std::uintptr_t>(p) + kLargePageSize - 1) &
         ~std::uintptr_t{kLargePageSize - 1};
}

std::uintptr_t RoundDown(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) &
         ~std::uintptr_t{kLargePageSize - 1};
}

}  // namespace

void AdviseLargePages(void* start, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  const std::uintptr_t first = RoundUp(start);
  const std::uintptr_t end = RoundDown(static_cast<char*>(start) + bytes);
  if (first < end) {
    ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
  }
#else
  (void)start;
  (void)bytes;
#endif
}

void ReleaseMemory(const void* begin, const void* end) {
  const std::uintptr_t first = RoundUp(begin);
  const std::uintptr_t last = RoundDown(end);
  if (first < last) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  }
}

}  // namespace unf2mat
