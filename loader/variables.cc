#include "loader/variables.h"

#include <algorithm>
#include <utility>

#include "common/run_error.h"
#include "loader/array_plan.h"
#include "loader/file_tiles.h"
#include "loader/load_messages.h"
#include "loader/loader.h"
#include "matfile/mat_format.h"

namespace unf2mat {
namespace {

// A file's reads are read in tiles through a buffer of this size.
constexpr std::size_t kReadBytes = std::size_t{1} << 20;
// --describe names this many of a cell array's distinct shapes.
constexpr std::size_t kShownCellShapes = 3;

// As MATLAB keeps them: at least two, and no trailing ones past the second.
std::vector<std::uint64_t> MatDims(std::vector<std::uint64_t> dims) {
  while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
  while (dims.size() < 2) dims.push_back(1);
  return dims;
}

std::string FieldName(const DataInput& input, const LayoutVariable& variable,
                      bool prefixed) {
  if (variable.name.empty()) return input.variable;
  return prefixed ? input.variable + "_" + variable.name : variable.name;
}

MatClass ClassFor(ValueType type, ClassChoice classes) {
  // The command line has refused a class that cannot hold the values.
  return ClassOf(type, classes).value_or(MatClass::kDouble);
}

// The class of complex values of `type` parts.
MatClass ComplexClass(ValueType type, ClassChoice classes) {
  return type == ValueType::kReal4 && classes != ClassChoice::kDouble
             ? MatClass::kSingle
             : MatClass::kDouble;
}

// One variable's reads in every file of a set, as one sequence.
struct Trace {
  const LayoutVariable* declared = nullptr;
  std::uint32_t id = 0;
  std::string name;
  bool rows = false;  // the plain rows: a record a row
  ReadTrace reads;
  // The files' shares: where each file's reads begin in the sequence.
  std::vector<TilePart> parts;
  std::vector<std::uint64_t> part_first_read;
  std::vector<const VariableReads*> file_reads;
};

// The array one plan of `trace` makes, its values read where they lie.
class ArrayMaker {
 public:
  ArrayMaker(const Trace& trace, ClassChoice classes)
      : trace_(trace), classes_(classes) {}

  // The plan's array as the MAT-file takes it; its values only where asked.
  Variable Make(const ArrayPlan& plan, bool with_values) const {
    Variable v;
    if (!plan.shape) return Empty(plan);
    const ReadShape& shape = trace_.reads.shapes[*plan.shape];
    const bool is_char = shape.type == ValueType::kChar1;
    if (trace_.rows) {
      v.rows = plan.count;
      v.columns = shape.count();
      v.mat_class = ClassFor(shape.type, classes_);
    } else if (is_char) {
      v.rows = plan.count * shape.count();
      v.columns = shape.length;
      v.dims = {v.rows, v.columns};
      v.mat_class = MatClass::kChar;
    } else {
      v.rows = shape.count();
      v.columns = plan.count;
      v.dims = shape.dims;
      v.dims.insert(v.dims.end(), plan.dims.begin(), plan.dims.end());
      v.dims = MatDims(std::move(v.dims));
      v.complex = shape.complex;
      v.mat_class = shape.complex ? ComplexClass(shape.type, classes_)
                                  : ClassFor(shape.type, classes_);
    }
    if (with_values && v.rows * v.columns > 0) {
      RecordView view;
      view.type = shape.type;
      view.values =
          is_char || trace_.rows ? v.columns : v.rows * (shape.complex ? 2 : 1);
      view.records_as_columns = !is_char && !trace_.rows;
      view.exact_doubles = v.mat_class == MatClass::kDouble;
      view.field = trace_.declared->name;
      v.values =
          std::make_unique<FileTiles>(Parts(plan, shape), view, kReadBytes);
    }
    return v;
  }

 private:
  // An array of no reads. Of a variable read in groups that repeated none
  // of the times, the shape its field gives where it is all numbers, and
  // none of the repetitions; of an empty cell, 0 x 0.
  Variable Empty(const ArrayPlan& plan) const {
    Variable v;
    const LayoutVariable& declared = *trace_.declared;
    v.complex = declared.complex;
    v.mat_class = declared.complex ? ComplexClass(declared.type, classes_)
                                   : ClassFor(declared.type, classes_);
    if (!trace_.rows && !plan.dims.empty()) {
      v.dims = declared.is_char
                   ? std::vector<std::uint64_t>{0, declared.literal_length}
                   : declared.literal_dims;
      if (!declared.is_char) {
        v.dims.insert(v.dims.end(), plan.dims.begin(), plan.dims.end());
      }
      v.dims = MatDims(std::move(v.dims));
      v.rows = v.dims[0];
    }
    return v;
  }

  // The places of the plan's reads, a part per file.
  std::vector<TilePart> Parts(const ArrayPlan& plan,
                              const ReadShape& shape) const {
    if (plan.reads.size() == 1 && plan.reads[0].first == 0 &&
        plan.reads[0].step == 1 && plan.reads[0].count == trace_.reads.reads) {
      return trace_.parts;  // every read, as the walk placed them
    }
    const std::uint64_t rows_per_read =
        shape.type == ValueType::kChar1 ? shape.count() : 1;
    std::vector<TilePart> parts;
    std::vector<PayloadPiece> pieces;
    std::size_t part = 0;
    std::size_t made_from = SIZE_MAX;
    std::shared_ptr<RecordPlaces> building;
    for (const ReadSegment& segment : plan.reads) {
      for (std::uint64_t k = 0; k < segment.count; ++k) {
        const std::uint64_t read = segment.first + k * segment.step;
        while (part + 1 < trace_.parts.size() &&
               trace_.part_first_read[part + 1] <= read) {
          ++part;
        }
        if (parts.empty() || made_from != part) {
          TilePart made = trace_.parts[part];
          building = std::make_shared<RecordPlaces>();
          made.places = building;
          made.first_record = made.record_step = 0;
          parts.push_back(std::move(made));
          made_from = part;
        }
        const std::uint64_t row =
            (read - trace_.part_first_read[part]) * rows_per_read;
        for (std::uint64_t r = 0; r < rows_per_read; ++r) {
          trace_.parts[part].places->Find(row + r, &pieces);
          building->Add(pieces);
        }
      }
    }
    return parts;
  }

  const Trace& trace_;
  ClassChoice classes_;
};

// A cell array's cells, made as they are written.
class PlannedCells final : public CellSource {
 public:
  PlannedCells(std::shared_ptr<const Trace> trace, ArrayPlan plan,
               ClassChoice classes)
      : trace_(std::move(trace)),
        planner_(trace_->reads),
        plan_(std::move(plan)),
        maker_(*trace_, classes),
        classes_(classes) {}

  MatVariable Cell(std::uint64_t k, bool with_values) override {
    const ArrayPlan cell = planner_.Cell(plan_, k);
    inner_.reset();
    if (cell.cell) {
      inner_ = std::make_unique<PlannedCells>(trace_, cell, classes_);
      current_ = Variable{};
      current_.dims = cell.dims;
      current_.rows = cell.dims[0];
      current_.columns = cell.count == 0 ? 0 : 1;
      for (std::size_t d = 1; d < cell.dims.size(); ++d) {
        current_.columns =
            d == 1 ? cell.dims[d] : current_.columns * cell.dims[d];
      }
      MatVariable view = current_.View();
      view.cells = inner_.get();
      return view;
    }
    current_ = maker_.Make(cell, with_values);
    current_.name.clear();
    return current_.View();
  }

 private:
  std::shared_ptr<const Trace> trace_;
  ArrayPlanner planner_;
  ArrayPlan plan_;
  ArrayMaker maker_;
  ClassChoice classes_;
  Variable current_;
  std::unique_ptr<PlannedCells> inner_;
};

// A cell array's rows and columns: its first dimension, and the others'.
void CellExtent(const std::vector<std::uint64_t>& dims, Variable* v) {
  v->rows = dims[0];
  v->columns = 1;
  for (std::size_t d = 1; d < dims.size(); ++d) v->columns *= dims[d];
}

// The variable `trace` makes.
Variable MakeVariable(std::shared_ptr<const Trace> trace, ClassChoice classes,
                      bool with_values) {
  const ArrayPlanner planner(trace->reads);
  ArrayPlan plan = planner.Top();
  Variable v;
  if (plan.cell) {
    v.dims = plan.dims;
    CellExtent(v.dims, &v);
    if (with_values) {
      v.cells = std::make_unique<PlannedCells>(trace, std::move(plan), classes);
    }
  } else {
    v = ArrayMaker(*trace, classes).Make(plan, with_values);
  }
  v.name = trace->name;
  return v;
}

VariableShape ShapeOf(const Variable& v) {
  return {v.name,      v.dims.empty() ? std::vector{v.rows, v.columns} : v.dims,
          v.mat_class, v.complex,
          false,       {}};
}

// The shape of `trace`'s variable, and of the first few distinct shapes of
// its cells.
VariableShape DescribeVariable(std::shared_ptr<const Trace> trace,
                               ClassChoice classes) {
  const ArrayPlanner planner(trace->reads);
  const ArrayPlan plan = planner.Top();
  Variable top = MakeVariable(trace, classes, false);
  VariableShape shape = ShapeOf(top);
  if (!plan.cell) return shape;
  shape.cell = true;
  std::uint64_t cells = 1;
  for (std::uint64_t d : plan.dims) cells *= d;
  ArrayMaker maker(*trace, classes);
  for (std::uint64_t k = 0; k < cells && shape.cells.size() < kShownCellShapes;
       ++k) {
    const ArrayPlan cell = planner.Cell(plan, k);
    VariableShape one;
    if (cell.cell) {
      one.cell = true;
      one.dims = cell.dims;
    } else {
      one = ShapeOf(maker.Make(cell, false));
    }
    one.name.clear();
    const bool seen = std::any_of(
        shape.cells.begin(), shape.cells.end(), [&](const VariableShape& s) {
          return s.dims == one.dims && s.mat_class == one.mat_class &&
                 s.cell == one.cell && s.complex == one.complex;
        });
    if (!seen) shape.cells.push_back(std::move(one));
  }
  return shape;
}

// The files of one set of variables, each placed by the layout: one file,
// or all, joined.
class SetLoader {
 public:
  SetLoader(const std::vector<DataInput>& inputs, const LoadRequest& request,
            std::shared_ptr<const Layout> layout,
            const std::vector<std::string>& spool_dirs, OutputFile& warnings)
      : inputs_(inputs),
        request_(request),
        layout_(std::move(layout)),
        statements_(layout_->ById()),
        spool_dirs_(spool_dirs),
        warnings_(warnings) {}

  // Runs of records are foreseen where `foresight` is given.
  void Load(const FileOpener& open, Foresight* foresight,
            LoadedVariables* loaded);

 private:
  void CheckAgreement(const PlacedFile& placed, const DataInput& input) const;
  std::shared_ptr<const Trace> TraceOf(std::uint32_t id) const;
  void Add(Variable variable, LoadedVariables* loaded) const;

  const std::vector<DataInput>& inputs_;
  const LoadRequest& request_;
  std::shared_ptr<const Layout> layout_;
  std::vector<const Statement*> statements_;
  const std::vector<std::string>& spool_dirs_;
  OutputFile& warnings_;
  std::vector<PlacedFile> placed_;
};

void SetLoader::CheckAgreement(const PlacedFile& placed,
                               const DataInput& input) const {
  const PlacedFile& first = placed_.front();
  for (std::uint32_t v = 0; v < layout_->variables.size(); ++v) {
    const VariableReads& a = first.walk.variables[v];
    const VariableReads& b = placed.walk.variables[v];
    if (a.reads == 0 || b.reads == 0 || a.shapes == b.shapes) continue;
    const ReadShape& sa = a.shapes.front();
    const ReadShape& sb = b.shapes.front();
    std::string what;
    if (layout_->rows == v) {
      what = "its records hold " + std::to_string(sb.count()) +
             " values, against " + std::to_string(sa.count());
    } else if (!sa.dims.empty() && !sb.dims.empty() &&
               layout_->variables[v].literal_dims.back() == 0 &&
               sa.dims.back() != sb.dims.back()) {
      what = "its first data record gives " + std::to_string(sb.dims.back()) +
             " steps of the open last dimension, against " +
             std::to_string(sa.dims.back());
    } else {
      what = "its field " + Quote(layout_->variables[v].name) +
             " differs in shape";
    }
    throw RunError("data file " + Quote(input.file) + " does not agree with " +
                   Quote(inputs_.front().file) + ": " + what +
                   "; files joined must agree");
  }
}

std::shared_ptr<const Trace> SetLoader::TraceOf(std::uint32_t id) const {
  auto trace = std::make_shared<Trace>();
  const LayoutVariable& declared = layout_->variables[id];
  trace->declared = &declared;
  trace->id = id;
  trace->name = FieldName(inputs_.front(), declared, request_.prefixed);
  trace->rows = layout_->rows == id;
  // Joined files: the repetitions of a group that repeats until the file
  // ends go on from file to file; a variable read once in each, or in a
  // counted group, gains a level of the files.
  // Of a variable never read: the groups its first field is in.
  std::size_t depth = declared.groups.size();
  bool goes_on = depth > 0 && !statements_[declared.groups[0]]->count;
  for (const PlacedFile& placed : placed_) {
    const VariableReads& reads = placed.walk.variables[id];
    if (reads.read) {
      depth = reads.groups.size();
      goes_on = depth > 0 && !statements_[reads.groups[0]]->count;
      break;
    }
  }
  const bool file_level = request_.join && !goes_on && !trace->rows;
  trace->reads.depth = depth + (file_level ? 1 : 0);
  if (file_level) trace->reads.outer_repetitions = placed_.size();
  std::uint64_t shift = 0;  // of the until-end group's repetitions
  for (std::size_t f = 0; f < placed_.size(); ++f) {
    const VariableReads& reads = placed_[f].walk.variables[id];
    trace->file_reads.push_back(&reads);
    std::uint64_t extent = 0;
    for (const VariableReads::Run& run : reads.runs) {
      VariableReads::Run moved = run;
      moved.first_read += trace->reads.reads;
      const ReadShape& shape = reads.shapes[run.shape];
      auto known = std::find(trace->reads.shapes.begin(),
                             trace->reads.shapes.end(), shape);
      moved.shape =
          static_cast<std::uint32_t>(known - trace->reads.shapes.begin());
      if (known == trace->reads.shapes.end()) {
        trace->reads.shapes.push_back(shape);
      }
      if (file_level) {
        moved.index.insert(moved.index.begin(), f);
      } else if (goes_on && !moved.index.empty()) {
        extent = std::max(
            extent, run.index[0] + (run.index.size() == 1 ? run.reads : 1));
        moved.index[0] += shift;
      }
      trace->reads.runs.push_back(std::move(moved));
    }
    shift += extent;
    if (!file_level && depth > 0) {
      // The outermost group's repetitions, which go on from file to file.
      const auto& reps =
          placed_[f].walk.repetitions[reads.read ? reads.groups[0]
                                                 : declared.groups[0]];
      if (reps) trace->reads.outer_repetitions += *reps;
    }
    trace->part_first_read.push_back(trace->reads.reads);
    trace->reads.reads += reads.reads;
    if (auto part = PartOf(placed_[f], id, inputs_[f].file)) {
      trace->parts.push_back(std::move(*part));
    } else {
      throw RunError("data file " + Quote(inputs_[f].file) +
                     " has records of too many different lengths to convert "
                     "from their places in the file");
    }
  }
  return trace;
}

void SetLoader::Load(const FileOpener& open, Foresight* foresight,
                     LoadedVariables* loaded) {
  std::vector<LoadLimits> limits =
      VariableLimits(request_, *layout_, inputs_.front());
  for (const DataInput& input : inputs_) {
    PlacedFile placed =
        PlaceDataFile(open(input.file), input.file, *layout_, limits,
                      spool_dirs_, nullptr, false, foresight);
    if (!placed_.empty()) CheckAgreement(placed, input);
    WarnAboutWalk(warnings_, placed, input.file, *layout_);
    // The files after hold what the first ones leave.
    for (std::size_t v = 0; v < limits.size(); ++v) {
      const VariableReads& reads = placed.walk.variables[v];
      limits[v].matrix_values -= std::min(limits[v].matrix_values, reads.units);
      limits[v].max_rows -= std::min(limits[v].max_rows, reads.reads);
    }
    if (placed_.empty()) {
      loaded->rows = placed.walk.rows;
      loaded->columns = placed.walk.columns;
      loaded->end = placed.walk.end;
      if (!layout_->rows) {
        for (const VariableReads& reads : placed.walk.variables) {
          loaded->rows = std::max(loaded->rows, reads.reads);
        }
      }
    }
    placed_.push_back(std::move(placed));
  }
  for (std::uint32_t id = 0; id < layout_->variables.size(); ++id) {
    // A field only in branches no file took is no variable of them.
    if (std::none_of(placed_.begin(), placed_.end(),
                     [&](const PlacedFile& placed) {
                       return placed.walk.Reached(layout_->variables[id]);
                     })) {
      continue;
    }
    Add(MakeVariable(TraceOf(id), request_.classes, true), loaded);
  }
}

void SetLoader::Add(Variable variable, LoadedVariables* loaded) const {
  if (request_.budget != nullptr && !variable.cells) {
    const std::string warning = request_.budget->Warning(
        variable.name, variable.dims.size(),
        variable.rows * variable.columns * (variable.complex ? 2 : 1),
        ClassSize(variable.mat_class));
    if (!warning.empty()) Warn(warnings_, warning);
  }
  loaded->variables.push_back(std::move(variable));
}

// One file of plain rows of double, the one conversion that may hold its
// matrix in memory (there is one store).
bool Simple(const std::vector<DataInput>& inputs, const LoadRequest& request) {
  return inputs.size() == 1 && !request.layout && request.skip == 0 &&
         !request.header && !request.record && !request.join &&
         request.classes == ClassChoice::kDouble &&
         request.type != ValueType::kInt8;
}

}  // namespace

std::optional<MatClass> ClassOf(ValueType type, ClassChoice classes) {
  if (type == ValueType::kChar1) return MatClass::kChar;
  if (type == ValueType::kLogical4) return MatClass::kLogical;
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

std::shared_ptr<const Layout> LayoutOf(const LoadRequest& request) {
  if (request.layout) return request.layout;
  return std::make_shared<const Layout>(OptionsLayout(
      request.skip, request.header, request.record, request.type));
}

std::vector<LoadLimits> VariableLimits(const LoadRequest& request,
                                       const Layout& layout,
                                       const DataInput& input) {
  std::vector<LoadLimits> all;
  for (std::uint32_t id = 0; id < layout.variables.size(); ++id) {
    const LayoutVariable& variable = layout.variables[id];
    if (request.budget == nullptr) {
      LoadLimits unbounded(mat::kMaxDimension, UINT64_MAX);
      unbounded.max_rows = mat::kMaxDimension;
      all.push_back(unbounded);
      continue;
    }
    const std::string name = FieldName(input, variable, request.prefixed);
    const MatClass mat_class =
        variable.complex ? ComplexClass(variable.type, request.classes)
                         : ClassFor(variable.type, request.classes);
    if (layout.rows == id && mat_class == MatClass::kDouble) {
      all.push_back(ElementLimits(*request.budget, name.size()));
      continue;
    }
    const std::uint64_t rank =
        layout.rows == id ? 2
                          : std::max<std::uint64_t>(
                                variable.rank + variable.groups.size(), 2);
    const std::uint64_t values =
        request.budget->MaxValues(name.size(), rank, ClassSize(mat_class));
    // An open field's first record gives steps of the other dimensions'
    // values each.
    std::uint64_t per_step =
        variable.is_char ? std::max<std::uint64_t>(variable.literal_length, 1)
                         : (variable.complex ? 2 : 1);
    for (std::size_t d = 0; d + 1 < variable.literal_dims.size(); ++d) {
      per_step *= std::max<std::uint64_t>(variable.literal_dims[d], 1);
    }
    LoadLimits limits(
        std::min<std::uint64_t>(mat::kMaxDimension, values / per_step), values,
        std::string(kLevel5Hint));
    limits.max_rows = mat::kMaxDimension;
    all.push_back(std::move(limits));
  }
  return all;
}

std::vector<VariableShape> VariableShapes(const DataInput& input,
                                          const LoadRequest& request,
                                          const Layout& layout,
                                          const PlacedFile& placed) {
  std::vector<VariableShape> shapes;
  const std::vector<DataInput> inputs{input};
  LoadRequest one = request;
  one.join = false;
  for (std::uint32_t id = 0; id < layout.variables.size(); ++id) {
    if (!placed.walk.Reached(layout.variables[id])) continue;
    auto trace = std::make_shared<Trace>();
    trace->declared = &layout.variables[id];
    trace->id = id;
    trace->name = FieldName(input, layout.variables[id], request.prefixed);
    trace->rows = layout.rows == id;
    const VariableReads& reads = placed.walk.variables[id];
    const std::vector<std::uint32_t>& groups =
        reads.read ? reads.groups : layout.variables[id].groups;
    trace->reads = {
        reads.runs, reads.shapes, reads.reads, groups.size(),
        groups.empty() ? 0 : placed.walk.repetitions[groups[0]].value_or(0)};
    shapes.push_back(DescribeVariable(trace, request.classes));
  }
  return shapes;
}

std::vector<std::string> VariableNames(const std::vector<DataInput>& inputs,
                                       const LoadRequest& request) {
  const std::shared_ptr<const Layout> layout = LayoutOf(request);
  std::vector<std::string> names;
  const std::size_t sets = request.join ? 1 : inputs.size();
  for (std::size_t k = 0; k < sets; ++k) {
    for (const LayoutVariable& variable : layout->variables) {
      names.push_back(FieldName(inputs[k], variable, request.prefixed));
    }
  }
  return names;
}

LoadedVariables LoadVariables(const std::vector<DataInput>& inputs,
                              const LoadRequest& request,
                              const FileOpener& open, const MemoryStore& store,
                              const std::vector<std::string>& spool_dirs,
                              OutputFile& warnings, Foresight* foresight) {
  LoadedVariables loaded;
  if (Simple(inputs, request)) {
    const DataInput& input = inputs.front();
    LoadedMatrix matrix = LoadDataFile(
        open(input.file), input.file, request.type,
        request.budget != nullptr
            ? ElementLimits(*request.budget, input.variable.size())
            : VariableLimits(request, *LayoutOf(request), input).front(),
        store, spool_dirs, warnings, foresight);
    if (request.budget != nullptr) {
      if (const std::string warning = request.budget->Warning(
              input.variable, 2, matrix.rows * matrix.columns, sizeof(double));
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
  const std::shared_ptr<const Layout> layout = LayoutOf(request);
  if (request.join) {
    SetLoader(inputs, request, layout, spool_dirs, warnings)
        .Load(open, foresight, &loaded);
    return loaded;
  }
  for (const DataInput& input : inputs) {
    LoadedVariables one;
    const std::vector<DataInput> just{input};
    SetLoader(just, request, layout, spool_dirs, warnings)
        .Load(open, foresight, &one);
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
