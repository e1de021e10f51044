// How a run ends on failure and how it speaks of files: the one exception
// that carries a message to the user, and the quoting every message uses.
#ifndef UNF2MAT_COMMON_RUN_ERROR_H_
#define UNF2MAT_COMMON_RUN_ERROR_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "io/file.h"

namespace unf2mat {

// Ends the run: the message goes to stderr after "unf2mat: ", exit status 1.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file name for messages: quoted, with every control byte escaped (\0, \t,
// \n, \r, or \x1b and the like).
std::string Quote(std::string_view name);
// The same without the quotes.
std::string Escape(std::string_view name);

// One line "unf2mat: warning: text" on `err`; a warning that cannot be shown
// is not worth failing the run for.
void Warn(OutputFile& err, std::string_view text);

// "what 'name': OS reason".
std::string FileError(std::string_view what, std::string_view name, int error);

// "3 values", "1 value".
std::string Counted(std::uint64_t n, std::string_view noun);

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_RUN_ERROR_H_
