// MATLAB's v7.3 MAT-file: an HDF5 file whose first 512 bytes (its user
// block) hold the MAT header, a dataset per variable in the root group.
#ifndef UNF2MAT_MATFILE_HDF5_FILE_H_
#define UNF2MAT_MATFILE_HDF5_FILE_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "io/file.h"
#include "matfile/matfile.h"

namespace unf2mat {

inline constexpr std::size_t kUserBlockBytes = 512;

// Whether this build writes HDF5 (it was built with the HDF5 library).
bool CanWriteHdf5();

// Why v7.3 cannot name a dataset `name`; empty where it can.
std::string Hdf5NameProblem(std::string_view name);

// Writes `variables` into the new, empty file at `path`, reached under that
// name only by this call, leaving the user block for the caller's header;
// each dataset chunked, deflated at `level` where given, filled tile by
// tile. A failure ends the run with a RunError that names `shown_path`.
// `same_file`, another handle on the file at `path`, starts the disk on
// what is written as it goes.
void WriteHdf5(const std::string& path, const std::string& shown_path,
               std::span<const MatVariable> variables, std::optional<int> level,
               std::size_t tile_bytes, OutputFile& same_file);

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_HDF5_FILE_H_
