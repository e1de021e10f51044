// One run of the phases, and the one place that reports what ends it.
#ifndef UNF2MAT_CONVERTER_RUN_H_
#define UNF2MAT_CONVERTER_RUN_H_

#include <functional>
#include <string_view>

#include "converter/console.h"
#include "converter/run_state.h"

namespace unf2mat {

// One conversion: control input, loading, MAT-file, completion line. Returns
// the exit status: 0, or 1 after a one-line message on the error stream.
int RunConversion(RunState& state, Console& console);

// Runs the phases of one conversion (or description); whatever ends them is
// reported here, as one line on the error stream. Returns 0, or 1 after that
// line.
int RunGuarded(Console& console, const std::function<void()>& phases);

// The line (with its newline) on standard output after the MAT-file is written;
// a failure to write it says that the MAT-file is in place.
void FinishLine(const RunState& state, Console& console, std::string_view line);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_RUN_H_
