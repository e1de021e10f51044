// The command line: unf2mat [OPTIONS] DATAFILE..., its options those of
// converter/options.h.
#ifndef UNF2MAT_CONVERTER_COMMAND_LINE_H_
#define UNF2MAT_CONVERTER_COMMAND_LINE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "loader/variables.h"
#include "matfile/matfile.h"

namespace unf2mat {

struct CommandLine {
  enum class Action { kConvert, kDescribe, kHelp, kVersion, kListLayouts };
  Action action = Action::kConvert;
  std::vector<std::string> data_files;
  std::optional<std::string> output;  // as line 5 would give it
  std::optional<std::string> name;    // as line 6 would give it
  // How the data files are read: by a layout of the whole file, or by the
  // type, the records skipped, a header and a record layout or dimensions;
  // the class of the variables, and whether the files are one series.
  LoadRequest request;
  // The MAT-file's format and deflate level.
  MatFileOptions mat_options;
  std::size_t jobs = 1;  // data files converted at once
  bool quiet = false;    // no warnings
  bool verbose = false;  // a line per file converted
};

// Parses the arguments with getopt_long. Empty on success; else the one-line
// reason for a usage error.
std::optional<std::string> ParseCommandLine(int argc, char** argv,
                                            CommandLine* line);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_COMMAND_LINE_H_
