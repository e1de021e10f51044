// Loading a data file of plain rows into a matrix from where its values lie:
// in the file itself (a regular file, a block device), or, for a stream that
// can be read only once (a pipe, a character device), in a copy kept as it
// is read; where the rows change length too often to keep their places, in
// memory.
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
#include "loader/file_tiles.h"
#include "loader/load_rules.h"
#include "loader/load_start.h"
#include "loader/memory_loader.h"

namespace unf2mat {

struct LoadedMatrix {
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  LoadEnd end{};
  // The rows x columns values, as the MAT-file wants them.
  std::unique_ptr<TileSource> values;
};

// Loads the data file `file`, named `name`, of plain rows of `type`, within
// `limits`. A stream is kept as it is read, past a memory budget in a
// temporary file in the first of `spool_dirs` that takes one; a matrix that
// must be held in memory goes into `store`. Warnings go to `warnings`; a
// refusal or a failure ends the run with a RunError. Given `foresight`, a
// run of records alike is taken as the file's size foretells, for it to
// check (PlaceDataFile).
LoadedMatrix LoadDataFile(std::unique_ptr<InputFile> file,
                          std::string_view name, ValueType type,
                          const LoadLimits& limits, const MemoryStore& store,
                          const std::vector<std::string>& spool_dirs,
                          OutputFile& warnings, Foresight* foresight = nullptr);

// The part of a matrix's values that variable `variable` of `placed` gives:
// its reads where they lie. Null where they were too unlike to keep.
std::optional<TilePart> PartOf(const PlacedFile& placed, std::uint32_t variable,
                               std::string name);

// The warnings of a walk that ended: how the framing was taken, where and
// why loading stopped before the end, records longer than their layout
// reads and records after all it reads. Said only of a file that loads: a
// refusal is the whole story.
void WarnAboutWalk(OutputFile& warnings, const PlacedFile& placed,
                   std::string_view name, const Layout& layout);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOADER_H_
