#include "loader/variables.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/run_error.h"
#include "common/widen_values.h"
#include "loader/file_tiles.h"
#include "loader/load_messages.h"
#include "loader/loader.h"
#include "loader/place_loader.h"
#include "matfile/mat_format.h"

namespace unf2mat {
namespace {

// Header records are held in memory, all the files' together.
constexpr std::uint64_t kMaxHeaderBytes = 8 * kCoreCapacity;

// Values held in memory in the host's byte order, column after column.
class HeldTiles final : public TileSource {
 public:
  HeldTiles(std::string bytes, ValueType type, std::uint64_t rows)
      : bytes_(std::move(bytes)), type_(type), rows_(rows) {}

  const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                   std::size_t tc, char* staging) override {
    const std::size_t size = ValueSize(type_);
    if (tr == rows_) return bytes_.data() + size * c0 * rows_;
    for (std::size_t c = 0; c < tc; ++c) {
      std::memcpy(staging + size * c * tr,
                  bytes_.data() + size * ((c0 + c) * rows_ + r0), size * tr);
    }
    return staging;
  }
  ValueType element() const override { return type_; }
  std::size_t tile_bytes() const override { return std::size_t{4} << 20; }

 private:
  std::string bytes_;
  ValueType type_;
  std::uint64_t rows_;
};

// As MATLAB keeps them: at least two, and no trailing ones past the second.
std::vector<std::uint64_t> MatDims(std::vector<std::uint64_t> dims) {
  while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
  while (dims.size() < 2) dims.push_back(1);
  return dims;
}

std::string FieldName(const DataInput& input, const LayoutField& field,
                      bool prefixed) {
  if (field.name.empty()) return input.variable;
  return prefixed ? input.variable + "_" + field.name : field.name;
}

MatClass ClassFor(ValueType type, ClassChoice classes) {
  // The command line has refused a class that cannot hold the values.
  return ClassOf(type, classes).value_or(MatClass::kDouble);
}

// Field `field` stacked `count` times along a last dimension (no count: a
// header of one file), its open dimension `width`, as MATLAB keeps it.
std::vector<std::uint64_t> StackedDims(const LayoutField& field,
                                       std::uint64_t width,
                                       std::optional<std::uint64_t> count) {
  std::vector<std::uint64_t> dims = field.dims;
  if (field.open) dims.push_back(width);
  if (count) dims.push_back(*count);
  return MatDims(std::move(dims));
}

void ToHostOrder(char* bytes, std::size_t n, std::size_t size) {
  for (std::size_t k = 0; k < n; k += size) {
    std::reverse(bytes + k, bytes + k + size);
  }
}

// The files of one set of variables: one file, or all, joined.
class SetLoader {
 public:
  SetLoader(const std::vector<DataInput>& inputs, const LoadRequest& request,
            const std::vector<std::string>& spool_dirs, OutputFile& warnings)
      : inputs_(inputs),
        request_(request),
        plan_(PlanOf(request)),
        spool_dirs_(spool_dirs),
        warnings_(warnings) {}

  void Load(const FileOpener& open, LoadedVariables* loaded);

 private:
  void Place(const DataInput& input, const FileOpener& open, LoadLimits limits,
             LoadedVariables* loaded);
  void AddHeaderFields(LoadedVariables* loaded) const;
  void AddRecordFields(LoadedVariables* loaded) const;
  void Add(Variable variable, LoadedVariables* loaded) const;

  const std::vector<DataInput>& inputs_;
  const LoadRequest& request_;
  RecordPlan plan_;
  const std::vector<std::string>& spool_dirs_;
  OutputFile& warnings_;
  std::vector<TilePart> parts_;
  std::vector<std::string> headers_;  // each file's, in the host's order
  std::uint64_t rows_ = 0;
  std::uint64_t width_ = 0;
  std::optional<std::string> width_from_;  // the file that fixed the width
  std::uint64_t header_bytes_ = 0;
};

void SetLoader::Place(const DataInput& input, const FileOpener& open,
                      LoadLimits limits, LoadedVariables* loaded) {
  LoadOutcome outcome;
  PlacedRecords placed = PlaceDataFile(open(input.file), input.file, plan_,
                                       limits, spool_dirs_, &outcome);
  if (!placed.places) {
    throw RunError("data file " + Quote(input.file) +
                   " has records of too many different lengths to convert "
                   "from their places in the file");
  }
  if (outcome.rows > 0 && width_from_ && outcome.columns != width_) {
    const std::string what =
        request_.record
            ? "its first data record gives " + std::to_string(outcome.columns) +
                  " steps of the open last dimension, against " +
                  std::to_string(width_)
            : "its records hold " + std::to_string(outcome.columns) +
                  " values, against " + std::to_string(width_);
    throw RunError("data file " + Quote(input.file) + " does not agree with " +
                   Quote(*width_from_) + ": " + what +
                   "; files joined must agree");
  }
  if (outcome.rows > 0 && !width_from_) {
    width_ = outcome.columns;
    width_from_ = input.file;
  }
  if (parts_.empty()) {
    loaded->rows = outcome.rows;
    loaded->columns = outcome.columns;
    loaded->end = outcome.end;
  }
  WarnAboutLoad(warnings_, outcome.choice, outcome.end, outcome.columns,
                input.file);
  header_bytes_ += placed.header.size();
  if (header_bytes_ > kMaxHeaderBytes) {
    throw RunError("the header records of the data files hold more than " +
                   std::to_string(kMaxHeaderBytes) +
                   " bytes in all, more than are held in memory");
  }
  if (placed.swapped && request_.header) {
    std::uint64_t at = 0;
    for (const LayoutField& field : request_.header->fields) {
      ToHostOrder(placed.header.data() + at,
                  static_cast<std::size_t>(field.bytes()),
                  ValueSize(field.type));
      at += field.bytes();
    }
  }
  headers_.push_back(std::move(placed.header));
  parts_.push_back(placed.Part(input.file, plan_));
  rows_ += outcome.rows;
}

void SetLoader::Load(const FileOpener& open, LoadedVariables* loaded) {
  LoadLimits limits = VariableLimits(request_, inputs_.front());
  for (const DataInput& input : inputs_) {
    Place(input, open, limits, loaded);
    // The files after hold what rows the first ones leave.
    const std::uint64_t fit =
        std::min(limits.max_rows,
                 width_ > 0 ? limits.matrix_values / width_ : UINT64_MAX);
    limits.max_rows = fit - std::min(fit, rows_);
  }
  AddHeaderFields(loaded);
  AddRecordFields(loaded);
}

void SetLoader::AddHeaderFields(LoadedVariables* loaded) const {
  if (!request_.header) return;
  const RecordLayout& layout = *request_.header;
  for (std::size_t k = 0; k < layout.fields.size(); ++k) {
    const LayoutField& field = layout.fields[k];
    if (field.skipped()) continue;
    const std::uint64_t at = layout.offset(k);
    const MatClass mat_class = ClassFor(field.type, request_.classes);
    std::string bytes;
    for (std::size_t f = 0; f < headers_.size(); ++f) {
      const char* values = headers_[f].data() + at;
      if (field.type == ValueType::kInt8 && mat_class == MatClass::kDouble) {
        const std::size_t n = static_cast<std::size_t>(field.values());
        if (const std::size_t bad = FirstInexactInt8(values, n); bad != n) {
          std::int64_t value;
          std::memcpy(&value, values + 8 * bad, sizeof value);
          throw RunError(InexactValueMessage(request_.skip + 1, inputs_[f].file,
                                             field.name, value));
        }
      }
      bytes.append(values, static_cast<std::size_t>(field.bytes()));
    }
    Variable variable;
    variable.name = FieldName(inputs_.front(), field, request_.prefixed);
    variable.rows = field.values();
    variable.columns = headers_.size();
    variable.dims = StackedDims(
        field, 0,
        request_.join ? std::optional<std::uint64_t>(headers_.size())
                      : std::nullopt);
    variable.mat_class = mat_class;
    variable.values = std::make_unique<HeldTiles>(std::move(bytes), field.type,
                                                  field.values());
    Add(std::move(variable), loaded);
  }
}

void SetLoader::AddRecordFields(LoadedVariables* loaded) const {
  auto tiles = [&](RecordView view) {
    view.exact_doubles =
        ClassFor(view.type, request_.classes) == MatClass::kDouble;
    return std::make_unique<FileTiles>(parts_, std::move(view),
                                       std::size_t{1} << 20);
  };
  if (!request_.record) {
    Variable variable;
    variable.name = inputs_.front().variable;
    variable.rows = rows_;
    variable.columns = width_;
    variable.mat_class = ClassFor(request_.type, request_.classes);
    variable.values = tiles({request_.type, 0, width_, false, false, ""});
    Add(std::move(variable), loaded);
    return;
  }
  const RecordLayout& layout = *request_.record;
  for (std::size_t k = 0; k < layout.fields.size(); ++k) {
    const LayoutField& field = layout.fields[k];
    if (field.skipped()) continue;
    const std::uint64_t values = field.values() * (field.open ? width_ : 1);
    Variable variable;
    variable.name = FieldName(inputs_.front(), field, request_.prefixed);
    variable.rows = values;
    variable.columns = rows_;
    variable.dims = StackedDims(field, width_, rows_);
    variable.mat_class = ClassFor(field.type, request_.classes);
    variable.values =
        tiles({field.type, layout.offset(k), values, true, false, field.name});
    Add(std::move(variable), loaded);
  }
}

void SetLoader::Add(Variable variable, LoadedVariables* loaded) const {
  const std::uint64_t bytes = mat::ElementBytes(
      variable.name.size(), variable.dims.size(),
      ClassSize(variable.mat_class) * variable.rows * variable.columns);
  if (request_.level5 && bytes > mat::kMatlabElementBytes) {
    Warn(warnings_, "variable " + Quote(variable.name) + " takes " +
                        std::to_string(bytes) +
                        " bytes, over the 2 GB that MATLAB loads of a Level "
                        "5 variable; Octave and scipy read it, and --format "
                        "v7.3 writes one that MATLAB loads");
  }
  loaded->variables.push_back(std::move(variable));
}

// One file of plain rows of double, the one conversion that may hold its
// matrix in memory (there is one store).
bool Simple(const std::vector<DataInput>& inputs, const LoadRequest& request) {
  return inputs.size() == 1 && request.skip == 0 && !request.header &&
         !request.record && !request.join &&
         request.classes == ClassChoice::kDouble &&
         request.type != ValueType::kInt8;
}

}  // namespace

std::optional<MatClass> ClassOf(ValueType type, ClassChoice classes) {
  switch (classes) {
    case ClassChoice::kNative:
      return NativeClass(type);
    case ClassChoice::kSingle:
      if (type != ValueType::kReal4) return std::nullopt;
      return MatClass::kSingle;
    case ClassChoice::kDouble:
      break;
  }
  return MatClass::kDouble;
}

RecordPlan PlanOf(const LoadRequest& request) {
  RecordPlan plan;
  plan.skip = request.skip;
  if (request.header) plan.header_bytes = request.header->fixed_bytes();
  if (request.record) {
    plan.row = {request.record->fixed_bytes(), request.record->step_bytes(),
                true};
  } else {
    plan.row = {0, ValueSize(request.type), false};
  }
  return plan;
}

// What each variable's element holds keeps the rows within these.
LoadLimits VariableLimits(const LoadRequest& request, const DataInput& input) {
  LoadLimits limits(mat::kMaxDimension, UINT64_MAX, std::string(kLevel5Hint));
  limits.max_rows = mat::kMaxDimension;
  auto most = [](const std::string& name, std::uint64_t dims,
                 std::uint64_t bytes_each) {
    return mat::MaxValueBytes(name.size(), std::max<std::uint64_t>(dims, 2)) /
           bytes_each;
  };
  if (!request.level5) {
    LoadLimits unbounded(mat::kMaxDimension, UINT64_MAX);
    unbounded.max_rows = mat::kMaxDimension;
    return unbounded;
  }
  if (!request.record &&
      ClassFor(request.type, request.classes) == MatClass::kDouble) {
    return ElementLimits(input.variable.size());
  }
  if (!request.record) {
    const std::uint64_t values = most(
        input.variable, 2, ClassSize(ClassFor(request.type, request.classes)));
    limits.record_values = std::min(limits.record_values, values);
    limits.matrix_values = values;
    return limits;
  }
  for (const LayoutField& field : request.record->fields) {
    if (field.skipped()) continue;
    const std::uint64_t steps =
        most(FieldName(input, field, request.prefixed),
             field.dims.size() + (field.open ? 2 : 1),
             ClassSize(ClassFor(field.type, request.classes)) * field.values());
    if (field.open) {
      limits.record_values = std::min(limits.record_values, steps);
      limits.matrix_values = steps;
    } else {
      limits.max_rows = std::min(limits.max_rows, steps);
    }
  }
  return limits;
}

std::vector<VariableShape> VariableShapes(const DataInput& input,
                                          const LoadRequest& request,
                                          std::uint64_t files,
                                          std::uint64_t rows,
                                          std::uint64_t width) {
  std::vector<VariableShape> shapes;
  auto add = [&](const LayoutField& field, std::optional<std::uint64_t> count) {
    if (field.skipped()) return;
    shapes.push_back({FieldName(input, field, request.prefixed),
                      StackedDims(field, width, count),
                      ClassFor(field.type, request.classes)});
  };
  if (request.header) {
    for (const LayoutField& field : request.header->fields) {
      add(field, request.join ? std::optional(files) : std::nullopt);
    }
  }
  if (!request.record) {
    shapes.push_back({input.variable,
                      {rows, width},
                      ClassFor(request.type, request.classes)});
    return shapes;
  }
  for (const LayoutField& field : request.record->fields) add(field, rows);
  return shapes;
}

std::vector<std::string> VariableNames(const std::vector<DataInput>& inputs,
                                       const LoadRequest& request) {
  std::vector<std::string> names;
  const std::size_t sets = request.join ? 1 : inputs.size();
  for (std::size_t k = 0; k < sets; ++k) {
    for (VariableShape& shape :
         VariableShapes(inputs[k], request, inputs.size(), 0, 0)) {
      names.push_back(std::move(shape.name));
    }
  }
  return names;
}

LoadedVariables LoadVariables(const std::vector<DataInput>& inputs,
                              const LoadRequest& request,
                              const FileOpener& open, const MemoryStore& store,
                              const std::vector<std::string>& spool_dirs,
                              OutputFile& warnings) {
  LoadedVariables loaded;
  if (Simple(inputs, request)) {
    const DataInput& input = inputs.front();
    LoadedMatrix matrix = LoadDataFile(
        open(input.file), input.file, request.type,
        VariableLimits(request, input), store, spool_dirs, warnings);
    if (request.level5) {
      if (const std::string warning = ElementSizeWarning(
              input.file, input.variable.size(), matrix.rows * matrix.columns);
          !warning.empty()) {
        Warn(warnings, warning);
      }
    }
    loaded.rows = matrix.rows;
    loaded.columns = matrix.columns;
    loaded.end = matrix.end;
    Variable variable;
    variable.name = input.variable;
    variable.rows = matrix.rows;
    variable.columns = matrix.columns;
    variable.values = std::move(matrix.values);
    loaded.variables.push_back(std::move(variable));
    return loaded;
  }
  if (request.join) {
    SetLoader(inputs, request, spool_dirs, warnings).Load(open, &loaded);
    return loaded;
  }
  for (const DataInput& input : inputs) {
    LoadedVariables one;
    const std::vector<DataInput> just{input};
    SetLoader(just, request, spool_dirs, warnings).Load(open, &one);
    if (loaded.variables.empty()) {
      loaded.rows = one.rows;
      loaded.columns = one.columns;
      loaded.end = one.end;
    }
    for (Variable& variable : one.variables) {
      loaded.variables.push_back(std::move(variable));
    }
  }
  return loaded;
}

}  // namespace unf2mat
