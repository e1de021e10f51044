// The phases after the control input (control.h): loading the matrix and
// writing the MAT-file, each over the run state.
#ifndef UNF2MAT_CONVERTER_PHASES_H_
#define UNF2MAT_CONVERTER_PHASES_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "converter/run_state.h"
#include "io/file.h"

namespace unf2mat {

// Loads the data files of inputs as request asks, or else the one named by
// fname1 as plain rows named fname2: the variables, their values read where
// they lie or held in core; irow, icol and end of the first file's rows.
// Warnings go to `warnings`.
void loadcore(RunState& state, OutputFile& warnings);

// A data file of this name on the command line is standard input.
inline constexpr std::string_view kStandardInput = "-";

// Standard input as a data file.
std::unique_ptr<InputFile> StandardInput();

// Where a data file read as a stream is kept: in $TMPDIR, else beside the
// MAT-file `mat_file`.
std::vector<std::string> SpoolDirs(std::string_view mat_file);

// Writes the loaded variables into the MAT-file fname3; irec is then the
// number of 8-byte records written. Any old file of that name stays until
// the new one is complete.
void writemat(RunState& state);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_PHASES_H_
