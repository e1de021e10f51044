#ifndef UNF2MAT_LOADER_SCAN_LOADER_H_
#define UNF2MAT_LOADER_SCAN_LOADER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "converter/run_state.h"
#include "io/file.h"

namespace unf2mat {

// Loads a data file that can be read at an offset without core: irow, icol
// and where each row's values lie, found from the markers by the rules of
// loading; the values are read as the MAT-file is written (state.tiles).
// Limits are those of the MAT-file's matrix element. Warnings go to `err`.
// False, with nothing said, where the records are too unlike to keep their
// places in bounded memory but few enough for core.
// `read_bytes` bounds each read of values.
bool LoadPlaces(RunState& state, std::unique_ptr<InputFile> file,
                std::uint64_t size, std::string_view name, OutputFile& err,
                std::size_t read_bytes = std::size_t{1} << 20);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_SCAN_LOADER_H_
