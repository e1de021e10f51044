// Whether values read as REAL*4 look like values of another type, judged
// from their bits alone: INTEGER*4 (small integers read as real4 are zeros,
// denormals and NaNs), REAL*8 (its halves: a high half of few orders of
// magnitude, a low half of random bits or zeros) or REAL*4 of the other byte
// order (exponents from the low fraction bits: of any magnitude). Each test
// asks for what ordinary REAL*4 data does not show, so that it stays silent
// on it; where the bits fit more than one type, or none clearly, it says
// nothing.
#ifndef UNF2MAT_LOADER_VALUE_JUDGE_H_
#define UNF2MAT_LOADER_VALUE_JUDGE_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace unf2mat {

enum class ValueLook : std::uint8_t {
  kReal4,  // nothing to say
  kReal8,
  kInt4,
  kSwappedReal4,  // REAL*4 in the byte order opposite to the markers'
};

// What `words` (4-byte words of values read as real4, in the host's byte
// order) look like. `big_endian`: the file's byte order, as its markers
// show. `pairs`: the words come as whole 8-byte values (each row an even
// number of words, from its start), so that they may be REAL*8.
ValueLook JudgeValues(std::span<const std::uint32_t> words, bool big_endian,
                      bool pairs);

// Whether a word read as an INTEGER*4 is a small integer (below 2^23 in
// magnitude), as sizes and counts are, and no ordinary real4 is.
bool SmallInteger(std::uint32_t word);

// What the values look like and how they are read so: "look like
// INTEGER*4, not REAL*4: --type int4 reads them so". Empty for kReal4.
std::string LookText(ValueLook look, bool big_endian);

// The file's bytes as 4-byte words in the host's order: `swapped` where the
// file's byte order is not the host's. A partial word at the end is left
// out.
std::vector<std::uint32_t> HostWords(std::span<const char> bytes, bool swapped);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_VALUE_JUDGE_H_
