#include "loader/core_tiles.h"

#include <algorithm>
#include <cstring>

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
          std::memcpy(staging + 8 * (c * tr + r), src + c, 8);
        }
      }
    }
  }
}

}  // namespace

const char* CoreTiles::Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                            std::size_t tc, char* staging) {
  // What was handed out before the tile before is written: its rows are
  // done with.
  const auto begin = reinterpret_cast<const char*>(matrix_);
  ReleaseMemory(begin, matrix_ + done_rows_[0] * columns_);
  done_rows_[0] = done_rows_[1];
  // Once its last columns are handed out, a band's rows are.
  if (c0 + tc == columns_) done_rows_[1] = r0 + tr;
  // A vector is in the same order either way: the file takes it from here.
  if (rows_ == 1 || columns_ == 1) {
    return reinterpret_cast<const char*>(matrix_ + (columns_ == 1 ? r0 : c0));
  }
  TransposeTile(matrix_, columns_, r0, tr, c0, tc, staging);
  return staging;
}

}  // namespace unf2mat
