// Loading a data file that can be read at an offset without holding its
// values: the rows, and where each row's values lie, found from the record
// markers by the rules of loading; the values are read as the MAT-file is
// written.
#ifndef UNF2MAT_LOADER_PLACE_LOADER_H_
#define UNF2MAT_LOADER_PLACE_LOADER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/value_type.h"
#include "io/file.h"
#include "loader/file_tiles.h"
#include "loader/load_rules.h"
#include "loader/memory_loader.h"

namespace unf2mat {

// Where a data file's rows lie, and its header record's bytes.
struct PlacedRecords {
  std::shared_ptr<InputFile> file;
  std::uint64_t size = 0;  // of the file, or of what was kept of a stream
  bool swapped = false;    // the values are in the other byte order
  // Null where the records are too unlike to keep their places in bounded
  // memory.
  std::shared_ptr<const RecordPlaces> places;
  std::string header;  // as in the file, not yet in the host's byte order

  // The part of a matrix's values these rows give, named `name`.
  TilePart Part(std::string name, const RecordPlan& plan) const {
    return {
        file, size, places, swapped, std::move(name), plan.records_before()};
  }
};

// Loads `file`, of `size` bytes where known (not of a stream kept as it is
// read), by `plan`, the rules of loading and `limits` into *outcome. A
// refusal or a failed read ends the run, as does a header record that is
// missing or short.
PlacedRecords LoadPlaces(std::shared_ptr<InputFile> file,
                         std::optional<std::uint64_t> size,
                         std::string_view name, const RecordPlan& plan,
                         const LoadLimits& limits, LoadOutcome* outcome);

// The plain rows x columns matrix of values of `type` that `placed` holds,
// read by reads of at most `read_bytes`.
std::unique_ptr<FileTiles> PlainTiles(const PlacedRecords& placed,
                                      std::string_view name, ValueType type,
                                      std::uint64_t columns,
                                      std::size_t read_bytes = std::size_t{1}
                                                               << 20);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_PLACE_LOADER_H_
