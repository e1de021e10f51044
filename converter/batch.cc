// The command line's run: each data file converted (or described) in turn
// through the same phases as the control lines' run.
#include "converter/batch.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "common/run_error.h"
#include "converter/command_line.h"
#include "converter/control.h"
#include "converter/describe.h"
#include "converter/options.h"
#include "converter/parallel.h"
#include "converter/phases.h"
#include "converter/run.h"
#include "converter/version.h"
#include "loader/load_start.h"
#include "loader/variables.h"
#include "matfile/hdf5_file.h"

namespace unf2mat {
namespace {

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

// The variable name a conversion would settle, for the limits a description
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
void PutFileNames(RunState& state, const CommandLine& line,
                  const std::string& data_file, const SettledNames& names) {
  std::memset(static_cast<void*>(&state), 0, offsetof(RunState, x));
  Assign(state.fname1, data_file);
  if (line.output) Assign(state.fname4, *line.output);
  PutNames(names, state);
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
    if (conversion.inputs.empty()) PutFileNames(state, line, file, names);
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
// the one that -o names or the series joined makes.
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
    return Print(console.err, UsageErrorLine(*error), 2);
  }
  switch (line.action) {
    case CommandLine::Action::kHelp:
      return Print(console.out, HelpText(), 0);
    case CommandLine::Action::kVersion:
      return Print(console.out, "unf2mat " + std::string(kVersionNumber) + "\n",
                   0);
    case CommandLine::Action::kListLayouts:
      return Print(console.out, ShippedLayoutList(), 0);
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
      std::string summary;
      LoadAndWrite(state, conversion, warnings, [&] {
        if (line.verbose) summary = Summary(state, conversion);
      });
      if (line.verbose) FinishLine(state, console, summary);
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
