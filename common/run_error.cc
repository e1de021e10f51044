#include "common/run_error.h"

#include <cstdio>
#include <cstring>

namespace unf2mat {

std::string Escape(std::string_view name) {
  std::string quoted;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\0':
        quoted += "\\0";
        break;
      case '\t':
        quoted += "\\t";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      default:
        // No control byte reaches the terminal; bytes from 0x80 up are
        // left alone, as parts of UTF-8 names.
        if (byte < 0x20 || byte == 0x7f) {
          char escape[5];
          std::snprintf(escape, sizeof escape, "\\x%02x", byte);
          quoted += escape;
        } else {
          quoted += c;
        }
    }
  }
  return quoted;
}

std::string Quote(std::string_view name) {
  std::string quoted = "'";
  quoted += Escape(name);
  quoted += '\'';
  return quoted;
}

void Warn(OutputFile& err, std::string_view text) {
  const std::string line = "unf2mat: warning: " + std::string(text) + "\n";
  (void)err.Write(line.data(), line.size());
}

std::string FileError(std::string_view what, std::string_view name, int error) {
  return std::string(what) + " " + Quote(name) + ": " + std::strerror(error);
}

std::string Counted(std::uint64_t n, std::string_view noun) {
  return std::to_string(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
}

}  // namespace unf2mat
