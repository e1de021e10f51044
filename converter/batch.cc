// The command line's run: each data file converted (or described) in turn
// through the same phases as the control lines' run.
#include <cstddef>
#include <cstring>
#include <string>

#include "converter/command_line.h"
#include "converter/control.h"
#include "converter/describe.h"
#include "converter/phases.h"
#include "converter/run.h"
#include "loader/load_start.h"

namespace unf2mat {
namespace {

constexpr std::string_view kVersion = "unf2mat 1.1\n";

constexpr std::string_view kHelp =
    R"(usage: unf2mat [OPTIONS] DATAFILE...
       unf2mat            (no arguments: six control lines on standard input)

Converts each Fortran unformatted sequential DATAFILE into a MAT-file holding
one real double matrix, one record per row: run.dat gives run.mat, variable
run. Loading stops at the first record shorter than the first one, with a
warning. A DATAFILE of - is standard input; it needs -o, and the variable is
named after the MAT-file. Data read from a pipe is kept in a temporary file
in $TMPDIR, or else beside the MAT-file, while it is converted.

  -o, --output MATFILE   the MAT-file (one DATAFILE only); .mat is added
                         unless the name ends in it
  -n, --name VARIABLE    the variable name
  -t, --type TYPE        what each value is: real4 (the default), real8 or
                         int4; every value is widened exactly to double
      --describe         convert nothing; print for each DATAFILE:
                           DATAFILE
                             framing: MARKERS
                             subrecords: none | N records split
                             records: N
                             length: B bytes in N records, first record R
                             (one line per distinct length, in order)
                             matrix: ROWS x COLUMNS of TYPE values
                             stop: none, the whole file loads | RECORD, why
                             unread: B bytes
                             hint: ... (where another --type looks meant)
  -q, --quiet            no warnings
  -v, --verbose          a line per file: run.dat -> run.mat: 40 x 7,
                         variable run
  -h, --help             this text
      --version          the version

Exit status: 0 when every file converted, 1 when any failed (each failure is
reported and the next file converted), 2 for a usage error.
)";

// Takes whatever is written, for warnings that -q silences.
class Discard final : public OutputFile {
 public:
  int Write(const char*, std::size_t) override { return 0; }
};

int Print(OutputFile& out, std::string_view text, int status) {
  (void)out.Write(text.data(), text.size());
  return status;
}

// The command line's twin of readcontrol: the data file as line 1, -o and -n
// as lines 5 and 6, settled by the same rules.
void argcontrol(RunState& state, const CommandLine& line,
                const std::string& data_file, OutputFile& warnings) {
  if (data_file.size() > state.fname1.size()) {
    throw RunError(
        "the data file name " + Quote(data_file) + " is longer than the " +
        std::to_string(state.fname1.size()) + " characters a name may have");
  }
  Assign(state.fname1, data_file);
  if (line.output) Assign(state.fname4, *line.output);
  if (line.name) Assign(state.fname2, *line.name);
  state.type = line.type;
  state.data_from_stdin = data_file == kStandardInput;
  SettleNames(state, warnings,
              state.data_from_stdin ? NameSource::kStandardInput
                                    : NameSource::kCommandLine);
}

// The length of the variable name a conversion would settle, for the limits
// --describe names; where none settles, and so nothing would convert, a
// short name's.
std::uint64_t SettledNameLength(RunState& state, const CommandLine& line,
                                const std::string& data_file) {
  Discard quiet;
  try {
    argcontrol(state, line, data_file, quiet);
  } catch (const RunError&) {
    return 0;
  }
  return static_cast<std::uint64_t>(state.n1);
}

std::string Summary(const RunState& state) {
  return Escape(TrimTrailingBlanks(state.fname1)) + " -> " +
         Escape(TrimTrailingBlanks(state.fname3)) + ": " +
         std::to_string(state.icol) + " x " + std::to_string(state.irow) +
         ", variable " + Escape(Prefix(state.fname2, state.n1)) + "\n";
}

// Only the fields before x: clearing its arrays, 440 MB, for every file of a
// batch would cost more than most conversions.
void ClearForNextFile(RunState& state) {
  std::memset(static_cast<void*>(&state), 0, offsetof(RunState, x));
}

}  // namespace

int RunCommandLine(RunState& state, int argc, char** argv, Console& console) {
  CommandLine line;
  if (auto error = ParseCommandLine(argc, argv, &line)) {
    return Print(console.err, "unf2mat: " + *error + "; see 'unf2mat --help'\n",
                 2);
  }
  switch (line.action) {
    case CommandLine::Action::kHelp:
      return Print(console.out, kHelp, 0);
    case CommandLine::Action::kVersion:
      return Print(console.out, kVersion, 0);
    case CommandLine::Action::kConvert:
    case CommandLine::Action::kDescribe:
      break;
  }
  Discard discard;
  OutputFile& warnings = line.quiet ? discard : console.err;
  int status = 0;
  for (const std::string& data_file : line.data_files) {
    ClearForNextFile(state);
    status |= RunGuarded(console, [&] {
      if (line.action == CommandLine::Action::kDescribe) {
        const std::uint64_t name_length =
            SettledNameLength(state, line, data_file);
        const std::unique_ptr<InputFile> file = data_file == kStandardInput
                                                    ? StandardInput()
                                                    : OpenDataFile(data_file);
        DescribeFile(*file, data_file, line.type, name_length, console.out);
        return;
      }
      argcontrol(state, line, data_file, warnings);
      loadcore(state, warnings);
      writemat(state);
      if (line.verbose) FinishLine(state, console, Summary(state));
    });
  }
  return status;
}

}  // namespace unf2mat
