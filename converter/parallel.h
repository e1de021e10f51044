// Several conversions at once, each in a process of its own (the run state
// is one per process), their output said whole and in order.
#ifndef UNF2MAT_CONVERTER_PARALLEL_H_
#define UNF2MAT_CONVERTER_PARALLEL_H_

#include <cstddef>
#include <functional>

#include "converter/console.h"

namespace unf2mat {

// Runs `task` for each of 0 .. count - 1 in a child process, up to `jobs`
// at once, each child's standard output and error kept until it ends and
// then written to the console's, in the order of the tasks. Returns 0 when
// every task returned 0, else 1.
int RunInChildren(std::size_t count, std::size_t jobs,
                  const std::function<int(std::size_t)>& task,
                  Console& console);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_PARALLEL_H_
