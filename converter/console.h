// Standard input, output and error of a run.
#ifndef UNF2MAT_CONVERTER_CONSOLE_H_
#define UNF2MAT_CONVERTER_CONSOLE_H_

#include "io/file.h"
#include "io/line_reader.h"

namespace unf2mat {

// Standard input, output and error of a run; tests substitute their own.
struct Console {
  LineReader& in;
  OutputFile& out;
  OutputFile& err;
};

// Writes one line on standard output; a failure ends the run.
void PrintLine(Console& console, std::string_view text);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_CONSOLE_H_
