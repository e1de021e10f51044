// Several conversions at once, in worker processes (the run state is one
// per process), their output said whole and in the order of the tasks.
#ifndef UNF2MAT_CONVERTER_PARALLEL_H_
#define UNF2MAT_CONVERTER_PARALLEL_H_

#include <cstddef>
#include <functional>

#include "converter/console.h"

namespace unf2mat {

// Runs `task` for each of 0 .. count - 1 in `jobs` worker processes, each
// taking the next task as it finishes one; each task's standard output and
// error are kept until it ends, then written to the console's in the order
// of the tasks. Returns 0 when every task returned 0, else 1 (a task whose
// worker died failed).
int RunInChildren(std::size_t count, std::size_t jobs,
                  const std::function<int(std::size_t)>& task,
                  Console& console);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_PARALLEL_H_
