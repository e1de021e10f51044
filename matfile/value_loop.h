// The one loop that hands a variable's values to where they are written,
// tile by tile, in the class's own bytes.
#ifndef UNF2MAT_MATFILE_VALUE_LOOP_H_
#define UNF2MAT_MATFILE_VALUE_LOOP_H_

#include <cstddef>
#include <cstdint>

#include "common/tile_source.h"
#include "common/value_type.h"

namespace unf2mat {

// Where the values of one array go.
class ValueSink {
 public:
  virtual ~ValueSink() = default;
  // Takes `count` values, little-endian of the array's class, the first the
  // array's value `index` in its (column-major) order; each value is its
  // parts in turn (a complex value's real and imaginary). Returns 0 or the
  // first errno value it met, which sticks.
  virtual int Put(std::uint64_t index, const char* bytes,
                  std::uint64_t count) = 0;
  // What was put so far may go to the disk now.
  virtual void Flow() {}
};

// The tiles the values are read in: rows x columns each, within `capacity`
// values. A tile of whole columns (rows of all) is one run of the array;
// where each column is one run of the source too (`column_runs`), a tile is
// of whole columns wherever one fits.
struct TileShape {
  std::uint64_t rows, columns, capacity;
};
TileShape PlanTiles(std::uint64_t rows, std::uint64_t columns, std::size_t size,
                    std::size_t tile_bytes, bool column_runs = false);

// Hands every value of the rows x columns array `source` holds to `sink`,
// as values of `mat_class`, through tiles of at most `tile_bytes`; after a
// failed Put no more tiles are filled. The sink keeps the failure. Each of
// the array's values is `parts` of the source's in turn down its column (a
// complex value's real and imaginary parts): the source is parts * rows x
// columns, and no tile splits a value.
void WriteValues(TileSource& source, MatClass mat_class, std::uint64_t rows,
                 std::uint64_t columns, std::size_t tile_bytes, ValueSink& sink,
                 std::size_t parts = 1);

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_VALUE_LOOP_H_
