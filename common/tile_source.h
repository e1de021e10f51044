#ifndef UNF2MAT_COMMON_TILE_SOURCE_H_
#define UNF2MAT_COMMON_TILE_SOURCE_H_

#include <cstddef>
#include <cstdint>

namespace unf2mat {

// The loaded matrix where it is not held in core: read from the data file a
// tile at a time, as the MAT-file is written.
class MatrixTiles {
 public:
  virtual ~MatrixTiles() = default;
  // Puts rows [r0, r0 + tr) of columns [c0, c0 + tc) into `staging` as
  // little-endian doubles, column after column, tr to a column. Throws
  // RunError where the data file cannot be read.
  virtual void Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                    std::size_t tc, char* staging) = 0;
};

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_TILE_SOURCE_H_
