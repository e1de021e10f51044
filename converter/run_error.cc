#include <cstring>

#include "converter/run_state.h"

namespace unf2mat {

std::string Quote(std::string_view name) {
  std::string quoted = "'";
  for (char c : name) {
    if (c == '\0') {
      quoted += "\\0";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

void Warn(OutputFile& err, std::string_view text) {
  const std::string line = "unf2mat: warning: " + std::string(text) + "\n";
  (void)err.Write(line.data(), line.size());
}

std::string FileError(std::string_view what, std::string_view name, int error) {
  return std::string(what) + " " + Quote(name) + ": " + std::strerror(error);
}

}  // namespace unf2mat
