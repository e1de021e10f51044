#include "loader/loader.h"

#include <optional>
#include <utility>

#include "common/run_error.h"
#include "io/memory_advice.h"
#include "loader/core_tiles.h"
#include "loader/load_messages.h"
#include "loader/load_start.h"
#include "loader/place_loader.h"

namespace unf2mat {
namespace {

LoadOutcome LoadIntoStore(InputFile& file, std::string_view name,
                          ValueType type, const LoadLimits& limits,
                          const MemoryStore& store) {
  AdviseLargePages(store.matrix.data(), store.matrix.size_bytes());
  RecordReader reader(file);
  return LoadIntoMemory(reader, name, type, limits, store);
}

}  // namespace

LoadedMatrix LoadDataFile(std::string_view name, ValueType type,
                          std::uint64_t name_length, const MemoryStore& store,
                          OutputFile& warnings) {
  std::unique_ptr<InputFile> file = OpenDataFile(name);
  LoadedMatrix loaded;
  LoadOutcome outcome;
  // A file that can be read at an offset is read where each value lies as
  // the MAT-file is written; a pipe must be held in memory.
  if (const std::optional<std::uint64_t> size = file->Size()) {
    loaded.values = LoadPlaces(std::move(file), *size, name, type,
                               ElementLimits(name_length), &outcome);
    if (!loaded.values) {
      // Not expected of a real file; within memory's limits it can be held.
      if (!Within(LoadLimits{}, outcome.rows, outcome.columns)) {
        throw RunError("data file " + Quote(name) +
                       " has records of too many different lengths to "
                       "convert from their places in the file, and more "
                       "than " +
                       std::to_string(kCoreCapacity) +
                       " values to hold in memory");
      }
      auto again = OpenDataFile(name);
      outcome = LoadIntoStore(*again, name, type, LoadLimits{}, store);
    }
  } else {
    outcome = LoadIntoStore(*file, name, type, PipeLimits(name_length), store);
  }
  if (!loaded.values) {
    loaded.values = std::make_unique<CoreTiles>(store.matrix.data(),
                                                outcome.rows, outcome.columns);
  }
  loaded.rows = outcome.rows;
  loaded.columns = outcome.columns;
  loaded.end = outcome.end;
  WarnAboutLoad(warnings, outcome.choice, outcome.end, outcome.columns, name);
  if (const std::string warning =
          ElementSizeWarning(name, name_length, outcome.rows * outcome.columns);
      !warning.empty()) {
    Warn(warnings, warning);
  }
  return loaded;
}

}  // namespace unf2mat
