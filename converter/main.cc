#include <unistd.h>

#include <csignal>

#include "converter/batch.h"
#include "converter/run.h"

namespace {
// Static and zero at start; its 440 MB of arrays cost memory only where used.
unf2mat::RunState state;
}  // namespace

int main(int argc, char** argv) {
  // A file size limit then fails the write (EFBIG), which is reported and
  // cleaned up, instead of killing the process.
  std::signal(SIGXFSZ, SIG_IGN);
  // Likewise a closed standard output fails the write (EPIPE): the run can
  // then say whether the MAT-file was written, rather than die silently.
  std::signal(SIGPIPE, SIG_IGN);
  unf2mat::PosixInputFile stdin_file(STDIN_FILENO);
  unf2mat::LineReader in(stdin_file);
  unf2mat::PosixOutputFile out(STDOUT_FILENO);
  unf2mat::PosixOutputFile err(STDERR_FILENO);
  unf2mat::Console console{in, out, err};
  // Without arguments, the six control lines on standard input, as ever.
  if (argc > 1) return unf2mat::RunCommandLine(state, argc, argv, console);
  return unf2mat::RunConversion(state, console);
}
