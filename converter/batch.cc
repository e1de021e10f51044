// The command line's run: each data file converted (or described) in turn
// through the same phases as the control lines' run.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "common/run_error.h"
#include "converter/command_line.h"
#include "converter/control.h"
#include "converter/describe.h"
#include "converter/parallel.h"
#include "converter/phases.h"
#include "converter/run.h"
#include "converter/version.h"
#include "loader/load_start.h"
#include "loader/shipped_layouts.h"
#include "loader/variables.h"
#include "matfile/hdf5_file.h"

namespace unf2mat {
namespace {

constexpr std::string_view kHelp =
    R"(usage: unf2mat [OPTIONS] DATAFILE...
       unf2mat            (no arguments: six control lines on standard input)

Converts each Fortran unformatted sequential DATAFILE into a MAT-file holding
one real double matrix, one record per row: run.dat gives run.mat, variable
run. Loading stops at the first record shorter than the first one, with a
warning. --layout reads the whole file as its WRITE statements wrote it, each
field a variable: records, groups that repeat (a count of times, or until the
file ends), sizes read from the file, characters, complex values, logicals.
A LAYOUT of --header and --record is a comma-separated list of NAME:TYPE or
NAME:TYPE(D1,D2,...), TYPE real4, real8, int4 or int8; a field named _ is
skipped, and the last dimension of the last field of --record may be *, set
by the first data record. A DATAFILE of - is standard input; it needs -o,
and the variable is named after the MAT-file. Data read from a pipe is kept
in a temporary file in $TMPDIR, or else beside the MAT-file, while it is
converted.

  -o, --output MATFILE   the MAT-file; .mat is added unless the name ends
                         in it. With several DATAFILEs, one MAT-file for all,
                         variables named after each (a, a_u, ...)
  -n, --name VARIABLE    the variable name
      --layout NAME|FILE|TEXT
                         the whole file's layout: a shipped one by name, a
                         file, or its text, such as 'record n: int4; repeat
                         { record t: real4; record q: real4(n) }'; FILE may
                         hold comments (#) and a statement a line.
                         --layout list names the shipped ones
  -t, --type TYPE        what each value of plain rows or --dims is: real4
                         (the default), real8, int4 or int8
      --skip N           the first N records of each DATAFILE are not loaded
      --header LAYOUT    the record after those read by LAYOUT, each field a
                         variable of its own
      --record LAYOUT    every data record read by LAYOUT, each field a
                         variable stacked over the records along a last
                         dimension: u:real4(5,3) gives u, 5 x 3 x RECORDS
      --dims D1xD2[x...] each record one array of --type values: the
                         variable is D1 x D2 x ... x RECORDS
      --class CLASS      double (the default: every value widened exactly),
                         single (real4 values as they are) or native (each
                         value its own: single, double, int32, int64)
      --join             the DATAFILEs as one series into one MAT-file:
                         records stack across files, header fields one value
                         per file
      --format FORMAT    v6 (the default), v7 (each variable compressed) or
                         v7.3 (HDF5: no size limit; MATLAB, Octave and h5py
                         read it, scipy does not)
      --level N          the deflate level, 1 (the default of v7) to 9; v7.3
                         is compressed only when it is given
      --describe         convert nothing; print for each DATAFILE:
                           DATAFILE
                             framing: MARKERS
                             subrecords: none | N records split
                             records: N
                             length: B bytes in N records, first record R
                             (one line per distinct length, in order)
                             matrix: ROWS x COLUMNS of TYPE values
                             variable: NAME, D1 x D2 x ..., CLASS (with
                               --record or --header, for each variable)
                             stop: none, the whole file loads | RECORD, why
                             unread: B bytes
                             hint: ... (where another --type looks meant, or
                               the first record a header)
  -q, --quiet            no warnings
  -v, --verbose          a line per MAT-file: run.dat -> run.mat: 40 x 7,
                         variable run
  -j, --jobs N           convert up to N data files at once, where each has
                         a MAT-file of its own; messages stay in file order
  -h, --help             this text
      --version          the version

Exit status: 0 when every file converted, 1 when any failed (each failure is
reported and the next file converted), 2 for a usage error.
)";

// The shipped layouts, a line each: their names and what they read.
std::string LayoutList() {
  std::string text;
  for (const ShippedLayout& layout : ShippedLayouts()) {
    std::string name(layout.name);
    name.resize(std::max<std::size_t>(name.size() + 2, 18), ' ');
    text += name + std::string(layout.summary()) + "\n";
  }
  return text;
}

// Takes whatever is written, for warnings that -q silences.
class Discard final : public OutputFile {
 public:
  int Write(const char*, std::size_t) override { return 0; }
};

int Print(OutputFile& out, std::string_view text, int status) {
  (void)out.Write(text.data(), text.size());
  return status;
}

// The names of the command line's data file `data_file` by the control
// lines' rules: the data file as line 1, -o and -n as lines 5 and 6.
SettledNames NamesOf(const CommandLine& line, const std::string& data_file) {
  GivenNames given;
  if (data_file.size() > given.fname1.size()) {
    throw RunError(
        "the data file name " + Quote(data_file) + " is longer than the " +
        std::to_string(given.fname1.size()) + " characters a name may have");
  }
  Assign(given.fname1, data_file);
  if (line.output) Assign(given.fname4, *line.output);
  if (line.name) Assign(given.fname2, *line.name);
  return SettleNames(given, data_file == kStandardInput
                                ? NameSource::kStandardInput
                                : NameSource::kCommandLine);
}

// The variable name a conversion would settle, for the limits --describe
// names; where none settles, and so nothing would convert, an empty one.
std::string SettledName(const CommandLine& line, const std::string& data_file) {
  try {
    return std::string(NamesOf(line, data_file).variable());
  } catch (const RunError&) {
    return "";
  }
}

// The run state of a conversion of `data_file`, as the control lines would
// leave it: every field before x cleared (clearing its arrays, 440 MB, for
// every file of a batch would cost more than most conversions), then the
// names.
void PutNames(RunState& state, const CommandLine& line,
              const std::string& data_file, const SettledNames& names) {
  std::memset(static_cast<void*>(&state), 0, offsetof(RunState, x));
  Assign(state.fname1, data_file);
  if (line.output) Assign(state.fname4, *line.output);
  state.fname3 = names.fname3;
  state.fname2 = names.fname2;
  state.n1 = names.n1;
  state.n2 = names.n2;
  state.i = names.i;
  state.j = names.j;
}

std::string Dims(const Variable& variable) {
  std::string text;
  const std::vector<std::uint64_t> dims =
      variable.dims.empty() ? std::vector{variable.rows, variable.columns}
                            : variable.dims;
  for (std::uint64_t dim : dims) {
    text += (text.empty() ? "" : " x ") + std::to_string(dim);
  }
  return text;
}

std::string Summary(const RunState& state, const Conversion& conversion) {
  std::string files;
  for (const DataInput& input : conversion.inputs) {
    files += (files.empty() ? "" : ", ") + Escape(input.file);
  }
  std::string line =
      files + " -> " + Escape(TrimTrailingBlanks(state.fname3)) + ": ";
  const std::vector<Variable>& variables = conversion.variables;
  if (variables.size() == 1 && variables[0].dims.empty()) {
    return line + std::to_string(variables[0].rows) + " x " +
           std::to_string(variables[0].columns) + ", variable " +
           Escape(variables[0].name) + "\n";
  }
  line += "variables";
  for (std::size_t k = 0; k < variables.size(); ++k) {
    line += (k == 0 ? " " : ", ") + Escape(variables[k].name) + " " +
            Dims(variables[k]) + (variables[k].cells ? " cell" : "");
  }
  return line + "\n";
}

// The conversion of the data files of one MAT-file: their names settled
// as the control lines' are, and what their variables are called; the run
// state is left as for the first. A name MATLAB refuses draws a warning, a
// name given twice is refused, before anything is read.
Conversion SettleInputs(RunState& state, const CommandLine& line,
                        const std::vector<std::string>& files,
                        OutputFile& warnings) {
  Conversion conversion;
  for (const std::string& file : files) {
    const SettledNames names = NamesOf(line, file);
    if (conversion.inputs.empty()) PutNames(state, line, file, names);
    conversion.inputs.push_back({file, std::string(names.variable())});
  }
  conversion.request = line.request;
  conversion.request.prefixed = files.size() > 1 && !line.request.join;
  conversion.mat_options = line.mat_options;
  std::vector<std::string> names =
      VariableNames(conversion.inputs, conversion.request);
  for (const std::string& name : names) {
    WarnAboutVariableName(name, warnings);
    if (conversion.mat_options.format != MatFormat::kV73) continue;
    if (const std::string problem = Hdf5NameProblem(name); !problem.empty()) {
      throw RunError(problem);
    }
  }
  std::sort(names.begin(), names.end());
  if (auto twice = std::adjacent_find(names.begin(), names.end());
      twice != names.end()) {
    throw RunError("variable name " + Quote(*twice) +
                   " would be given twice in MAT-file " +
                   Quote(TrimTrailingBlanks(state.fname3)) +
                   "; nothing was written");
  }
  return conversion;
}

// The data files each MAT-file is written from: each its own, or all into
// the one that --output names or --join makes.
std::vector<std::vector<std::string>> MatFiles(const CommandLine& line) {
  if (line.output || line.request.join) return {line.data_files};
  std::vector<std::vector<std::string>> each;
  for (const std::string& file : line.data_files) each.push_back({file});
  return each;
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
      return Print(console.out, "unf2mat " + std::string(kVersionNumber) + "\n",
                   0);
    case CommandLine::Action::kListLayouts:
      return Print(console.out, LayoutList(), 0);
    case CommandLine::Action::kConvert:
    case CommandLine::Action::kDescribe:
      break;
  }
  Discard discard;
  OutputFile& warnings = line.quiet ? discard : console.err;
  int status = 0;
  if (line.action == CommandLine::Action::kDescribe) {
    for (const std::string& data_file : line.data_files) {
      status |= RunGuarded(console, [&] {
        const DataInput input{data_file, SettledName(line, data_file)};
        std::unique_ptr<InputFile> file = data_file == kStandardInput
                                              ? StandardInput()
                                              : OpenDataFile(data_file);
        DescribeFile(std::move(file), input, line.request, SpoolDirs(""),
                     console.out);
      });
    }
    return status;
  }
  const std::vector<std::vector<std::string>> mat_files = MatFiles(line);
  const auto convert = [&](std::size_t k) {
    return RunGuarded(console, [&] {
      // Said before any data file is read.
      CheckFormatBuilt(line.mat_options.format);
      Conversion conversion = SettleInputs(state, line, mat_files[k], warnings);
      loadcore(state, conversion, warnings);
      if (line.verbose) {
        const std::string summary = Summary(state, conversion);
        writemat(state, conversion);
        FinishLine(state, console, summary);
      } else {
        writemat(state, conversion);
      }
    });
  };
  if (line.jobs > 1 && mat_files.size() > 1) {
    return RunGuarded(console,
                      [&] {
                        status = RunInChildren(mat_files.size(), line.jobs,
                                               convert, console);
                      }) |
           status;
  }
  for (std::size_t k = 0; k < mat_files.size(); ++k) status |= convert(k);
  return status;
}

}  // namespace unf2mat
