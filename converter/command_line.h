// The command line: unf2mat [OPTIONS] DATAFILE...
#ifndef UNF2MAT_CONVERTER_COMMAND_LINE_H_
#define UNF2MAT_CONVERTER_COMMAND_LINE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "converter/console.h"
#include "converter/phases.h"
#include "converter/run_state.h"

namespace unf2mat {

struct CommandLine {
  enum class Action { kConvert, kDescribe, kHelp, kVersion, kListLayouts };
  Action action = Action::kConvert;
  std::vector<std::string> data_files;
  std::optional<std::string> output;  // -o: as line 5 would give it
  std::optional<std::string> name;    // -n: as line 6 would give it
  // How the data files are read: --layout, or --type, --skip, --header,
  // --record and --dims; --class and --join.
  LoadRequest request;
  // --format and --level: the MAT-file's format.
  MatFileOptions mat_options;
  std::size_t jobs = 1;  // -j: data files converted at once
  bool quiet = false;    // -q: no warnings
  bool verbose = false;  // -v: a line per file converted
};

// Parses the arguments with getopt_long. Empty on success; else the one-line
// reason for a usage error.
std::optional<std::string> ParseCommandLine(int argc, char** argv,
                                            CommandLine* line);

// Runs what the command line asks for; returns the exit status: 0, 1 when any
// file failed (each reported, the rest still done), 2 for a usage error.
int RunCommandLine(RunState& state, int argc, char** argv, Console& console);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_COMMAND_LINE_H_
