// Loading a data file into a matrix from where its values lie: in the file
// itself (a regular file, a block device), or, for a stream that can be read
// only once (a pipe, a character device), in a copy kept as it is read.
#ifndef UNF2MAT_LOADER_LOADER_H_
#define UNF2MAT_LOADER_LOADER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/tile_source.h"
#include "common/value_type.h"
#include "io/file.h"
#include "loader/load_rules.h"
#include "loader/memory_loader.h"
#include "loader/place_loader.h"

namespace unf2mat {

struct LoadedMatrix {
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  LoadEnd end{};
  // The rows x columns values, as the MAT-file wants them.
  std::unique_ptr<TileSource> values;
};

// Finds where the records of the data file `file`, named `name`, lie, by
// `plan` and `limits`, into *outcome: in the file itself, or, for a stream,
// in a copy kept as it is read, in the first of `spool_dirs` that takes one.
// A refusal or a failure ends the run with a RunError.
PlacedRecords PlaceDataFile(std::unique_ptr<InputFile> file,
                            std::string_view name, const RecordPlan& plan,
                            const LoadLimits& limits,
                            const std::vector<std::string>& spool_dirs,
                            LoadOutcome* outcome);

// Loads the data file `file`, named `name`, whose values are of `type`,
// within `limits`.
// A stream is kept as it is read, past a memory budget in a temporary file in
// the first of `spool_dirs` that takes one; a matrix that must be held in
// memory goes into `store`. Warnings go to `warnings`; a refusal or a failure
// ends the run with a RunError.
LoadedMatrix LoadDataFile(std::unique_ptr<InputFile> file,
                          std::string_view name, ValueType type,
                          const LoadLimits& limits, const MemoryStore& store,
                          const std::vector<std::string>& spool_dirs,
                          OutputFile& warnings);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOADER_H_
