#include "converter/run.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "common/run_error.h"
#include "converter/control.h"
#include "converter/phases.h"

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

int RunGuarded(Console& console, const std::function<void()>& phases) {
  try {
    phases();
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

void FinishLine(const RunState& state, Console& console,
                std::string_view line) {
  // The MAT-file has replaced any old one: a failure now must say so.
  if (int error = console.out.Write(line.data(), line.size()); error != 0) {
    throw RunError(
        "MAT-file " + Quote(TrimTrailingBlanks(state.fname3)) +
        " is written, but standard output failed: " + std::strerror(error));
  }
}

int RunConversion(RunState& state, Console& console) {
  return RunGuarded(console, [&] {
    readcontrol(state, console);
    Conversion plain_rows;
    LoadAndWrite(state, plain_rows, console.err);
    FinishLine(state, console, " done creating mat-file\n");
  });
}

}  // namespace unf2mat
