#include "converter/run.h"

#include <cstring>
#include <string>

#include "converter/control.h"
#include "loader/loader.h"
#include "matfile/matfile.h"

namespace unf2mat {

void PrintLine(Console& console, std::string_view text) {
  if (int error = WriteLine(console.out, text); error != 0) {
    throw RunError(std::string("cannot write standard output: ") +
                   std::strerror(error));
  }
}

int RunConversion(RunState& state, Console& console) {
  try {
    readcontrol(state, console);
    loadcore(state);
    writemat(state);
    PrintLine(console, "done creating mat-file");
    return 0;
  } catch (const RunError& e) {
    std::string message = std::string("unf2mat: ") + e.what() + "\n";
    console.err.Write(message.data(), message.size());
    return 1;
  }
}

}  // namespace unf2mat
