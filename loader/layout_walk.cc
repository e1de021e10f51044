#include "loader/layout_walk.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <utility>

#include "common/coding.h"
#include "common/run_error.h"
#include "loader/foresight.h"
#include "loader/layout_values.h"
#include "loader/load_messages.h"
#include "matfile/mat_format.h"

namespace unf2mat {
namespace {

using Verdict = LoadRules::Verdict;
using record::Step;

// A variable whose shape changes from read to read has a run per read.
constexpr std::size_t kMaxRuns = std::size_t{1} << 20;
// The largest size a product of dimensions may reach before it is checked
// against the record: far past any record, far from overflow.
constexpr std::uint64_t kMaxProduct = std::uint64_t{1} << 62;

// A record as the scanner found it.
struct Fetched {
  Step step = Step::kEnd;
  std::uint64_t bytes = 0;
  std::uint64_t offset = 0;
  std::uint64_t number = 0;
  std::vector<PayloadPiece> pieces;
};

// A field of a record statement as sized for one record.
struct FieldPlan {
  const FieldDecl* decl;
  ReadShape shape;
  std::uint64_t at;     // in the record
  std::uint64_t bytes;  // in it
};

// Bytes [from, from + n) of a payload that lies in `pieces`.
void Cut(const std::vector<PayloadPiece>& pieces, std::uint64_t from,
         std::uint64_t n, std::vector<PayloadPiece>* out) {
  std::vector<PayloadPiece>& cut = *out;
  cut.clear();
  std::uint64_t start = 0;
  for (const PayloadPiece& piece : pieces) {
    const std::uint64_t end = start + piece.bytes;
    if (n > 0 && from < end) {
      const std::uint64_t take = std::min(n, end - from);
      cut.push_back({piece.offset + (from - start), take});
      from += take;
      n -= take;
    }
    start = end;
  }
}

class Walker {
 public:
  Walker(const Layout& layout, const WalkSetup& setup, WalkSink* sink)
      : layout_(layout),
        setup_(setup),
        sink_(sink),
        scanner_(*setup.file, setup.size, setup.framing),
        rules_(setup.size),
        values_(layout),
        open_steps_(layout.statements),
        bulk_(layout.statements, false) {
    result_.variables.resize(layout.variables.size());
    result_.taken.resize(layout.statements);
    result_.repetitions.resize(layout.statements);
    ran_.resize(layout.statements);
    MarkBulk(layout.body);
  }

  WalkResult Run();
  // Whether the walk took records unread.
  bool foresaw() const { return result_.foreseen.has_value(); }

 private:
  enum class Flow { kGo, kStop };

  // A group being repeated: its statement, its repetition, and its index.
  struct Level {
    const Statement* statement;
    std::uint64_t rep;
    std::int64_t first;
    // Of a group that repeats until the file ends: each variable's reads
    // when its repetition began, and its first record.
    std::vector<std::uint64_t> reads_before;
    std::uint64_t rep_first_record;
  };

  void MarkBulk(const Block& block);
  static bool UsesIndex(const Expr& e);

  const Fetched& Fetch();
  void Unfetch() { pending_ = true; }
  // Records a statement has read: not one fetched and handed back.
  std::uint64_t RecordsTaken() const { return records_ - (pending_ ? 1 : 0); }

  Flow RunBlock(const Block& block);
  Flow RunStatement(const Statement& s);
  Flow RunRecord(const Statement& s);
  Flow RunSkip(const Statement& s);
  Flow RunRepeat(const Statement& s);
  Flow RunUntilEnd(const Statement& s);
  Flow RunEither(const Statement& s);
  // Takes `n` more records that repeat the last, each read by `s` as it was;
  // returns how many it took.
  std::uint64_t Bulk(const Statement& s, std::uint64_t most);
  // Where the records left to the file's end are enough, all of them
  // repeats by its size, no more than `most` and fewer than `within`: takes
  // them unread, noted in the result to be checked, and returns how many;
  // else 0.
  std::uint64_t Foresee(std::uint64_t most, std::uint64_t within);

  // Sizes the fields of `s` in record `r`; false where the record is too
  // short, with *need the bytes it would take. `dry` changes nothing that
  // lasts: the either's test of a branch.
  bool Plan(const Statement& s, const Fetched& r, bool dry,
            std::vector<FieldPlan>* plans, std::uint64_t* need);
  void Take(const Statement& s, const Fetched& r,
            const std::vector<FieldPlan>& plans, std::uint64_t need);
  void Hold(std::uint32_t variable, const ReadShape& shape, const Fetched& r,
            std::uint64_t at);
  std::uint32_t ShapeId(VariableReads& reads, const ReadShape& shape);
  void NoteRead(std::uint32_t variable, const ReadShape& shape,
                std::uint64_t record, std::uint64_t n);
  Flow Check(Verdict verdict);

  std::int64_t Eval(const Expr& e, const std::string& what);
  std::uint64_t EvalSize(const Expr& e, const FieldDecl& field,
                         const std::string& what);
  [[noreturn]] void Fail(const std::string& message) const;
  std::string Where(const TextPlace& at) const;

  // The stop of a walk that needed a record where the file ended.
  Flow EndedAt(int line);
  Flow DamagedAt(const Fetched& r);
  void Rollback(Level& level);
  // Group `s` ran `reps` repetitions.
  void Ran(const Statement& s, std::uint64_t reps) {
    result_.repetitions[s.id] =
        ++ran_[s.id] == 1 ? std::optional<std::uint64_t>(reps) : std::nullopt;
  }

  const Layout& layout_;
  const WalkSetup& setup_;
  WalkSink* sink_;
  RecordScanner scanner_;
  LoadRules rules_;
  WalkResult result_;
  LayoutValues values_;
  std::vector<std::optional<std::uint64_t>> open_steps_;  // by statement
  std::vector<bool> bulk_;  // by repeat statement: its one record in bulk
  std::vector<Level> levels_;
  Fetched rec_;
  bool pending_ = false;
  std::uint64_t records_ = 0;
  std::uint64_t last_need_ = 0;   // of the last record taken
  std::vector<FieldPlan> plans_;  // of the record being read
  std::vector<PayloadPiece> cut_;
  // The record the expressions being evaluated size or count, for messages.
  std::uint64_t eval_record_ = 0;
  bool rolled_back_ = false;
  std::vector<std::uint32_t> ran_;  // times each group ran, by statement
};

bool Walker::UsesIndex(const Expr& e) {
  if (e.kind == Expr::Kind::kIndex) return true;
  return std::any_of(e.args.begin(), e.args.end(), UsesIndex);
}

// A group of one record, none of whose fields gives a size or changes with
// the group's index, reads every record alike: runs of records of one
// length are taken at once.
void Walker::MarkBulk(const Block& block) {
  for (const Statement& s : block) {
    for (const Block& inner : s.blocks) MarkBulk(inner);
    if (s.kind != Statement::Kind::kRepeat || s.blocks[0].size() != 1 ||
        s.blocks[0][0].kind != Statement::Kind::kRecord) {
      continue;
    }
    bool alike = true;
    for (const FieldDecl& field : s.blocks[0][0].fields) {
      if (!field.skipped() && layout_.variables[field.variable].sized_by) {
        alike = false;
      }
      if (field.length && UsesIndex(*field.length)) alike = false;
      for (const Dim& dim : field.dims) {
        if (!dim.open && UsesIndex(dim.size)) alike = false;
      }
      // Several strings a read are rows at two distances.
      if (field.type == ValueType::kChar1 && !field.dims.empty()) {
        alike = false;
      }
    }
    bulk_[s.id] = alike;
  }
}

const Fetched& Walker::Fetch() {
  if (pending_) {
    pending_ = false;
    return rec_;
  }
  rec_.offset = scanner_.offset();
  rec_.step = scanner_.Next(UINT64_MAX, &rec_.pieces, &rec_.bytes);
  if (rec_.step == Step::kFailed || scanner_.error() != 0) {
    Fail(FileError("cannot read data file", setup_.name,
                   scanner_.error() != 0 ? scanner_.error() : EIO));
  }
  if (rec_.step == Step::kOk) {
    rec_.number = ++records_;
    result_.walked_to = scanner_.offset();
    if (sink_ != nullptr) {
      sink_->Walked(rec_.number, rec_.offset, rec_.bytes,
                    scanner_.subrecords());
    }
  } else {
    rec_.number = records_ + 1;
    rec_.bytes = 0;
  }
  return rec_;
}

void Walker::Fail(const std::string& message) const { throw RunError(message); }

std::string Walker::Where(const TextPlace& at) const {
  return at.line > 0
             ? " on line " + std::to_string(at.line) + " of " + layout_.origin
             : " of " + layout_.origin;
}

std::int64_t Walker::Eval(const Expr& e, const std::string& what) {
  std::string why;
  const std::optional<std::int64_t> value = values_.Eval(e, &why);
  if (!value) {
    Fail("data file " + Quote(setup_.name) + ", record " +
         std::to_string(eval_record_) + ": " + what + ": " + why);
  }
  return *value;
}

std::uint64_t Walker::EvalSize(const Expr& e, const FieldDecl& field,
                               const std::string& what) {
  const std::int64_t value = Eval(e, what);
  if (value < 0 || static_cast<std::uint64_t>(value) > mat::kMaxDimension) {
    const std::string from = values_.Sources(e);
    Fail("data file " + Quote(setup_.name) + ": " + what + " of field " +
         Quote(field.name) + Where(field.at) + ", " + e.text + ", is " +
         std::to_string(value) + (from.empty() ? "" : " (from " + from + ")") +
         (value < 0 ? ": a size cannot be negative"
                    : ", past the " + std::to_string(mat::kMaxDimension) +
                          " a MAT-file dimension holds") +
         "; nothing was written");
  }
  return static_cast<std::uint64_t>(value);
}

bool Walker::Plan(const Statement& s, const Fetched& r, bool dry,
                  std::vector<FieldPlan>* plans, std::uint64_t* need) {
  // The plans' shapes keep their storage from record to record.
  plans->resize(s.fields.size());
  std::size_t planned = 0;
  eval_record_ = r.number;
  std::uint64_t at = 0;
  // A dry plan holds the values it reads only until it is done.
  std::optional<LayoutValues> saved;
  if (dry) saved.emplace(values_);
  struct Restore {
    std::optional<LayoutValues>& saved;
    LayoutValues& values;
    ~Restore() {
      if (saved) values = std::move(*saved);
    }
  } restore{saved, values_};
  for (const FieldDecl& field : s.fields) {
    FieldPlan& plan = (*plans)[planned++];
    plan.decl = &field;
    plan.shape.type = field.type;
    plan.shape.complex = field.complex;
    plan.shape.length = 0;
    plan.shape.dims.clear();
    plan.at = at;
    std::uint64_t unit = field.value_bytes();
    if (field.length) {
      plan.shape.length = EvalSize(*field.length, field, "the length");
      unit = plan.shape.length;
    }
    std::uint64_t product = 1;
    bool overflow = false;
    for (const Dim& dim : field.dims) {
      if (dim.open) continue;
      const std::uint64_t size = EvalSize(dim.size, field, "a dimension");
      plan.shape.dims.push_back(size);
      overflow = overflow || __builtin_mul_overflow(product, size, &product) ||
                 product > kMaxProduct;
    }
    overflow = overflow || __builtin_mul_overflow(product, unit, &unit) ||
               unit > kMaxProduct;
    if (overflow) {
      Fail("data file " + Quote(setup_.name) + ", record " +
           std::to_string(r.number) + ": field " + Quote(field.name) +
           Where(field.at) + " would hold more than " +
           std::to_string(kMaxProduct) + " bytes; nothing was written");
    }
    if (field.open()) {
      // The first record fixes the steps of '*'; a partial one is no step.
      std::optional<std::uint64_t>& fixed = open_steps_[s.id];
      const std::uint64_t left = r.bytes > at ? r.bytes - at : 0;
      std::uint64_t steps = fixed ? *fixed : unit == 0 ? 0 : left / unit;
      if (!fixed && !dry) {
        if (!field.skipped() &&
            Check(rules_.Claim(
                steps, setup_.limits[field.variable],
                layout_.rows == field.variable ? "" : field.name)) ==
                Flow::kStop) {
          return false;
        }
        fixed = steps;
      }
      plan.shape.dims.push_back(steps);
      unit *= steps;
    }
    plan.bytes = unit;
    at += plan.bytes;
    if (at > r.bytes) {
      *need = at;
      plans->resize(planned);
      return false;
    }
    if (!field.skipped() && layout_.variables[field.variable].sized_by) {
      Hold(field.variable, plan.shape, r, plan.at);
    }
  }
  *need = at;
  return true;
}

void Walker::Hold(std::uint32_t variable, const ReadShape& shape,
                  const Fetched& r, std::uint64_t at) {
  const std::uint64_t n = shape.count();
  std::vector<char> bytes;
  if (n <= LayoutValues::kMaxHeld) {
    bytes.resize(static_cast<std::size_t>(n * ValueSize(shape.type)));
    if (!scanner_.ReadPayload(r.pieces, at, bytes.size(), bytes.data())) {
      Fail(FileError("cannot read data file", setup_.name,
                     scanner_.error() != 0 ? scanner_.error() : EIO));
    }
  }
  if (n > LayoutValues::kMaxHeld ||
      !values_.Hold(variable, shape.type, shape.dims, bytes.data(),
                    setup_.framing.swapped, r.number)) {
    Fail("data file " + Quote(setup_.name) + ", record " +
         std::to_string(r.number) + ": field " +
         Quote(layout_.variables[variable].name) +
         ", which gives sizes, would hold more than " +
         std::to_string(LayoutValues::kMaxHeld) + " values in memory");
  }
}

std::uint32_t Walker::ShapeId(VariableReads& reads, const ReadShape& shape) {
  for (std::size_t k = reads.shapes.size(); k-- > 0;) {
    if (reads.shapes[k] == shape) return static_cast<std::uint32_t>(k);
  }
  reads.shapes.push_back(shape);
  return static_cast<std::uint32_t>(reads.shapes.size() - 1);
}

// Counts `n` reads of `variable` of `shape`, the first in record `record`,
// each in the group repetition after the one before.
void Walker::NoteRead(std::uint32_t variable, const ReadShape& shape,
                      std::uint64_t record, std::uint64_t n) {
  VariableReads& reads = result_.variables[variable];
  const LayoutVariable& declared = layout_.variables[variable];
  if (!reads.read) {
    reads.read = true;
    for (const Level& level : levels_) {
      reads.groups.push_back(level.statement->id);
    }
    reads.first_record = record;
  } else if (reads.groups.size() != levels_.size() ||
             !std::equal(reads.groups.begin(), reads.groups.end(),
                         levels_.begin(),
                         [](std::uint32_t id, const Level& level) {
                           return id == level.statement->id;
                         })) {
    Fail(layout_.origin + " reads field " + Quote(declared.name) +
         " in two different groups; only one of them can make its variable");
  }
  // Reads taken at once lie in records one after another.
  if (reads.reads == 1) reads.record_step = record - reads.first_record;
  if (reads.reads == 0 && n > 1) reads.record_step = 1;
  if ((reads.reads > 0 &&
       record != reads.first_record + reads.reads * reads.record_step) ||
      (n > 1 && reads.record_step != 1)) {
    reads.records_regular = false;
  }
  VariableReads::Run* last = reads.runs.empty() ? nullptr : &reads.runs.back();
  // The last run's shape is the likeliest.
  const std::uint32_t id = last != nullptr && reads.shapes[last->shape] == shape
                               ? last->shape
                               : ShapeId(reads, shape);
  bool extends = last != nullptr && last->shape == id && !levels_.empty();
  if (extends) {
    for (std::size_t d = 0; d + 1 < levels_.size(); ++d) {
      extends = extends && last->index[d] == levels_[d].rep;
    }
    extends = extends && last->index.back() + last->reads == levels_.back().rep;
  }
  if (extends) {
    last->reads += n;
  } else {
    if (reads.runs.size() >= kMaxRuns) {
      Fail("data file " + Quote(setup_.name) + ": field " +
           Quote(declared.name) + " changes its shape more than " +
           std::to_string(kMaxRuns) + " times");
    }
    std::vector<std::uint64_t> index;
    for (const Level& level : levels_) index.push_back(level.rep);
    reads.runs.push_back({reads.reads, n, id, std::move(index)});
  }
  reads.reads += n;
}

Walker::Flow Walker::Check(Verdict verdict) {
  if (verdict != Verdict::kRefuse) return Flow::kGo;
  if (!setup_.describe) throw RunError(rules_.RefusalMessage(setup_.name));
  result_.refusal = rules_.refusal();
  result_.refusal_message = rules_.RefusalMessage(setup_.name);
  return Flow::kStop;
}

void Walker::Take(const Statement& s, const Fetched& r,
                  const std::vector<FieldPlan>& plans, std::uint64_t need) {
  if (r.bytes > need) {
    // What the layout does not read of a record is said, not dropped
    // silently.
    LongerRecords* longer = nullptr;
    for (LongerRecords& l : result_.longer) {
      if (l.line == s.at.line) longer = &l;
    }
    if (longer == nullptr) {
      result_.longer.push_back(
          {s.at.line, std::nullopt, r.number, r.bytes - need, 0, 0});
      longer = &result_.longer.back();
      if (layout_.rows && s.fields.size() == 1 &&
          s.fields[0].variable == *layout_.rows) {
        longer->row_values = plans[0].shape.count();
      }
    }
    ++longer->records;
    longer->bytes += r.bytes - need;
  }
  for (const FieldPlan& plan : plans) {
    if (plan.decl->skipped()) continue;
    const std::uint32_t v = plan.decl->variable;
    VariableReads& reads = result_.variables[v];
    Cut(r.pieces, plan.at, plan.bytes, &cut_);
    if (setup_.keep_places) {
      if (plan.shape.type == ValueType::kChar1 && plan.shape.count() != 1) {
        // A row a string.
        std::vector<PayloadPiece> string;
        for (std::uint64_t k = 0; k < plan.shape.count(); ++k) {
          Cut(cut_, k * plan.shape.length, plan.shape.length, &string);
          reads.places->Add(string);
        }
      } else {
        reads.places->Add(cut_);
      }
    }
    if (sink_ != nullptr) sink_->Read(v, plan.shape, cut_);
    NoteRead(v, plan.shape, r.number, 1);
    reads.units += plan.shape.units();
  }
}

Walker::Flow Walker::RunRecord(const Statement& s) {
  const Fetched& r = Fetch();
  if (r.step == Step::kEnd) return EndedAt(s.at.line);
  if (r.step == Step::kDamaged) return DamagedAt(r);
  std::vector<FieldPlan>& plans = plans_;
  std::uint64_t need = 0;
  const bool fits = Plan(s, r, /*dry=*/false, &plans, &need);
  if (rules_.done()) return Flow::kStop;  // refused by a claim
  const std::size_t value_bytes =
      layout_.rows ? ValueSize(layout_.variables[*layout_.rows].type) : 0;
  if (rules_.Record({r.number, r.offset, r.bytes},
                    {need, value_bytes, s.at.line}) != Verdict::kTake ||
      !fits) {
    return Flow::kStop;
  }
  last_need_ = need;
  Take(s, r, plans, need);
  if (r.bytes == 0 && Check(rules_.Empty(1)) == Flow::kStop) {
    return Flow::kStop;
  }
  for (const FieldPlan& plan : plans) {
    if (plan.decl->skipped()) continue;
    const std::uint32_t v = plan.decl->variable;
    const VariableReads& reads = result_.variables[v];
    if (Check(rules_.Grow(reads.reads, reads.units, plan.shape.units(),
                          setup_.limits[v], plan.decl->name,
                          layout_.rows == v)) == Flow::kStop) {
      return Flow::kStop;
    }
  }
  return Flow::kGo;
}

std::uint64_t Walker::Foresee(std::uint64_t most, std::uint64_t within) {
  // Fewer records are checked as soon as walked.
  constexpr std::uint64_t kMinForeseenBytes = std::uint64_t{4} << 20;
  const std::uint64_t stride = scanner_.repeat_stride();
  if (!setup_.foresee || sink_ != nullptr || !setup_.size || stride == 0 ||
      rec_.bytes == 0 || *setup_.size <= scanner_.offset()) {
    return 0;
  }
  const std::uint64_t left = *setup_.size - scanner_.offset();
  const std::uint64_t n = left / stride;
  if (left % stride != 0 || left < kMinForeseenBytes || n > most ||
      n >= within) {
    return 0;
  }
  result_.foreseen = ForeseenRun{scanner_.offset(), n, scanner_.repeat()};
  scanner_.Foresee(n);
  return n;
}

std::uint64_t Walker::Bulk(const Statement& s, std::uint64_t most) {
  const Statement& body = s.blocks[0][0];
  // One past what the limits let in tells a whole one from the end.
  std::uint64_t within = UINT64_MAX;
  for (const FieldDecl& field : body.fields) {
    if (field.skipped()) continue;
    const VariableReads& reads = result_.variables[field.variable];
    const std::uint64_t each = reads.shapes[reads.runs.back().shape].units();
    const std::uint64_t limit = setup_.limits[field.variable].matrix_values;
    if (each > 0) {
      within = std::min(
          within, (limit > reads.units ? (limit - reads.units) / each : 0) + 1);
    }
  }
  if (rec_.bytes == 0) within = std::min(within, kMaxEmptyRecords + 1);
  std::uint64_t n = Foresee(most, within);
  if (n == 0) n = scanner_.SkipRepeats(std::min(most, within));
  if (scanner_.error() != 0) {
    Fail(FileError("cannot read data file", setup_.name, scanner_.error()));
  }
  if (n == 0) return 0;
  const std::uint64_t stride = scanner_.repeat_stride();
  const std::uint64_t first = records_ + 1;
  records_ += n;
  result_.walked_to = scanner_.offset();
  if (sink_ != nullptr) sink_->WalkedAgain(n, stride);
  if (rec_.bytes > last_need_) {
    for (LongerRecords& longer : result_.longer) {
      if (longer.line != body.at.line) continue;
      longer.records += n;
      longer.bytes += n * (rec_.bytes - last_need_);
    }
  }
  for (const FieldDecl& field : body.fields) {
    if (field.skipped()) continue;
    VariableReads& reads = result_.variables[field.variable];
    const ReadShape shape = reads.shapes[reads.runs.back().shape];
    if (setup_.keep_places) reads.places->AddAlike(n, stride);
    if (sink_ != nullptr) sink_->ReadAgain(field.variable, n, stride);
    levels_.back().rep += 1;
    NoteRead(field.variable, shape, first, n);
    levels_.back().rep -= 1;
    reads.units += n * shape.units();
    if (Check(rules_.Grow(reads.reads, reads.units, shape.units(),
                          setup_.limits[field.variable], field.name,
                          layout_.rows == field.variable)) == Flow::kStop) {
      return n;
    }
  }
  if (rec_.bytes == 0) Check(rules_.Empty(n));
  return n;
}

Walker::Flow Walker::RunSkip(const Statement& s) {
  eval_record_ = records_ + (pending_ ? 0 : 1);
  const std::uint64_t n =
      s.count ? static_cast<std::uint64_t>(std::max<std::int64_t>(
                    0, Eval(*s.count,
                            "the count of records skipped" + Where(s.at))))
              : 1;
  for (std::uint64_t k = 0; k < n; ++k) {
    const Fetched& r = Fetch();
    if (r.step == Step::kEnd) return EndedAt(s.at.line);
    if (r.step == Step::kDamaged) return DamagedAt(r);
  }
  return Flow::kGo;
}

Walker::Flow Walker::RunRepeat(const Statement& s) {
  if (!s.count) return RunUntilEnd(s);
  const std::string what = "the count of the group" + Where(s.at);
  eval_record_ = records_ + (pending_ ? 0 : 1);
  std::int64_t first = 1;
  std::int64_t count = 0;
  if (s.index) {
    first = Eval(*s.first, what);
    const std::int64_t last = Eval(*s.count, what);
    // As a DO loop: none where the last is the one before the first; one
    // further before is no count a file should give.
    if (__builtin_sub_overflow(last, first, &count) ||
        __builtin_add_overflow(count, 1, &count)) {
      count = -1;
    }
  } else {
    count = Eval(*s.count, what);
  }
  if (count < 0 || static_cast<std::uint64_t>(count) > mat::kMaxDimension) {
    Fail("data file " + Quote(setup_.name) + ", record " +
         std::to_string(eval_record_) + ": " + what + ", " + s.count->text +
         ", is " + std::to_string(count) +
         (count < 0 ? ": a count cannot be negative"
                    : ", past the " + std::to_string(mat::kMaxDimension) +
                          " a MAT-file dimension holds") +
         "; nothing was written");
  }
  const auto n = static_cast<std::uint64_t>(count);
  levels_.push_back({&s, 0, first, {}, 0});
  Flow flow = Flow::kGo;
  std::uint64_t rep = 0;
  for (; rep < n && flow == Flow::kGo;) {
    levels_.back().rep = rep;
    if (s.index) {
      values_.SetIndex(*s.index, first + static_cast<std::int64_t>(rep));
    }
    const std::uint64_t before = RecordsTaken();
    flow = RunBlock(s.blocks[0]);
    if (flow != Flow::kGo) break;
    if (RecordsTaken() == before && Check(rules_.Empty(1)) == Flow::kStop) {
      flow = Flow::kStop;
      break;
    }
    ++rep;
    if (bulk_[s.id] && rep < n) rep += Bulk(s, n - rep);
    if (rules_.done()) flow = Flow::kStop;
  }
  levels_.pop_back();
  Ran(s, rep);
  return flow;
}

Walker::Flow Walker::RunUntilEnd(const Statement& s) {
  levels_.push_back({&s, 0, 0, {}, 0});
  const std::size_t depth = levels_.size() - 1;  // inner groups push more
  Flow flow = Flow::kGo;
  std::uint64_t rep = 0;
  for (; flow == Flow::kGo;) {
    const Fetched& r = Fetch();
    if (r.step == Step::kEnd) break;
    Unfetch();
    Level& level = levels_[depth];
    level.rep = rep;
    level.rep_first_record = r.number;
    level.reads_before.resize(result_.variables.size());
    for (std::size_t v = 0; v < result_.variables.size(); ++v) {
      level.reads_before[v] = result_.variables[v].reads;
    }
    const std::uint64_t before = RecordsTaken();
    flow = RunBlock(s.blocks[0]);
    if (flow == Flow::kStop) {
      if (!rolled_back_ && !result_.refusal) Rollback(levels_[depth]);
      break;
    }
    if (RecordsTaken() == before) {
      Fail(layout_.origin + ": the group" + Where(s.at) +
           " read no record of data file " + Quote(setup_.name) +
           " in a repetition, and would repeat without end");
    }
    ++rep;
    if (bulk_[s.id]) rep += Bulk(s, UINT64_MAX);
    if (rules_.done()) flow = Flow::kStop;
  }
  levels_.pop_back();
  Ran(s, rep);
  return flow;
}

void Walker::Rollback(Level& level) {
  rolled_back_ = true;
  if (rules_.end().record > level.rep_first_record) {
    rules_.Dropped(level.rep_first_record);
  }
  for (std::size_t v = 0; v < result_.variables.size(); ++v) {
    VariableReads& reads = result_.variables[v];
    const std::uint64_t keep = level.reads_before[v];
    if (reads.reads == keep) continue;
    // The rows and values of the reads kept, from the runs.
    std::uint64_t rows = 0, units = 0;
    while (!reads.runs.empty() && reads.runs.back().first_read >= keep) {
      reads.runs.pop_back();
    }
    if (!reads.runs.empty()) {
      VariableReads::Run& last = reads.runs.back();
      last.reads = keep - last.first_read;
    }
    for (const VariableReads::Run& run : reads.runs) {
      const ReadShape& shape = reads.shapes[run.shape];
      rows += run.reads * (shape.type == ValueType::kChar1 ? shape.count() : 1);
      units += run.reads * shape.units();
    }
    reads.places->Truncate(rows);
    reads.units = units;
    reads.reads = keep;
    if (keep == 0) reads.read = false;
  }
}

Walker::Flow Walker::RunEither(const Statement& s) {
  const Fetched& r = Fetch();
  if (r.step == Step::kEnd) return EndedAt(s.at.line);
  if (r.step == Step::kDamaged) return DamagedAt(r);
  std::vector<FieldPlan> plans;
  for (std::size_t b = 0; b < s.blocks.size(); ++b) {
    const Block& branch = s.blocks[b];
    std::uint64_t need = 0;
    if (Plan(branch.front(), r, /*dry=*/true, &plans, &need) &&
        need == r.bytes) {
      std::vector<bool>& taken = result_.taken[s.id];
      taken.resize(s.blocks.size());
      taken[b] = true;
      Unfetch();
      return RunBlock(branch);
    }
  }
  rules_.NoBranch({r.number, r.offset, r.bytes}, s.at.line);
  return Flow::kStop;
}

Walker::Flow Walker::EndedAt(int line) {
  rules_.EndOfFile({records_ + 1, result_.walked_to, 0}, line);
  return Flow::kStop;
}

Walker::Flow Walker::DamagedAt(const Fetched& r) {
  rules_.Damaged({r.number, r.offset, 0});
  return Flow::kStop;
}

Walker::Flow Walker::RunStatement(const Statement& s) {
  switch (s.kind) {
    case Statement::Kind::kRecord:
      return RunRecord(s);
    case Statement::Kind::kSkip:
      return RunSkip(s);
    case Statement::Kind::kRepeat:
      return RunRepeat(s);
    case Statement::Kind::kEither:
      break;
  }
  return RunEither(s);
}

Walker::Flow Walker::RunBlock(const Block& block) {
  for (const Statement& s : block) {
    if (RunStatement(s) == Flow::kStop) return Flow::kStop;
  }
  return Flow::kGo;
}

WalkResult Walker::Run() {
  // Plain rows refuse a first record the markers show is over the limit
  // before any of it is read.
  if (layout_.rows && setup_.claimed_first_record) {
    const std::uint64_t size = ValueSize(layout_.variables[*layout_.rows].type);
    if (Check(rules_.Claim(*setup_.claimed_first_record / size,
                           setup_.limits[*layout_.rows], "")) == Flow::kStop) {
      return std::move(result_);
    }
  }
  const Flow flow = RunBlock(layout_.body);
  if (flow == Flow::kGo) {
    if (const Fetched& r = Fetch(); r.step != Step::kEnd) {
      result_.trailing = RecordAt{r.number, r.offset, r.bytes};
    }
  }
  result_.end = rules_.end();
  if (flow == Flow::kStop && !rolled_back_ && !result_.refusal) {
    // The file does not hold what the layout reads, and no group that
    // repeats until its end can end there.
    const std::string message =
        "data file " + Quote(setup_.name) + " does not hold what " +
        layout_.origin +
        " reads: " + StopReason(result_.end, 0, layout_.origin);
    if (!setup_.describe) Fail(message);
    result_.refusal_message = message;
  }
  result_.records = records_;
  if (layout_.rows) {
    const VariableReads& rows = result_.variables[*layout_.rows];
    result_.rows = rows.reads;
    result_.columns = rows.shapes.empty() ? 0 : rows.shapes[0].count();
  }
  return std::move(result_);
}

}  // namespace

bool WalkResult::Reached(const LayoutVariable& variable) const {
  return std::any_of(
      variable.branches.begin(), variable.branches.end(),
      [&](const std::vector<std::pair<std::uint32_t, std::size_t>>& path) {
        return std::all_of(path.begin(), path.end(), [&](const auto& branch) {
          const std::vector<bool>& ran = taken[branch.first];
          return branch.second < ran.size() && ran[branch.second];
        });
      });
}

std::uint64_t ReadShape::count() const {
  std::uint64_t n = 1;
  for (std::uint64_t d : dims) n *= d;
  return n;
}

WalkResult WalkLayout(const Layout& layout, const WalkSetup& setup,
                      WalkSink* sink) {
  Walker walker(layout, setup, sink);
  try {
    return walker.Run();
  } catch (const RunError&) {
    // Said of records taken unread, the failure may be the guess's.
    if (walker.foresaw()) throw Unforeseen();
    throw;
  }
}

}  // namespace unf2mat
