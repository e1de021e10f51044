// The command line's run: each data file converted, or described, in turn.
#ifndef UNF2MAT_CONVERTER_BATCH_H_
#define UNF2MAT_CONVERTER_BATCH_H_

#include "converter/console.h"
#include "converter/run_state.h"

namespace unf2mat {

// Runs what the command line asks for; returns the exit status: 0, 1 when any
// file failed (each reported, the rest still done), 2 for a usage error.
int RunCommandLine(RunState& state, int argc, char** argv, Console& console);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_BATCH_H_
