// Writing a Level 5 MAT-file (layout in mat_format.h) that holds real
// arrays, each of its class.
#ifndef UNF2MAT_MATFILE_MATFILE_H_
#define UNF2MAT_MATFILE_MATFILE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/tile_source.h"
#include "common/value_type.h"
#include "io/buffered_writer.h"

namespace unf2mat {

// One real array, as the MAT-file holds it. Its values, in the file's
// (column-major) order, are those of a rows x columns matrix.
struct MatVariable {
  std::string_view name;  // its bytes, written as they are
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  TileSource* values = nullptr;  // rows x columns; none for an empty matrix
  // The array's dimensions, whose product is rows x columns; none: rows and
  // columns.
  std::vector<std::uint64_t> dims;
  // Values of the source's element() become values of this class: widened
  // to double, or kept as they are where the class is their own.
  MatClass mat_class = MatClass::kDouble;
};

// Each tile of values is staged in two buffers of at most this many bytes
// (one filled while the other is written), or fewer where the source asks.
inline constexpr std::size_t kTileBytes = std::size_t{40} << 20;

// Appends the MAT-file's bytes to `out`, a variable an element, and returns
// how many 8-byte records they are. Write failures stick in `out`; a
// variable too large for the format ends the run with a RunError before
// anything is written.
std::uint64_t WriteLevel5(std::span<const MatVariable> variables,
                          BufferedWriter& out,
                          std::size_t tile_bytes = kTileBytes);

// Writes the MAT-file `path`, which takes its name only once it is complete
// and on disk; until then any old file of that name stays as it was. Returns
// the records written; a failure ends the run with a RunError.
std::uint64_t WriteMatFile(const std::string& path,
                           std::span<const MatVariable> variables);

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_MATFILE_H_
