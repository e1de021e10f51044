// Bytes of a regular file looked at where the page cache holds them, with no
// copy: how records packed close together are gone over, twice (the walk,
// then the tiles), at the cost of mapping pages rather than of copying bytes.
//
// A file cut shorter while its pages are mapped raises SIGBUS on the pages
// past its new end. The visit is then left, and the caller is told to read
// the bytes instead, which reports what became of the file.
#ifndef UNF2MAT_IO_MAPPED_BYTES_H_
#define UNF2MAT_IO_MAPPED_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "io/file.h"

namespace unf2mat {

enum class MapStatus {
  kVisited,
  kNotMapped,  // not a file that maps, or mapping failed: read the bytes
  kCutShort,   // the file ended before them while they were visited
};

// The most bytes one visit maps: what a conversion keeps resident of them.
inline constexpr std::size_t kMaxMappedBytes = std::size_t{8} << 20;

// Maps the n bytes at `offset` of `file` (n at most kMaxMappedBytes) and
// calls visit(bytes) on them. A SIGBUS jumps out of `visit`, so it must own
// nothing that needs a destructor, and only plain loops may run under it.
MapStatus VisitMappedBytes(const InputFile& file, std::uint64_t offset,
                           std::size_t n,
                           void (*visit)(const char* bytes, void* context),
                           void* context);

template <typename Visit>
MapStatus VisitMapped(const InputFile& file, std::uint64_t offset,
                      std::size_t n, Visit& visit) {
  static_assert(std::is_trivially_destructible_v<Visit>);
  return VisitMappedBytes(
      file, offset, n,
      [](const char* bytes, void* context) {
        (*static_cast<Visit*>(context))(bytes);
      },
      &visit);
}

}  // namespace unf2mat

#endif  // UNF2MAT_IO_MAPPED_BYTES_H_
