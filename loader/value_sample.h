// What the values of plain rows look like, from a bounded sample of them
// read where the walk placed them: the first rows and a few spread through
// the file, never the whole file.
#ifndef UNF2MAT_LOADER_VALUE_SAMPLE_H_
#define UNF2MAT_LOADER_VALUE_SAMPLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "loader/load_start.h"
#include "loader/value_judge.h"

namespace unf2mat {

// Up to `max_words` 4-byte words of the reads of `variable` of `placed`, in
// the host's byte order: half from its first reads, the rest from 32 reads
// spread over the others. Each read gives an even number of words, from its
// start. Empty where the reads' places were not kept, or cannot be read.
std::vector<std::uint32_t> SampleWords(const PlacedFile& placed,
                                       std::uint32_t variable,
                                       std::size_t max_words = 65536);

// Whether the values of `placed` are big-endian, as its markers are.
bool BigEndian(const PlacedFile& placed);

// What the plain rows of `placed` (variable `rows`, read as real4) look
// like, from a sample.
ValueLook JudgeRows(const PlacedFile& placed, std::uint32_t rows);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_VALUE_SAMPLE_H_
