// How the reads of one variable make its MAT array. A variable read in
// groups is read once per repetition of each: its reads stack along a new
// last dimension per group level, the innermost first, as the Fortran
// arrays they were written from lie in memory. Where its shape changes with
// a group's repetitions (blocks, patches of different sizes), that group's
// level becomes a cell level: a cell array with one cell per repetition of
// it, each cell the reads stacked over the other levels. Where the
// repetitions do not make a whole grid (a group's count changes from one
// repetition of the group around it to the next, or the variable is not
// read in each), the outermost level is a cell level, and each cell is made
// so in turn.
#ifndef UNF2MAT_LOADER_ARRAY_PLAN_H_
#define UNF2MAT_LOADER_ARRAY_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "loader/layout_walk.h"

namespace unf2mat {

// The reads of one variable, as the walk found them (VariableReads), over
// `depth` group levels.
struct ReadTrace {
  std::vector<VariableReads::Run> runs;
  std::vector<ReadShape> shapes;
  std::uint64_t reads = 0;
  std::size_t depth = 0;
  // The repetitions of the outermost group, where known: a variable not
  // read in its last ones does not make a whole grid either.
  std::uint64_t outer_repetitions = 0;
};

// Reads first, first + step, ..., count of them.
struct ReadSegment {
  std::uint64_t first;
  std::uint64_t step;
  std::uint64_t count;

  bool operator==(const ReadSegment&) const = default;
};

// One MAT array of a variable, or a cell array of them.
struct ArrayPlan {
  bool cell = false;
  // Of a cell array, its dimensions (at least two); of an array, the
  // extents its reads stack over, innermost first (none for one read).
  std::vector<std::uint64_t> dims;
  // Of an array: its reads, in the array's order, and their shape (none for
  // an array of no reads).
  std::vector<ReadSegment> reads;
  std::optional<std::uint32_t> shape;
  std::uint64_t count = 0;  // reads

  // What a cell array's cells are made from.
  struct Cells {
    std::size_t run_begin = 0, run_end = 0;
    std::size_t level = 0;  // the first level not fixed
    std::uint64_t read_begin = 0, read_end = 0;
    bool whole_grid = false;  // else: a cell per repetition of `level`
    std::vector<std::size_t> cell_levels, stack_levels;
    std::vector<std::uint64_t> extents;  // of the levels from `level`
  } cells;
};

class ArrayPlanner {
 public:
  explicit ArrayPlanner(const ReadTrace& trace) : trace_(trace) {}

  // The variable's array, or its cell array.
  ArrayPlan Top() const;
  // Cell `k` (column-major) of the cell array `plan`.
  ArrayPlan Cell(const ArrayPlan& plan, std::uint64_t k) const;

 private:
  ArrayPlan PlanOf(std::size_t run_begin, std::size_t run_end,
                   std::size_t level, std::uint64_t read_begin,
                   std::uint64_t read_end) const;
  // The repetition of level `level` of read `read`, which run `run` holds.
  std::uint64_t IndexOf(std::size_t run, std::size_t level,
                        std::uint64_t read) const;
  // The run that holds read `read`.
  std::size_t RunOf(std::uint64_t read) const;
  // Whether the reads [from, from + n) all have shape `shape`.
  bool AllOf(std::uint64_t from, std::uint64_t n, std::uint32_t shape) const;

  const ReadTrace& trace_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_ARRAY_PLAN_H_
