#include "converter/phases.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "loader/load_start.h"
#include "loader/loader.h"
#include "loader/variables.h"
#include "matfile/mat_format.h"
#include "matfile/matfile.h"

namespace unf2mat {

std::vector<std::string> SpoolDirs(std::string_view mat_file) {
  std::vector<std::string> dirs;
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp) {
    dirs.emplace_back(tmp);
  }
  const std::size_t slash = mat_file.rfind('/');
  dirs.emplace_back(slash == std::string_view::npos
                        ? "."
                        : std::string(mat_file.substr(0, slash + 1)));
  return dirs;
}

namespace {

std::vector<std::string> SpoolDirsOf(const RunState& state) {
  return SpoolDirs(TrimTrailingBlanks(state.fname3));
}

// Warnings kept until what they say is known to hold.
class HeldWarnings final : public OutputFile {
 public:
  int Write(const char* data, std::size_t n) override {
    text_.append(data, n);
    return 0;
  }
  void Release(OutputFile& to) {
    if (!text_.empty()) (void)to.Write(text_.data(), text_.size());
    text_.clear();
  }

 private:
  std::string text_;
};

// Whether a conversion made again reads its data files as the first did:
// standard input may be a pipe read once.
bool ReadableAgain(const Conversion& conversion) {
  return std::none_of(
      conversion.inputs.begin(), conversion.inputs.end(),
      [](const DataInput& input) { return input.file == kStandardInput; });
}

}  // namespace

std::unique_ptr<InputFile> StandardInput() {
  return std::make_unique<PosixInputFile>(STDIN_FILENO);
}

void loadcore(RunState& state, Conversion& conversion, OutputFile& warnings) {
  conversion.variables.clear();
  // The command line's '-' is standard input; a control line names a file.
  const bool from_command_line = !conversion.inputs.empty();
  std::vector<DataInput> inputs = conversion.inputs;
  if (!from_command_line) {
    inputs.push_back({std::string(TrimTrailingBlanks(state.fname1)),
                      std::string(Prefix(state.fname2, state.n1))});
  }
  const FileOpener open =
      [&](const std::string& name) -> std::unique_ptr<InputFile> {
    if (from_command_line && name == kStandardInput) return StandardInput();
    return OpenDataFile(name);
  };
  LoadedVariables loaded = LoadVariables(
      inputs, conversion.request, open,
      {{reinterpret_cast<char*>(state.x), sizeof state.x}, state.core},
      SpoolDirsOf(state), warnings, conversion.foresight);
  state.irow = static_cast<std::int32_t>(loaded.columns);
  state.icol = static_cast<std::int32_t>(loaded.rows);
  conversion.end = loaded.end;
  conversion.variables = std::move(loaded.variables);
}

void writemat(RunState& state, Conversion& conversion) {
  Assign(state.header, mat::kHeaderText);
  state.version = mat::kVersion;
  Assign(state.endian, mat::kEndian);
  std::vector<MatVariable> views;
  for (const Variable& variable : conversion.variables) {
    views.push_back(variable.View());
  }
  MatFileOptions options = conversion.mat_options;
  options.scratch_dirs = SpoolDirsOf(state);
  const std::uint64_t records = WriteMatFile(
      std::string(TrimTrailingBlanks(state.fname3)), views, options);
  state.irec = static_cast<std::int32_t>(records);
  conversion.variables.clear();  // closes the data files
}

void LoadAndWrite(RunState& state, Conversion& conversion, OutputFile& warnings,
                  const std::function<void()>& loaded) {
  if (ReadableAgain(conversion)) {
    Foresight foresight;
    HeldWarnings held;
    conversion.foresight = &foresight;
    conversion.mat_options.before_commit = [&foresight] {
      if (!foresight.Holds()) throw Unforeseen();
    };
    struct Undo {
      Conversion& conversion;
      ~Undo() {
        conversion.foresight = nullptr;
        conversion.mat_options.before_commit = nullptr;
      }
    } undo{conversion};
    try {
      loadcore(state, conversion, held);
      // Nothing taken unread: the warnings hold now.
      if (foresight.empty()) held.Release(warnings);
      if (loaded) loaded();
      writemat(state, conversion);
      held.Release(warnings);
      return;
    } catch (const Unforeseen&) {
    } catch (...) {
      // A failure of a conversion whose guesses held is its own.
      if (foresight.Holds()) {
        held.Release(warnings);
        throw;
      }
    }
  }
  loadcore(state, conversion, warnings);
  if (loaded) loaded();
  writemat(state, conversion);
}

}  // namespace unf2mat
