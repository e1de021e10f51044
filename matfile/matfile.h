// Writing a MAT-file (the Level 5 layout in mat_format.h) that holds
// numeric, logical, char and cell arrays, each of its class.
#ifndef UNF2MAT_MATFILE_MATFILE_H_
#define UNF2MAT_MATFILE_MATFILE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/tile_source.h"
#include "common/value_type.h"
#include "io/buffered_writer.h"

namespace unf2mat {

class CellSource;

// One array, as the MAT-file holds it: numeric (real or complex), logical,
// char, or a cell array of such arrays. Its values, in the file's
// (column-major) order, are those of a rows x columns matrix.
struct MatVariable {
  std::string_view name;  // its bytes, written as they are; empty in a cell
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  // rows x columns values; none for an empty array or a cell array. Of a
  // complex array, each value's real and imaginary parts in turn: the
  // source is 2 rows x columns of them, and may be read twice (v6 and v7
  // write the real parts, then the imaginary ones).
  TileSource* values = nullptr;
  // The array's dimensions, whose product is rows x columns; none: rows and
  // columns.
  std::vector<std::uint64_t> dims;
  // Values of the source's element() become values of this class: widened
  // to double, kept as they are where the class is their own, a logical 4
  // bytes made one (0 or 1), a character byte a UTF-16 unit.
  MatClass mat_class = MatClass::kDouble;
  bool complex = false;
  // A cell array: its rows x columns cells, in column-major order.
  CellSource* cells = nullptr;

  // The dimensions as the file gives them.
  std::vector<std::uint64_t> shape() const {
    return dims.empty() ? std::vector<std::uint64_t>{rows, columns} : dims;
  }
};

// The cells of a cell array, made one at a time: a conversion may have many,
// each read from the data file only as it is written.
class CellSource {
 public:
  virtual ~CellSource() = default;
  // Cell `k` (column-major), an array with an empty name; what it points to
  // stays valid until the next call. Its values are made only where
  // `with_values` is asked; without, it still gives its shape, class,
  // complex and, for a cell array, `cells`, whose cells are asked the same
  // way (a Level 5 element's size is counted from them before it is
  // written). A cell may be asked for more than once, and is the same each
  // time.
  virtual MatVariable Cell(std::uint64_t k, bool with_values) = 0;
};

// Each tile of values is staged in two buffers of at most this many bytes
// (one filled while the other is written), or fewer where the source asks.
inline constexpr std::size_t kTileBytes = std::size_t{40} << 20;

// The MAT-file's format: Level 5 (MATLAB's v6), Level 5 with each element
// compressed (v7), or HDF5 with the MAT header in its user block (v7.3).
enum class MatFormat : std::uint8_t { kV6, kV7, kV73 };

struct MatFileOptions {
  MatFormat format = MatFormat::kV6;
  // The deflate level, 1 to 9: v7's (1 where none is given); v7.3 deflates
  // only where one is given.
  std::optional<int> level;
  // Where an element that cannot be compressed as it is made is kept first.
  std::vector<std::string> scratch_dirs;
  // Called once all is written, before the file takes its name: what it
  // throws ends the write, the file discarded.
  std::function<void()> before_commit;
};

// Ends the run where this build cannot write `format`, saying what to
// install.
void CheckFormatBuilt(MatFormat format);

// Appends the MAT-file's bytes to `out`, a variable an element (deflated at
// `level` where given, as v7 does), and returns how many 8-byte records they
// are (the last counted whole). Write failures stick in `out`; a variable
// too large for the format ends the run with a RunError before anything is
// written.
std::uint64_t WriteLevel5(std::span<const MatVariable> variables,
                          BufferedWriter& out,
                          std::size_t tile_bytes = kTileBytes,
                          const MatFileOptions& options = {});

// Writes the MAT-file `path` in the format `options` asks for; it takes its
// name only once it is complete and on disk, and until then any old file of
// that name stays as it was. Returns the 8-byte records written (the last
// counted whole); a failure ends the run with a RunError.
std::uint64_t WriteMatFile(const std::string& path,
                           std::span<const MatVariable> variables,
                           const MatFileOptions& options = {});

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_MATFILE_H_
