// The phases after the control input (control.h): loading the matrix and
// writing the MAT-file, each over the run state.
#ifndef UNF2MAT_CONVERTER_PHASES_H_
#define UNF2MAT_CONVERTER_PHASES_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "converter/run_state.h"
#include "io/file.h"
#include "loader/foresight.h"
#include "loader/variables.h"
#include "matfile/matfile.h"

namespace unf2mat {

// What the command line asks of a conversion beyond its names: its data
// files and how they are read, and the MAT-file's format; and, between the
// phases, the variables loaded. The six control lines ask none of it: the
// data file fname1, plain rows named fname2, v6.
struct Conversion {
  LoadRequest request;
  std::vector<DataInput> inputs;  // none: fname1
  MatFileOptions mat_options;
  // The loaded variables, their values handed out tile by tile: from core,
  // or read from the data files where they lie.
  std::vector<Variable> variables;
  LoadEnd end{};  // how loading of the first data file ended
  // Where given, runs of records alike are taken as the data files' sizes
  // foretell, for it to check (LoadAndWrite).
  Foresight* foresight = nullptr;
};

// Loads the data files of `conversion` as it asks, or else the one named by
// fname1 as plain rows named fname2: the variables, their values read where
// they lie or held in core; irow and icol of the first file's rows.
// Warnings go to `warnings`.
void loadcore(RunState& state, Conversion& conversion, OutputFile& warnings);

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
void writemat(RunState& state, Conversion& conversion);

// loadcore, then `loaded`, then writemat. Runs of records alike are taken
// as the data files' sizes foretell and checked while the MAT-file is
// written: where one does not hold, the file is discarded and the
// conversion made again, every record walked. Warnings wait until what
// they say is known to hold.
void LoadAndWrite(RunState& state, Conversion& conversion, OutputFile& warnings,
                  const std::function<void()>& loaded = {});

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_PHASES_H_
