#ifndef UNF2MAT_CONVERTER_RUN_H_
#define UNF2MAT_CONVERTER_RUN_H_

#include "converter/console.h"
#include "converter/run_state.h"

namespace unf2mat {

// One conversion: control input, loading, MAT-file, completion line. Returns
// the exit status: 0, or 1 after a one-line message on the error stream.
int RunConversion(RunState& state, Console& console);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_RUN_H_
