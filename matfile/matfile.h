#ifndef UNF2MAT_MATFILE_MATFILE_H_
#define UNF2MAT_MATFILE_MATFILE_H_

#include <cstddef>

#include "converter/run_state.h"
#include "io/buffered_writer.h"

namespace unf2mat {

// Writes core as an icol x irow double matrix named fname2 into the MAT-file
// fname3. The file takes its name only once it is complete; until then any
// old file of that name stays as it was.
void writemat(RunState& state);

inline constexpr std::size_t kStagingValues = std::size_t{1} << 19;  // 4 MiB
// For a matrix read from the data file a tile at a time, in two buffers of
// this many values: one filled while the other is written.
inline constexpr std::size_t kTileValues = std::size_t{5} << 20;  // 40 MiB

// The MAT-file's bytes, as 8-byte records counted in irec. The values pass
// through a staging buffer of `staging_values` doubles from core, or of
// `tile_values` from the data file (state.tiles).
void WriteMat(RunState& state, BufferedWriter& out,
              std::size_t staging_values = kStagingValues,
              std::size_t tile_values = kTileValues);

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_MATFILE_H_
