#ifndef UNF2MAT_CONVERTER_CONTROL_H_
#define UNF2MAT_CONVERTER_CONTROL_H_

#include "converter/console.h"
#include "converter/run_state.h"

namespace unf2mat {

// Reads the six control lines (data file name, three ignored lines, MAT-file
// name, variable name), prints the character code of the variable name's
// first character, and settles fname1, fname3, fname2, n1 and n2.
void readcontrol(RunState& state, Console& console);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_CONTROL_H_
