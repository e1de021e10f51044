#include <unistd.h>

#include "converter/run.h"

namespace {
// Static and zero at start; its 440 MB of arrays cost memory only where used.
unf2mat::RunState state;
}  // namespace

int main() {
  unf2mat::PosixInputFile stdin_file(STDIN_FILENO);
  unf2mat::LineReader in(stdin_file);
  unf2mat::PosixOutputFile out(STDOUT_FILENO);
  unf2mat::PosixOutputFile err(STDERR_FILENO);
  unf2mat::Console console{in, out, err};
  return unf2mat::RunConversion(state, console);
}
