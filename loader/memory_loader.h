// Loading a data file whose values must be held in memory (a pipe, which can
// be read only once): every record read front to back, widened into the
// matrix store.
#ifndef UNF2MAT_LOADER_MEMORY_LOADER_H_
#define UNF2MAT_LOADER_MEMORY_LOADER_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "common/value_type.h"
#include "loader/load_rules.h"
#include "recordio/record_reader.h"

namespace unf2mat {

// Where a matrix held in memory goes: the buffer that records pass through,
// and the store that holds them widened, row after row.
struct MemoryStore {
  std::span<char> buffer;
  std::span<double> matrix;
};

// What loading found: the matrix's dimensions, where and why it ended, and
// how the framing was taken.
struct LoadOutcome {
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  LoadEnd end{};
  FramingChoice choice;
};

// Loads the records `reader` reads into store.matrix by the rules of loading
// and `limits` (the matrix limit no larger than the store). A refusal or a
// failed read ends the run.
LoadOutcome LoadIntoMemory(RecordReader& reader, std::string_view name,
                           ValueType type, const LoadLimits& limits,
                           const MemoryStore& store);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_MEMORY_LOADER_H_
