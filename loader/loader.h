// Loading a data file into a matrix, the way its kind of file allows: from
// where its values lie (a regular file, a block device), or held in memory
// (a pipe, a character device).
#ifndef UNF2MAT_LOADER_LOADER_H_
#define UNF2MAT_LOADER_LOADER_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "common/tile_source.h"
#include "common/value_type.h"
#include "io/file.h"
#include "loader/load_rules.h"
#include "loader/memory_loader.h"

namespace unf2mat {

struct LoadedMatrix {
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  LoadEnd end{};
  // The rows x columns values, as the MAT-file wants them.
  std::unique_ptr<TileSource> values;
};

// Loads the data file `name`, whose values are of `type`, for a variable
// name of `name_length` bytes (which sets the MAT-file's limits); a matrix
// held in memory goes into `store`. Warnings go to `warnings`; a refusal or
// a failure ends the run with a RunError.
LoadedMatrix LoadDataFile(std::string_view name, ValueType type,
                          std::uint64_t name_length, const MemoryStore& store,
                          OutputFile& warnings);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOADER_H_
