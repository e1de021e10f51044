#include "loader/loader.h"

#include <cstring>
#include <optional>
#include <utility>

#include "common/run_error.h"
#include "io/memory_advice.h"
#include "io/spooled_input.h"
#include "loader/core_tiles.h"
#include "loader/load_messages.h"
#include "loader/load_start.h"
#include "loader/place_loader.h"

namespace unf2mat {
namespace {

// A stream this long or shorter is kept in memory; a longer one, in a
// temporary file.
constexpr std::size_t kStreamMemoryBytes = std::size_t{16} << 20;

// A stream's failure: of its copy where that is what failed, else of the
// data file.
[[noreturn]] void ThrowStreamFailure(const SpooledInput& spool,
                                     std::string_view name, int error) {
  if (spool.keep_error() == 0) ThrowReadFailure(name, error);
  throw RunError("cannot keep data file " + Quote(name) +
                 ", read as a stream, in a temporary file in " +
                 Quote(spool.keep_dir()) + ": " +
                 std::strerror(spool.keep_error()));
}

LoadOutcome LoadIntoStore(InputFile& file, std::string_view name,
                          ValueType type, const LoadLimits& limits,
                          const MemoryStore& store) {
  AdviseLargePages(store.matrix.data(), store.matrix.size_bytes());
  RecordReader reader(file);
  return LoadIntoMemory(reader, name, type, limits, store);
}

}  // namespace

PlacedRecords PlaceDataFile(std::unique_ptr<InputFile> file,
                            std::string_view name, const RecordPlan& plan,
                            const LoadLimits& limits,
                            const std::vector<std::string>& spool_dirs,
                            LoadOutcome* outcome) {
  std::optional<std::uint64_t> size = file->Size();
  std::shared_ptr<SpooledInput> spool;
  std::shared_ptr<InputFile> source;
  if (size) {
    source = std::move(file);
  } else {
    spool = std::make_shared<SpooledInput>(std::move(file), kStreamMemoryBytes,
                                           spool_dirs);
    source = spool;
    // A stream that ends within memory is then a file of known size.
    if (int error = spool->KeepTo(kStreamMemoryBytes + 1); error != 0) {
      ThrowStreamFailure(*spool, name, error);
    }
    size = spool->Size();
  }
  PlacedRecords placed;
  try {
    placed = LoadPlaces(source, size, name, plan, limits, outcome);
  } catch (const RunError&) {
    if (spool && spool->keep_error() != 0) {
      ThrowStreamFailure(*spool, name, spool->keep_error());
    }
    throw;
  }
  if (spool) {
    // The warning for a stream says, as for any pipe, that the rest was not
    // read: what was kept of it is the converter's copy, not the data file.
    outcome->end.unread = 0;
    outcome->end.unread_known = false;
  }
  return placed;
}

LoadedMatrix LoadDataFile(std::unique_ptr<InputFile> file,
                          std::string_view name, ValueType type,
                          const LoadLimits& limits, const MemoryStore& store,
                          const std::vector<std::string>& spool_dirs,
                          OutputFile& warnings) {
  LoadOutcome outcome;
  const PlacedRecords placed =
      PlaceDataFile(std::move(file), name, PlainRows(ValueSize(type)), limits,
                    spool_dirs, &outcome);
  LoadedMatrix loaded;
  loaded.values = PlainTiles(placed, name, type, outcome.columns);
  if (!loaded.values) {
    // Not expected of a real file; within memory's limits it can be held.
    if (!Within(LoadLimits{}, outcome.rows, outcome.columns)) {
      throw RunError("data file " + Quote(name) +
                     " has records of too many different lengths to convert "
                     "from their places in the file, and more than " +
                     std::to_string(kCoreCapacity) +
                     " values to hold in memory");
    }
    const LoadEnd end = outcome.end;
    outcome = LoadIntoStore(*placed.file, name, type, LoadLimits{}, store);
    // What the places said of where loading stopped holds: the copy of a
    // stream is not the data file.
    outcome.end = end;
    loaded.values = std::make_unique<CoreTiles>(store.matrix.data(),
                                                outcome.rows, outcome.columns);
  }
  loaded.rows = outcome.rows;
  loaded.columns = outcome.columns;
  loaded.end = outcome.end;
  WarnAboutLoad(warnings, outcome.choice, outcome.end, outcome.columns, name);
  return loaded;
}

}  // namespace unf2mat
