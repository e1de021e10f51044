// The values of a matrix, handed to the MAT-file writer a tile at a time:
// from a matrix held in memory, or read from the data file where they lie.
#ifndef UNF2MAT_COMMON_TILE_SOURCE_H_
#define UNF2MAT_COMMON_TILE_SOURCE_H_

#include <cstddef>
#include <cstdint>

#include "common/value_type.h"

namespace unf2mat {

class TileSource {
 public:
  virtual ~TileSource() = default;
  // Rows [r0, r0 + tr) of columns [c0, c0 + tc) as values of element(), in
  // the host's byte order, column after column, tr to a column: put into
  // `staging`, or, where the source holds them so already, left where they
  // are. Returns where they are. When it is called, every tile handed out
  // before the last one has been written. Throws RunError where the values
  // cannot be read.
  virtual const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                           std::size_t tc, char* staging) = 0;
  // What each value is: the data file's type as read, or real8 for doubles.
  virtual ValueType element() const = 0;
  // The most bytes a tile should hold: large tiles make few, long reads of
  // a file, small ones keep a copy from memory in cache.
  virtual std::size_t tile_bytes() const = 0;
  // Whether each column lies in one run of where the values come from (a
  // record of a field stacked along its last dimension): tiles of whole
  // columns then read and write each in one piece, however long.
  virtual bool column_runs() const { return false; }
};

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_TILE_SOURCE_H_
