// The phases after the control input (control.h): loading the matrix and
// writing the MAT-file, each over the run state.
#ifndef UNF2MAT_CONVERTER_PHASES_H_
#define UNF2MAT_CONVERTER_PHASES_H_

#include <memory>

#include "converter/run_state.h"
#include "io/file.h"

namespace unf2mat {

// Loads the data file named by fname1 (standard input where
// data_from_stdin): irow and icol, how loading ended (end), and the values,
// read where they lie or held in core (tiles). Warnings go to `warnings`.
void loadcore(RunState& state, OutputFile& warnings);

// Standard input as a data file.
std::unique_ptr<InputFile> StandardInput();

// Writes the loaded matrix as an icol x irow double matrix named fname2
// into the MAT-file fname3; irec is then the number of 8-byte records
// written. Any old file of that name stays until the new one is complete.
void writemat(RunState& state);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_PHASES_H_
