#include "converter/phases.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "loader/load_start.h"
#include "loader/loader.h"
#include "matfile/mat_format.h"
#include "matfile/matfile.h"

namespace unf2mat {

namespace {

// Where a data file read as a stream is kept: in $TMPDIR, else beside the
// MAT-file.
std::vector<std::string> SpoolDirs(const RunState& state) {
  std::vector<std::string> dirs;
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp) {
    dirs.emplace_back(tmp);
  }
  const std::string_view mat_file = TrimTrailingBlanks(state.fname3);
  const std::size_t slash = mat_file.rfind('/');
  dirs.emplace_back(slash == std::string_view::npos
                        ? "."
                        : std::string(mat_file.substr(0, slash + 1)));
  return dirs;
}

}  // namespace

std::unique_ptr<InputFile> StandardInput() {
  return std::make_unique<PosixInputFile>(STDIN_FILENO);
}

void loadcore(RunState& state, OutputFile& warnings) {
  state.tiles.reset();
  const std::string_view name = TrimTrailingBlanks(state.fname1);
  LoadedMatrix loaded = LoadDataFile(
      state.data_from_stdin ? StandardInput() : OpenDataFile(name), name,
      state.type, static_cast<std::uint64_t>(state.n1),
      {{reinterpret_cast<char*>(state.x), sizeof state.x}, state.core},
      SpoolDirs(state), warnings);
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
