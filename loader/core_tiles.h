// The tiles of a matrix of doubles held in memory, row after row.
#ifndef UNF2MAT_LOADER_CORE_TILES_H_
#define UNF2MAT_LOADER_CORE_TILES_H_

#include <cstddef>
#include <cstdint>

#include "common/tile_source.h"

namespace unf2mat {

// The memory is given back once its rows are written, so that the
// MAT-file's pages can reuse it; it reads as zero afterwards.
class CoreTiles final : public TileSource {
 public:
  CoreTiles(double* matrix, std::uint64_t rows, std::uint64_t columns)
      : matrix_(matrix), rows_(rows), columns_(columns) {}

  const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                   std::size_t tc, char* staging) override;
  ValueType element() const override { return ValueType::kReal8; }
  // A tile is copied and written while it is still in cache.
  std::size_t tile_bytes() const override { return std::size_t{4} << 20; }

 private:
  double* matrix_;
  std::uint64_t rows_;
  std::uint64_t columns_;
  // The rows below which every tile has been handed out, at the last call
  // and at the one before: by then the earlier of these has been written.
  std::uint64_t done_rows_[2] = {0, 0};
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_CORE_TILES_H_
