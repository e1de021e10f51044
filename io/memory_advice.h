// Advice to the kernel about the large arrays of a run. Only advice: results
// never depend on it, and where it is not available it does nothing.
#ifndef UNF2MAT_IO_MEMORY_ADVICE_H_
#define UNF2MAT_IO_MEMORY_ADVICE_H_

#include <cstddef>
#include <cstdint>

namespace unf2mat {

// The granule of both calls: a large page.
inline constexpr std::size_t kLargePageSize = std::size_t{2} << 20;

// Asks for large pages, which make filling the array cost fewer page faults
// and reading it across rows fewer TLB misses.
void AdviseLargePages(void* start, std::size_t bytes);

// The start of the large page that holds p.
inline const char* LargePageStart(const void* p) {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  return static_cast<const char*>(p) - address % kLargePageSize;
}

// Gives back the whole large pages within [begin, end), whose contents are no
// longer needed; they read as zero afterwards. Returned at once, they serve
// the page cache of the file being written instead of fresh memory.
void ReleaseMemory(const void* begin, const void* end);

}  // namespace unf2mat

#endif  // UNF2MAT_IO_MEMORY_ADVICE_H_
