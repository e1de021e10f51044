// The tiles of a matrix held in memory, row after row.
#ifndef UNF2MAT_LOADER_CORE_TILES_H_
#define UNF2MAT_LOADER_CORE_TILES_H_

#include <cstddef>
#include <cstdint>

#include "common/tile_source.h"

namespace unf2mat {

// The memory is given back as its tiles are written, so that the MAT-file's
// pages can reuse it; it reads as zero afterwards.
class CoreTiles final : public TileSource {
 public:
  CoreTiles(double* matrix, std::uint64_t rows, std::uint64_t columns)
      : matrix_(matrix), rows_(rows), columns_(columns) {}

  const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                   std::size_t tc, char* staging) override;
  // 4 MiB: a tile is copied and written while it is still in cache.
  std::size_t tile_values() const override { return std::size_t{1} << 19; }

 private:
  double* matrix_;
  std::uint64_t rows_;
  std::uint64_t columns_;
  const char* last_tile_ = nullptr;  // of a vector, handed out in place
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_CORE_TILES_H_
