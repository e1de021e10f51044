// One part of a complex array's values, for a format that holds the real
// parts and the imaginary parts apart.
#ifndef UNF2MAT_MATFILE_PART_TILES_H_
#define UNF2MAT_MATFILE_PART_TILES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/tile_source.h"

namespace unf2mat {

// The real (part 0) or imaginary (part 1) parts of the values of `pairs`,
// which hands out both parts of each value in turn down a column: a tile of
// tr rows is read as one of 2 * tr rows, in a buffer as large as that, and
// one part picked out of it.
class PartTiles final : public TileSource {
 public:
  PartTiles(TileSource& pairs, int part) : pairs_(pairs), part_(part) {}

  const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                   std::size_t tc, char* staging) override;
  ValueType element() const override { return pairs_.element(); }
  std::size_t tile_bytes() const override { return pairs_.tile_bytes(); }
  bool column_runs() const override { return pairs_.column_runs(); }

 private:
  TileSource& pairs_;
  int part_;
  std::vector<char> both_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_PART_TILES_H_
