// The variables a conversion writes: from each data file, its plain rows or
// the fields of its records, and the fields of its header record; or, for
// files joined as one series, the same variables stacked over all of them.
#ifndef UNF2MAT_LOADER_VARIABLES_H_
#define UNF2MAT_LOADER_VARIABLES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/tile_source.h"
#include "common/value_type.h"
#include "io/file.h"
#include "loader/load_rules.h"
#include "loader/memory_loader.h"
#include "loader/record_layout.h"
#include "matfile/matfile.h"

namespace unf2mat {

// The MAT class of every variable: double, single, or the values' own.
enum class ClassChoice : std::uint8_t { kDouble, kSingle, kNative };

// How the data files are read, as the command line asks.
struct LoadRequest {
  ValueType type = ValueType::kReal4;  // of plain rows and of --dims
  std::uint64_t skip = 0;
  std::optional<RecordLayout> header;
  // Every data record read by it. A field without a name (--dims) is named
  // as plain rows would be.
  std::optional<RecordLayout> record;
  ClassChoice classes = ClassChoice::kDouble;
  bool join = false;      // the data files are one series
  bool prefixed = false;  // fields are named after their data file too
  // Each variable is one Level 5 element (v6, v7): within its 32-bit size,
  // and said where larger than MATLAB loads. Else (v7.3) only dimensions
  // bound it.
  bool level5 = true;
};

// A data file and the name its plain rows take (the prefix of its fields').
struct DataInput {
  std::string file;
  std::string variable;
};

struct Variable {
  std::string name;
  std::vector<std::uint64_t> dims;
  std::uint64_t rows = 0, columns = 0;  // as the values are handed out
  MatClass mat_class = MatClass::kDouble;
  std::unique_ptr<TileSource> values;

  MatVariable View() const {
    return {name, rows, columns, values.get(), dims, mat_class};
  }
};

// What loading gave, with the first data file's load for the one-line
// summary and the run state.
struct LoadedVariables {
  std::vector<Variable> variables;
  std::uint64_t rows = 0, columns = 0;  // of the first file's data records
  LoadEnd end{};
};

// The class values of `type` take; none where `classes` cannot hold them
// exactly.
std::optional<MatClass> ClassOf(ValueType type, ClassChoice classes);

// How the records of each data file are read.
RecordPlan PlanOf(const LoadRequest& request);
// The limits that keep each variable of `input` within a MAT-file element.
LoadLimits VariableLimits(const LoadRequest& request, const DataInput& input);

// A variable's name, dimensions and class.
struct VariableShape {
  std::string name;
  std::vector<std::uint64_t> dims;
  MatClass mat_class = MatClass::kDouble;
};

// The variables of `input` (the first of `files` joined ones), in the order
// they are written: its header fields, then its record fields or plain
// rows, of `rows` rows whose first fixed `width` (values of plain rows,
// steps of an open field).
std::vector<VariableShape> VariableShapes(const DataInput& input,
                                          const LoadRequest& request,
                                          std::uint64_t files,
                                          std::uint64_t rows,
                                          std::uint64_t width);

// The names of all the variables of `inputs`, as they are written.
std::vector<std::string> VariableNames(const std::vector<DataInput>& inputs,
                                       const LoadRequest& request);

// Opens a data file by name.
using FileOpener =
    std::function<std::unique_ptr<InputFile>(const std::string& name)>;

// Loads `inputs` as `request` asks. A matrix of plain rows that must be held
// in memory goes into `store`; a stream is kept as it is read, in the first
// of `spool_dirs` that takes it. Warnings go to `warnings`; a refusal or a
// failure ends the run with a RunError.
LoadedVariables LoadVariables(const std::vector<DataInput>& inputs,
                              const LoadRequest& request,
                              const FileOpener& open, const MemoryStore& store,
                              const std::vector<std::string>& spool_dirs,
                              OutputFile& warnings);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_VARIABLES_H_
