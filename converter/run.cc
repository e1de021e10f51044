#include "converter/run.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "converter/control.h"
#include "loader/loader.h"
#include "matfile/matfile.h"

namespace unf2mat {
namespace {

void Report(Console& console, std::string_view what) {
  std::string message = "unf2mat: ";
  message += what;
  message += '\n';
  // Nowhere left to report a failure to report.
  (void)console.err.Write(message.data(), message.size());
}

}  // namespace

int RunConversion(RunState& state, Console& console) {
  try {
    readcontrol(state, console);
    loadcore(state, console.err);
    writemat(state);
    // The MAT-file has replaced any old one: a failure now must say so.
    if (int error = WriteLine(console.out, "done creating mat-file");
        error != 0) {
      throw RunError(
          "MAT-file " + Quote(TrimTrailingBlanks(state.fname3)) +
          " is written, but standard output failed: " + std::strerror(error));
    }
    return 0;
  } catch (const RunError& e) {
    Report(console, e.what());
  } catch (const std::bad_alloc&) {
    constexpr char kMessage[] = "unf2mat: out of memory\n";
    (void)console.err.Write(kMessage, sizeof kMessage - 1);
  } catch (const std::exception& e) {
    Report(console, std::string("internal error: ") + e.what());
  } catch (...) {
    Report(console, "internal error: an unknown exception");
  }
  return 1;
}

}  // namespace unf2mat
