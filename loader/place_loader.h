// Loading a data file that can be read at an offset without holding its
// values: the rows and columns, and where each row's values lie, found from
// the record markers by the rules of loading; the values are read as the
// MAT-file is written.
#ifndef UNF2MAT_LOADER_PLACE_LOADER_H_
#define UNF2MAT_LOADER_PLACE_LOADER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "common/value_type.h"
#include "io/file.h"
#include "loader/file_tiles.h"
#include "loader/load_rules.h"
#include "loader/memory_loader.h"

namespace unf2mat {

// Loads `file`, of `size` bytes where known (not of a stream kept as it is
// read), by the rules of loading and `limits` into *outcome, and returns the
// matrix's tiles, each read by reads of at most `read_bytes`. Null, with
// *outcome set all the same, where the records are too unlike to keep their
// places in bounded memory. A refusal or a failed read ends the run.
std::unique_ptr<FileTiles> LoadPlaces(
    std::shared_ptr<InputFile> file, std::optional<std::uint64_t> size,
    std::string_view name, ValueType type, const LoadLimits& limits,
    LoadOutcome* outcome, std::size_t read_bytes = std::size_t{1} << 20);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_PLACE_LOADER_H_
