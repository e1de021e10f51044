#include "loader/value_sample.h"

#include <algorithm>
#include <bit>
#include <span>

#include "io/offset_window.h"

namespace unf2mat {
namespace {

constexpr std::uint64_t kSpreadReads = 32;

// Appends up to `words` 4-byte words of read `row` of `places` to *bytes,
// through `window`, which stays over the rows read one after another, its
// places found in `pieces`; false where a read fails or finds the end.
bool Append(OffsetWindow& window, const RecordPlaces& places, std::uint64_t row,
            std::uint64_t words, std::vector<PayloadPiece>& pieces,
            std::vector<char>* bytes) {
  places.Find(row, &pieces);
  const std::size_t start = bytes->size();
  std::uint64_t left = words * 4;
  for (const PayloadPiece& piece : pieces) {
    for (std::uint64_t at = 0; at < piece.bytes && left > 0;) {
      const std::size_t take = static_cast<std::size_t>(
          std::min<std::uint64_t>({left, piece.bytes - at, window.capacity()}));
      const char* src = window.At(piece.offset + at, take, window.capacity());
      if (src == nullptr) {
        bytes->resize(start);
        return false;
      }
      bytes->insert(bytes->end(), src, src + take);
      at += take;
      left -= take;
    }
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
  OffsetWindow window(*placed.file, std::size_t{1} << 16, placed.size);
  std::vector<PayloadPiece> pieces;
  const std::uint64_t rows = places.rows();
  const std::uint64_t first_budget = max_words / 2;
  std::uint64_t row = 0;
  for (; row < rows && bytes.size() / 4 < first_budget; ++row) {
    if (!Append(window, places, row, first_budget - bytes.size() / 4, pieces,
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
      if (!Append(window, places, k, spread_words, pieces, &bytes)) break;
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
