// The control lines and the name rules: the data file, the MAT-file and the
// variable name, settled as the six control lines or the command line give
// them.
#ifndef UNF2MAT_CONVERTER_CONTROL_H_
#define UNF2MAT_CONVERTER_CONTROL_H_

#include "converter/console.h"
#include "converter/run_state.h"

namespace unf2mat {

// Where the names came from, for what a message asks the user to give. The
// command line's '-' reads the data from standard input: the variable is
// then named after the MAT-file, not the data file.
enum class NameSource { kControlLines, kCommandLine, kStandardInput };

// The name rules: from fname1, and fname4 and fname2 where given, settles
// fname3 (the MAT-file), fname2, n1 and n2; a variable name that MATLAB
// refuses draws a warning on `warnings` (WarnAboutVariableName).
void SettleNames(RunState& state, OutputFile& warnings, NameSource source);

// Warns where MATLAB would refuse the variable name `name`; it is written
// all the same.
void WarnAboutVariableName(std::string_view name, OutputFile& warnings);

// Reads the six control lines (data file name, three ignored lines, MAT-file
// name, variable name), prints the character code of the variable name's
// first character, and settles fname1, fname3, fname2, n1 and n2.
void readcontrol(RunState& state, Console& console);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_CONTROL_H_
