#ifndef UNF2MAT_LOADER_LOADER_H_
#define UNF2MAT_LOADER_LOADER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "converter/run_state.h"
#include "recordio/record_reader.h"

namespace unf2mat {

struct LoadLimits {
  LoadLimits(std::size_t record = kRecordCapacity,
             std::size_t matrix = kCoreCapacity, std::string how_to_lift = "")
      : record_values(record),
        matrix_values(matrix),
        hint(std::move(how_to_lift)) {}

  std::size_t record_values;
  std::size_t matrix_values;
  // Follows the limit in a refusal: how it may be lifted.
  std::string hint;
};

// Opens a data file for reading; a failure ends the run with the reason.
std::unique_ptr<PosixInputFile> OpenDataFile(std::string_view name);

// Reads the data file named by fname1 into core: irow from the first record,
// then every record up to the first one that falls short, one after another.
// Warnings go to `err`.
void loadcore(RunState& state, OutputFile& err);

// loadcore over an open file; `name` is for messages, and warnings go to
// `err` where given.
void LoadCore(RunState& state, RecordReader& reader, std::string_view name,
              const LoadLimits& limits, OutputFile* err = nullptr);

// Which record stopped the load and why: "record 8, which holds 2 values,
// fewer than the first record's 7"; empty for a load that read to the end.
std::string StopReason(const LoadEnd& end, std::uint64_t width);

// The warning for a load that stopped before the end of the data file, as
// `end` tells it; empty for one that read the file to its end. `width` is the
// first record's number of values.
std::string StopWarning(const LoadEnd& end, std::string_view name,
                        std::uint64_t width);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOADER_H_
