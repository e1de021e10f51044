// The control lines and the name rules: the data file, the MAT-file and the
// variable name, settled as the six control lines or the command line give
// them.
#ifndef UNF2MAT_CONVERTER_CONTROL_H_
#define UNF2MAT_CONVERTER_CONTROL_H_

#include <cstdint>
#include <string_view>

#include "converter/console.h"
#include "converter/field.h"
#include "converter/run_state.h"

namespace unf2mat {

// Where the names came from, for what a message asks the user to give. The
// command line's '-' reads the data from standard input: the variable is
// then named after the MAT-file, not the data file.
enum class NameSource { kControlLines, kCommandLine, kStandardInput };

// The names as lines 1, 5 and 6 give them (or the command line's data
// file, -o and -n): NUL where none was given.
struct GivenNames {
  Field<80> fname1{};
  Field<84> fname4{};
  Field<80> fname2{};
};

// The names a conversion takes by the name rules: the MAT-file (fname3),
// the variable name (fname2, NUL-padded to n2 where long) and its lengths,
// and the lengths the scans found of the data file's base name (i) and of
// the MAT-file name given (j).
struct SettledNames {
  Field<84> fname3{};
  Field<80> fname2{};
  std::int32_t n1 = 0, n2 = 0, i = 0, j = 0;

  std::string_view variable() const { return Prefix(fname2, n1); }
  std::string_view mat_file() const { return TrimTrailingBlanks(fname3); }
};

// The name rules, for the control lines and the command line alike. A name
// that cannot be settled (no data file name, no variable name) ends the run
// with a RunError that says what to give.
SettledNames SettleNames(const GivenNames& given, NameSource source);

// Puts the names settled into the run state's fields.
void PutNames(const SettledNames& names, RunState& state);

// Warns where MATLAB would refuse the variable name `name`; it is written
// all the same.
void WarnAboutVariableName(std::string_view name, OutputFile& warnings);

// Reads the six control lines (data file name, three ignored lines, MAT-file
// name, variable name), prints the character code of the variable name's
// first character, and settles fname1, fname3, fname2, n1 and n2.
void readcontrol(RunState& state, Console& console);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_CONTROL_H_
