#include "converter/run.h"

#include <string>

#include "converter/control.h"
#include "loader/loader.h"
#include "matfile/matfile.h"

namespace unf2mat {

int RunConversion(RunState& state, Console& console) {
  try {
    readcontrol(state, console);
    loadcore(state, console.err);
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
