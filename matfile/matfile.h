// Writing a Level 5 MAT-file (layout in mat_format.h) that holds one real
// double matrix.
#ifndef UNF2MAT_MATFILE_MATFILE_H_
#define UNF2MAT_MATFILE_MATFILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/tile_source.h"
#include "io/buffered_writer.h"

namespace unf2mat {

// One real double matrix, as the MAT-file holds it.
struct MatVariable {
  std::string_view name;  // its bytes, written as they are
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  TileSource* values = nullptr;  // rows x columns; none for an empty matrix
};

// Each tile of values is staged in two buffers of at most this many bytes
// (one filled while the other is written), or fewer where the source asks.
inline constexpr std::size_t kTileBytes = std::size_t{40} << 20;

// Appends the MAT-file's bytes to `out` and returns how many 8-byte records
// they are. Write failures stick in `out`; a variable too large for the
// format ends the run with a RunError.
std::uint64_t WriteLevel5(const MatVariable& variable, BufferedWriter& out,
                          std::size_t tile_bytes = kTileBytes);

// Writes the MAT-file `path`, which takes its name only once it is complete
// and on disk; until then any old file of that name stays as it was. Returns
// the records written; a failure ends the run with a RunError.
std::uint64_t WriteMatFile(const std::string& path,
                           const MatVariable& variable);

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_MATFILE_H_
