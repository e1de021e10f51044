#include "converter/console.h"

#include <cstring>
#include <string>

#include "common/run_error.h"

namespace unf2mat {

void PrintLine(Console& console, std::string_view text) {
  if (int error = WriteLine(console.out, text); error != 0) {
    throw RunError(std::string("cannot write standard output: ") +
                   std::strerror(error));
  }
}

}  // namespace unf2mat
