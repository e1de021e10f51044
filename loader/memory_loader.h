// Plain rows held in memory, widened into the matrix store: for a file whose
// records change length so often that where they lie cannot be kept in
// bounded memory. The rows are found by a second walk of the same layout.
#ifndef UNF2MAT_LOADER_MEMORY_LOADER_H_
#define UNF2MAT_LOADER_MEMORY_LOADER_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "loader/layout.h"
#include "loader/load_start.h"

namespace unf2mat {

// Where a matrix held in memory goes: the buffer that values pass through,
// and the store that holds them widened, row after row.
struct MemoryStore {
  std::span<char> buffer;
  std::span<double> matrix;
};

// Walks `placed` again by `rows` (a layout of plain rows), widening every
// row into store.matrix; the rows x columns the first walk found must fit
// it. A failed read ends the run.
void LoadIntoMemory(const PlacedFile& placed, const Layout& rows,
                    std::string_view name, const MemoryStore& store);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_MEMORY_LOADER_H_
