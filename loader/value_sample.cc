#include "loader/value_sample.h"

#include <algorithm>
#include <bit>
#include <span>

namespace unf2mat {
namespace {

constexpr std::uint64_t kSpreadReads = 32;

// Appends up to `words` words (rounded down to even) of read `row` of
// `places` to *bytes; false where a read fails or finds the end.
bool Append(InputFile& file, const RecordPlaces& places, std::uint64_t row,
            std::uint64_t words, std::vector<char>* bytes) {
  std::vector<PayloadPiece> pieces;
  places.Find(row, &pieces);
  const std::size_t start = bytes->size();
  std::uint64_t left = words / 2 * 8;
  for (const PayloadPiece& piece : pieces) {
    const std::uint64_t take = std::min(left, piece.bytes);
    const std::size_t at = bytes->size();
    bytes->resize(at + take);
    std::size_t got = 0;
    while (got < take) {
      const IoResult r =
          file.ReadAt(piece.offset + got, bytes->data() + at + got, take - got);
      if (r.error != 0 || r.bytes == 0) {
        bytes->resize(start);
        return false;
      }
      got += r.bytes;
    }
    left -= take;
    if (left == 0) break;
  }
  bytes->resize(start + (bytes->size() - start) / 4 * 4);
  return true;
}

}  // namespace

std::vector<std::uint32_t> SampleWords(const PlacedFile& placed,
                                       std::uint32_t variable,
                                       std::size_t max_words) {
  const RecordPlaces& places = *placed.walk.variables[variable].places;
  std::vector<char> bytes;
  if (places.overflowed() || placed.file == nullptr) return {};
  const std::uint64_t rows = places.rows();
  const std::uint64_t first_budget = max_words / 2;
  std::uint64_t row = 0;
  for (; row < rows && bytes.size() / 4 < first_budget; ++row) {
    if (!Append(*placed.file, places, row, first_budget - bytes.size() / 4,
                &bytes)) {
      return HostWords(bytes, placed.choice.framing.swapped);
    }
  }
  const std::uint64_t spread_words = (max_words - first_budget) / kSpreadReads;
  if (row < rows) {
    const std::uint64_t step =
        std::max<std::uint64_t>((rows - row) / kSpreadReads, 1);
    for (std::uint64_t k = row; k < rows && (k - row) / step < kSpreadReads;
         k += step) {
      if (!Append(*placed.file, places, k, spread_words, &bytes)) break;
    }
  }
  return HostWords(bytes, placed.choice.framing.swapped);
}

bool BigEndian(const PlacedFile& placed) {
  return (std::endian::native == std::endian::big) !=
         placed.choice.framing.swapped;
}

ValueLook JudgeRows(const PlacedFile& placed, std::uint32_t rows) {
  const std::vector<std::uint32_t> words = SampleWords(placed, rows);
  return JudgeValues(words, BigEndian(placed), placed.walk.columns % 2 == 0);
}

}  // namespace unf2mat
