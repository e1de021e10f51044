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

std::string FileError(std::string_view what, std::string_view name, int error) {
  return std::string(what) + " " + Quote(name) + ": " + std::strerror(error);
}

}  // namespace unf2mat
