#include "converter/phases.h"

#include <string>
#include <utility>

#include "loader/loader.h"
#include "matfile/mat_format.h"
#include "matfile/matfile.h"

namespace unf2mat {

void loadcore(RunState& state, OutputFile& warnings) {
  state.tiles.reset();
  LoadedMatrix loaded = LoadDataFile(
      TrimTrailingBlanks(state.fname1), state.type,
      static_cast<std::uint64_t>(state.n1),
      {{reinterpret_cast<char*>(state.x), sizeof state.x}, state.core},
      warnings);
  state.irow = static_cast<std::int32_t>(loaded.columns);
  state.icol = static_cast<std::int32_t>(loaded.rows);
  state.end = loaded.end;
  state.tiles = std::move(loaded.values);
}

void writemat(RunState& state) {
  Assign(state.header, mat::kHeaderText);
  state.version = mat::kVersion;
  Assign(state.endian, mat::kEndian);
  const MatVariable variable{
      Prefix(state.fname2, state.n1), static_cast<std::uint64_t>(state.icol),
      static_cast<std::uint64_t>(state.irow), state.tiles.get()};
  const std::uint64_t records =
      WriteMatFile(std::string(TrimTrailingBlanks(state.fname3)), variable);
  state.irec = static_cast<std::int32_t>(records);
  state.tiles.reset();  // closes the data file
}

}  // namespace unf2mat
