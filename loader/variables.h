// The variables a conversion writes: each field of the layout a variable,
// stacked over the repetitions of the groups it is read in, a cell array
// where its shape changes with them; the plain rows of the control lines a
// matrix, a record a row. Several data files give each their own variables,
// or, joined as one series, the same ones stacked over all of them.
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
#include "loader/layout.h"
#include "loader/load_rules.h"
#include "loader/load_start.h"
#include "loader/memory_loader.h"
#include "loader/record_layout.h"
#include "matfile/element_budget.h"
#include "matfile/matfile.h"

namespace unf2mat {

// The MAT class of every numeric variable: double, single, or the values'
// own. Characters are always char, logicals logical.
enum class ClassChoice : std::uint8_t { kDouble, kSingle, kNative };

// How the data files are read, as the command line asks.
struct LoadRequest {
  ValueType type = ValueType::kReal4;  // of plain rows and of --dims
  std::uint64_t skip = 0;
  std::optional<RecordLayout> header;
  // Every data record read by it. A field without a name (--dims) is named
  // as plain rows would be.
  std::optional<RecordLayout> record;
  // The layout of the whole file (--layout), in place of the above.
  std::shared_ptr<const Layout> layout;
  ClassChoice classes = ClassChoice::kDouble;
  bool join = false;      // the data files are one series
  bool prefixed = false;  // fields are named after their data file too
  // What each variable's element holds (v6, v7: a Level 5 element), and
  // when it is said to be larger than MATLAB loads; none (v7.3): only
  // dimensions bound it.
  const ElementBudget* budget = &kLevel5Budget;
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
  bool complex = false;
  std::unique_ptr<TileSource> values;
  std::unique_ptr<CellSource> cells;

  MatVariable View() const {
    MatVariable view{name, rows, columns, values.get(), dims, mat_class};
    view.complex = complex;
    view.cells = cells.get();
    return view;
  }
};

// What loading gave, with the first data file's load for the one-line
// summary and the run state.
struct LoadedVariables {
  std::vector<Variable> variables;
  std::uint64_t rows = 0, columns = 0;  // of the first file's plain rows
  LoadEnd end{};
};

// The class values of `type` take; none where `classes` cannot hold them
// exactly.
std::optional<MatClass> ClassOf(ValueType type, ClassChoice classes);

// The layout the data files are read by: --layout's, or the one the other
// options give.
std::shared_ptr<const Layout> LayoutOf(const LoadRequest& request);

// The limits that keep each variable of `layout` (by id), read from
// `input`, within a MAT-file element.
std::vector<LoadLimits> VariableLimits(const LoadRequest& request,
                                       const Layout& layout,
                                       const DataInput& input);

// A variable as --describe tells it: its name, and its dimensions and class;
// of a cell array, the shapes of its cells.
struct VariableShape {
  std::string name;
  std::vector<std::uint64_t> dims;
  MatClass mat_class = MatClass::kDouble;
  bool complex = false;
  bool cell = false;
  std::vector<VariableShape> cells;  // the first few distinct ones
};

// The variables `placed` gives, read by `layout` from `input`, in the order
// they are written.
std::vector<VariableShape> VariableShapes(const DataInput& input,
                                          const LoadRequest& request,
                                          const Layout& layout,
                                          const PlacedFile& placed);

// The names of all the variables of `inputs`, as they are written.
std::vector<std::string> VariableNames(const std::vector<DataInput>& inputs,
                                       const LoadRequest& request);

// Opens a data file by name.
using FileOpener =
    std::function<std::unique_ptr<InputFile>(const std::string& name)>;

// Loads `inputs` as `request` asks. A matrix of plain rows that must be held
// in memory goes into `store`; a stream is kept as it is read, in the first
// of `spool_dirs` that takes it. Warnings go to `warnings`; a refusal or a
// failure ends the run with a RunError. Given `foresight`, runs of records
// alike are taken as the files' sizes foretell, for it to check
// (PlaceDataFile).
LoadedVariables LoadVariables(const std::vector<DataInput>& inputs,
                              const LoadRequest& request,
                              const FileOpener& open, const MemoryStore& store,
                              const std::vector<std::string>& spool_dirs,
                              OutputFile& warnings,
                              Foresight* foresight = nullptr);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_VARIABLES_H_
