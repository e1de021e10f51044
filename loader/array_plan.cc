#include "loader/array_plan.h"

#include <algorithm>

namespace unf2mat {

std::size_t ArrayPlanner::RunOf(std::uint64_t read) const {
  const auto& runs = trace_.runs;
  auto after =
      std::upper_bound(runs.begin(), runs.end(), read,
                       [](std::uint64_t r, const VariableReads::Run& run) {
                         return r < run.first_read;
                       });
  return static_cast<std::size_t>(after - runs.begin()) - 1;
}

std::uint64_t ArrayPlanner::IndexOf(std::size_t run, std::size_t level,
                                    std::uint64_t read) const {
  const VariableReads::Run& r = trace_.runs[run];
  return level + 1 == trace_.depth ? r.index[level] + (read - r.first_read)
                                   : r.index[level];
}

bool ArrayPlanner::AllOf(std::uint64_t from, std::uint64_t n,
                         std::uint32_t shape) const {
  for (std::size_t run = RunOf(from); n > 0; ++run) {
    const VariableReads::Run& r = trace_.runs[run];
    if (r.shape != shape) return false;
    const std::uint64_t end = r.first_read + r.reads;
    const std::uint64_t take = std::min(n, end - from);
    from += take;
    n -= take;
  }
  return true;
}

ArrayPlan ArrayPlanner::Top() const {
  return PlanOf(0, trace_.runs.size(), 0, 0, trace_.reads);
}

ArrayPlan ArrayPlanner::PlanOf(std::size_t run_begin, std::size_t run_end,
                               std::size_t level, std::uint64_t read_begin,
                               std::uint64_t read_end) const {
  ArrayPlan plan;
  const std::uint64_t n = read_end - read_begin;
  const std::size_t depth = trace_.depth;
  plan.count = n;
  if (n == 0) {
    // Stacked over no repetitions.
    if (level < depth) plan.dims = {0};
    return plan;
  }
  auto first_of = [&](std::size_t run) {
    return std::max(read_begin, trace_.runs[run].first_read);
  };
  auto last_of = [&](std::size_t run) {
    const VariableReads::Run& r = trace_.runs[run];
    return std::min(read_end, r.first_read + r.reads) - 1;
  };
  // Extents of the levels from `level` on, and whether the reads fill them.
  std::vector<std::uint64_t> extents(depth - level, 0);
  for (std::size_t run = run_begin; run < run_end; ++run) {
    for (std::size_t j = level; j < depth; ++j) {
      extents[j - level] =
          std::max(extents[j - level], IndexOf(run, j, last_of(run)) + 1);
    }
  }
  if (level == 0 && depth > 0) {
    extents[0] = std::max(extents[0], trace_.outer_repetitions);
  }
  std::uint64_t total = 1;
  bool overflow = false;
  for (std::uint64_t e : extents) {
    overflow = overflow || __builtin_mul_overflow(total, e, &total);
  }
  plan.cells = {run_begin, run_end, level, read_begin, read_end,
                false,     {},      {},    extents};
  if (level == depth || overflow || total != n) {
    if (level == depth && n == 1) {
      plan.reads = {{read_begin, 1, 1}};
      plan.shape = trace_.runs[run_begin].shape;
      return plan;
    }
    // Not a whole grid: a cell per repetition of the outermost level.
    plan.cell = true;
    plan.dims = {level == depth ? n : extents[0], 1};
    return plan;
  }
  bool uniform = true;
  for (std::size_t run = run_begin; run < run_end; ++run) {
    uniform = uniform && trace_.runs[run].shape == trace_.runs[run_begin].shape;
  }
  if (uniform) {
    plan.reads = {{read_begin, 1, n}};
    plan.shape = trace_.runs[run_begin].shape;
    plan.dims.assign(extents.rbegin(), extents.rend());
    return plan;
  }
  // A level is a cell level where changing its repetition alone changes the
  // shape: each read's shape against the one at repetition 0 of the level.
  std::vector<std::uint64_t> strides(extents.size(), 1);
  for (std::size_t j = extents.size(); j-- > 1;) {
    strides[j - 1] = strides[j] * extents[j];
  }
  for (std::size_t j = level; j < depth; ++j) {
    bool varies = false;
    for (std::size_t run = run_begin; run < run_end && !varies; ++run) {
      const std::uint64_t from = first_of(run);
      const std::uint64_t count = last_of(run) - from + 1;
      const std::uint64_t back = IndexOf(run, j, from) * strides[j - level];
      varies = j + 1 == depth
                   ? !AllOf(from - back, 1, trace_.runs[run].shape)
                   : !AllOf(from - back, count, trace_.runs[run].shape);
    }
    (varies ? plan.cells.cell_levels : plan.cells.stack_levels).push_back(j);
  }
  plan.cell = true;
  plan.cells.whole_grid = true;
  for (auto it = plan.cells.cell_levels.rbegin();
       it != plan.cells.cell_levels.rend(); ++it) {
    plan.dims.push_back(extents[*it - level]);
  }
  if (plan.dims.size() < 2) plan.dims.push_back(1);
  return plan;
}

ArrayPlan ArrayPlanner::Cell(const ArrayPlan& plan, std::uint64_t k) const {
  const ArrayPlan::Cells& c = plan.cells;
  const std::size_t depth = trace_.depth;
  const auto& runs = trace_.runs;
  if (!c.whole_grid) {
    if (c.level == depth) {
      // Reads past a whole grid: one a cell.
      const std::uint64_t read = c.read_begin + k;
      const std::size_t run = RunOf(read);
      return PlanOf(run, run + 1, depth, read, read + 1);
    }
    // The runs of repetition k of the level, which sort by it.
    auto begin = runs.begin() + static_cast<std::ptrdiff_t>(c.run_begin);
    auto end = runs.begin() + static_cast<std::ptrdiff_t>(c.run_end);
    const std::size_t l = c.level;
    if (l + 1 < depth) {
      auto first = std::lower_bound(
          begin, end, k, [&](const VariableReads::Run& run, std::uint64_t v) {
            return run.index[l] < v;
          });
      auto last = std::upper_bound(
          first, end, k, [&](std::uint64_t v, const VariableReads::Run& run) {
            return v < run.index[l];
          });
      if (first == last) return {};
      const std::uint64_t from = std::max(c.read_begin, first->first_read);
      const std::uint64_t to =
          std::min(c.read_end, (last - 1)->first_read + (last - 1)->reads);
      return PlanOf(static_cast<std::size_t>(first - runs.begin()),
                    static_cast<std::size_t>(last - runs.begin()), l + 1, from,
                    to);
    }
    // The innermost level: a read a repetition.
    auto after = std::upper_bound(
        begin, end, k, [&](std::uint64_t v, const VariableReads::Run& run) {
          return v < run.index[l];
        });
    if (after == begin) return {};
    const VariableReads::Run& run = *(after - 1);
    const std::uint64_t read = run.first_read + (k - run.index[l]);
    if (read >= run.first_read + run.reads || read < c.read_begin ||
        read >= c.read_end) {
      return {};
    }
    const auto index = static_cast<std::size_t>((after - 1) - runs.begin());
    return PlanOf(index, index + 1, depth, read, read + 1);
  }
  // A whole grid: the cell's repetitions of the cell levels (the innermost
  // first, as the cell array's dimensions), its reads every combination of
  // the stack levels'.
  const auto extent = [&](std::size_t j) { return c.extents[j - c.level]; };
  std::vector<std::uint64_t> strides(c.extents.size(), 1);
  for (std::size_t j = c.extents.size(); j-- > 1;) {
    strides[j - 1] = strides[j] * c.extents[j];
  }
  const auto stride = [&](std::size_t j) { return strides[j - c.level]; };
  std::uint64_t base = 0;
  for (auto it = c.cell_levels.rbegin(); it != c.cell_levels.rend(); ++it) {
    base += (k % extent(*it)) * stride(*it);
    k /= extent(*it);
  }
  ArrayPlan cell;
  for (auto it = c.stack_levels.rbegin(); it != c.stack_levels.rend(); ++it) {
    cell.dims.push_back(extent(*it));
  }
  if (c.stack_levels.empty()) {
    cell.reads = {{c.read_begin + base, 1, 1}};
  } else {
    // The innermost stack level is each segment; the others, outer first,
    // pick where each starts.
    const std::size_t inner = c.stack_levels.back();
    std::vector<std::uint64_t> at(c.stack_levels.size() - 1, 0);
    for (;;) {
      std::uint64_t first = base;
      for (std::size_t s = 0; s < at.size(); ++s) {
        first += at[s] * stride(c.stack_levels[s]);
      }
      const ReadSegment segment{c.read_begin + first, stride(inner),
                                extent(inner)};
      ReadSegment* last = cell.reads.empty() ? nullptr : &cell.reads.back();
      if (last != nullptr && last->step == 1 && segment.step == 1 &&
          last->first + last->count == segment.first) {
        last->count += segment.count;
      } else {
        cell.reads.push_back(segment);
      }
      std::size_t s = at.size();
      while (s > 0 && ++at[s - 1] == extent(c.stack_levels[s - 1])) {
        at[--s] = 0;
      }
      if (s == 0) break;
    }
  }
  cell.count = 0;
  for (const ReadSegment& segment : cell.reads) cell.count += segment.count;
  cell.shape = runs[RunOf(cell.reads.front().first)].shape;
  return cell;
}

}  // namespace unf2mat
