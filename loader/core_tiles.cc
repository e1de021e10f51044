#include "loader/core_tiles.h"

#include <algorithm>
#include <bit>

#include "common/coding.h"
#include "io/memory_advice.h"

namespace unf2mat {
namespace {

constexpr std::size_t kDoublesPerLine = 8;  // in a 64-byte cache line

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// Copies rows [r0, r0 + tr) of columns [c0, c0 + tc) of the row-major matrix
// into `staging`, column after column, in blocks small enough that both the
// rows read and the columns written stay in cache.
void TransposeTile(const double* matrix, std::size_t columns, std::size_t r0,
                   std::size_t tr, std::size_t c0, std::size_t tc,
                   char* staging) {
  constexpr std::size_t kBlock = 32;
  for (std::size_t rb = 0; rb < tr; rb += kBlock) {
    const std::size_t r_end = std::min(rb + kBlock, tr);
    for (std::size_t cb = 0; cb < tc; cb += kBlock) {
      const std::size_t c_end = std::min(cb + kBlock, tc);
      // Along each row, so that the matrix is read in cache lines.
      for (std::size_t r = rb; r < r_end; ++r) {
        const double* src = matrix + (r0 + r) * columns + c0;
        // Rows lie far apart; asking for the block below early hides most of
        // the wait for memory.
        if (r + kBlock < tr) {
          for (std::size_t c = cb; c < c_end; c += kDoublesPerLine) {
            Prefetch(src + kBlock * columns + c);
          }
        }
        for (std::size_t c = cb; c < c_end; ++c) {
          EncodeDouble(staging + 8 * (c * tr + r), src[c]);
        }
      }
    }
  }
}

}  // namespace

const char* CoreTiles::Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                            std::size_t tc, char* staging) {
  const auto begin = reinterpret_cast<const char*>(matrix_);
  if (std::endian::native == std::endian::little &&
      (rows_ == 1 || columns_ == 1)) {
    // A vector is in the same order either way: the file takes it from here.
    const char* tile =
        reinterpret_cast<const char*>(matrix_ + (columns_ == 1 ? r0 : c0));
    if (last_tile_ != nullptr) ReleaseMemory(begin, last_tile_);
    last_tile_ = tile;
    return tile;
  }
  TransposeTile(matrix_, columns_, r0, tr, c0, tc, staging);
  // Past a band's last columns, its rows are all copied.
  if (c0 + tc == columns_) {
    ReleaseMemory(std::max(LargePageStart(matrix_ + r0 * columns_), begin),
                  matrix_ + (r0 + tr) * columns_);
  }
  return staging;
}

}  // namespace unf2mat
