#include "matfile/part_tiles.h"

#include <cstring>

namespace unf2mat {
namespace {

// Every other value of `size` bytes from src, from the first n pairs.
template <std::size_t kSize>
void PickParts(const char* src, std::size_t n, char* dst) {
  for (std::size_t k = 0; k < n; ++k) {
    std::memcpy(dst + kSize * k, src + 2 * kSize * k, kSize);
  }
}

}  // namespace

const char* PartTiles::Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                            std::size_t tc, char* staging) {
  const std::size_t size = ValueSize(element());
  const std::size_t n = tr * tc;
  // Tiles come no larger than the first: it is made once.
  if (both_.size() < 2 * size * n) both_.resize(2 * size * n);
  // Value v of the tile (v = c * tr + r) is pair v of the source's tile,
  // its parts at 2v and 2v + 1.
  const char* pairs = pairs_.Fill(2 * r0, 2 * tr, c0, tc, both_.data()) +
                      size * static_cast<std::size_t>(part_);
  switch (size) {
    case 1:
      PickParts<1>(pairs, n, staging);
      break;
    case 2:
      PickParts<2>(pairs, n, staging);
      break;
    case 4:
      PickParts<4>(pairs, n, staging);
      break;
    default:
      PickParts<8>(pairs, n, staging);
      break;
  }
  return staging;
}

}  // namespace unf2mat
