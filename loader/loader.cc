#include "loader/loader.h"

#include <utility>

#include "common/run_error.h"
#include "io/memory_advice.h"
#include "loader/core_tiles.h"
#include "loader/load_messages.h"
#include "loader/record_layout.h"
#include "loader/value_sample.h"

namespace unf2mat {

std::optional<TilePart> PartOf(const PlacedFile& placed, std::uint32_t variable,
                               std::string name) {
  const VariableReads& reads = placed.walk.variables[variable];
  if (reads.places->overflowed()) return std::nullopt;
  TilePart part;
  part.file = placed.file;
  part.size = placed.size;
  part.places = reads.places;
  part.swapped = placed.choice.framing.swapped;
  part.markers = placed.markers;
  part.name = std::move(name);
  if (reads.records_regular) {
    part.first_record = reads.first_record;
    part.record_step = reads.reads > 1 ? reads.record_step : 1;
  }
  return part;
}

void WarnAboutWalk(OutputFile& warnings, const PlacedFile& placed,
                   std::string_view name, const Layout& layout) {
  WarnAboutLoad(warnings, placed.choice, placed.walk.end, placed.walk.columns,
                name, layout.origin);
  if (placed.choice.basis == FramingChoice::Basis::kNoneFits) return;
  for (const LongerRecords& longer : placed.walk.longer) {
    Warn(warnings, LongerWarning(longer, name, layout.origin));
  }
  if (const auto& trailing = placed.walk.trailing) {
    Warn(warnings, "data file " + Quote(name) + " holds more than " +
                       layout.origin + " reads: record " +
                       std::to_string(trailing->number) +
                       " and any after it, from byte offset " +
                       std::to_string(trailing->offset) + ", were not read");
  }
  // Plain rows read as real4 whose bits say they are not.
  if (layout.rows && layout.variables[*layout.rows].type == ValueType::kReal4) {
    const std::string look =
        LookText(JudgeRows(placed, *layout.rows), BigEndian(placed));
    if (!look.empty()) {
      Warn(warnings, "the values of data file " + Quote(name) + " " + look);
    }
  }
}

LoadedMatrix LoadDataFile(std::unique_ptr<InputFile> file,
                          std::string_view name, ValueType type,
                          const LoadLimits& limits, const MemoryStore& store,
                          const std::vector<std::string>& spool_dirs,
                          OutputFile& warnings, Foresight* foresight) {
  const Layout rows = RowsLayout(type);
  const PlacedFile placed =
      PlaceDataFile(std::move(file), name, rows, {limits}, spool_dirs, nullptr,
                    false, foresight);
  LoadedMatrix loaded;
  loaded.rows = placed.walk.rows;
  loaded.columns = placed.walk.columns;
  loaded.end = placed.walk.end;
  if (auto part = PartOf(placed, *rows.rows, std::string(name))) {
    loaded.values = std::make_unique<FileTiles>(
        std::vector<TilePart>{std::move(*part)},
        RecordView{type, 0, loaded.columns, false, false, ""},
        std::size_t{1} << 20);
  } else {
    // Not expected of a real file; within memory's limits it can be held.
    if (!Within(LoadLimits{}, loaded.rows, loaded.columns)) {
      throw RunError("data file " + Quote(name) +
                     " has records of too many different lengths to convert "
                     "from their places in the file, and more than " +
                     std::to_string(kCoreCapacity) +
                     " values to hold in memory");
    }
    AdviseLargePages(store.matrix.data(), store.matrix.size_bytes());
    LoadIntoMemory(placed, rows, name, store);
    loaded.values = std::make_unique<CoreTiles>(store.matrix.data(),
                                                loaded.rows, loaded.columns);
  }
  WarnAboutWalk(warnings, placed, name, rows);
  return loaded;
}

}  // namespace unf2mat
