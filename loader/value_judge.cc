#include "loader/value_judge.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace unf2mat {
namespace {

constexpr std::uint32_t kMagnitude = 0x7fffffff;
constexpr std::uint32_t kInfinity = 0x7f800000;
constexpr std::uint32_t kQuietNaN = 0x7fc00000;

int Exponent(std::uint32_t word) {
  return static_cast<int>((word >> 23) & 0xff);
}
bool IsZero(std::uint32_t word) { return (word & kMagnitude) == 0; }
bool Negative(std::uint32_t word) { return (word >> 31) != 0; }

// Sorts exponents, which are 0 to 255, by counting them: the sample is
// judged on every conversion of plain rows, and a general sort of it would
// cost more than many a small conversion.
void SortExponents(std::vector<int>& exponents) {
  std::size_t counts[256] = {};
  for (int e : exponents) ++counts[e];
  std::size_t at = 0;
  for (int e = 0; e < 256; ++e) {
    std::fill_n(exponents.begin() + static_cast<std::ptrdiff_t>(at), counts[e],
                e);
    at += counts[e];
  }
}

// The value at fraction q of the way through `sorted` (not empty).
int Quantile(const std::vector<int>& sorted, double q) {
  return sorted[static_cast<std::size_t>(
      q * static_cast<double>(sorted.size() - 1))];
}

// Two words as the halves of a REAL*8, by the file's byte order.
struct Halves {
  std::uint32_t high, low;
};
Halves HalvesAt(std::span<const std::uint32_t> words, std::size_t pair,
                bool big_endian) {
  const std::uint32_t first = words[2 * pair], second = words[2 * pair + 1];
  return big_endian ? Halves{first, second} : Halves{second, first};
}

// INTEGER*8 values of small magnitude: each low half a small integer, each
// high half its sign. Read as INTEGER*4 they would be rows of zeros between.
bool LooksLikeInt8(std::span<const std::uint32_t> words, bool big_endian) {
  for (std::size_t k = 0; k < words.size() / 2; ++k) {
    const Halves h = HalvesAt(words, k, big_endian);
    if (h.high != (Negative(h.low) ? 0xffffffffu : 0u)) return false;
  }
  return true;
}

// Small integers only (zeros aside), 16 or more, at least 4 of them
// positive: read as real4 they are denormals, and the negative ones NaNs,
// which no real4 data is made of alone (but for a few values of a tail that
// underflows). An ordinary real4 value, a negative zero or a large integer
// anywhere, and it is not sure.
bool LooksLikeInt4(std::span<const std::uint32_t> words, bool big_endian,
                   bool pairs) {
  std::size_t positive = 0, nonzero = 0;
  for (std::uint32_t word : words) {
    if (word == 0) continue;
    if (!SmallInteger(word)) return false;
    ++nonzero;
    if (!Negative(word)) ++positive;
  }
  if (nonzero < 16 || positive < 4) return false;
  return !(pairs && LooksLikeInt8(words, big_endian));
}

// REAL*8 read as real4: the high halves (sign, exponent, leading fraction
// bits) read as numbers of few orders of magnitude; the low halves are zeros
// (values of 21 significant bits or fewer) or random bits, whose exponents
// fall anywhere. Real4 data has the same values at even and odd places, so
// most of its "low halves" lie among its "high halves"; sparse real4 data
// has zeros before values, which as REAL*8 would be denormals no real data
// holds.
bool LooksLikeReal8(std::span<const std::uint32_t> words, bool big_endian) {
  std::vector<int> high_exponents;
  std::vector<Halves> counted;
  std::size_t impossible = 0;
  for (std::size_t k = 0; k < words.size() / 2; ++k) {
    const Halves h = HalvesAt(words, k, big_endian);
    const std::uint32_t exponent11 = (h.high >> 20) & 0x7ff;
    if (IsZero(h.high)) {
      if (h.low != 0) ++impossible;  // a REAL*8 denormal
      continue;
    }
    if (exponent11 == 0x7ff) continue;  // a NaN or an infinity
    if (exponent11 == 0) {
      ++impossible;
      continue;
    }
    high_exponents.push_back(Exponent(h.high));
    counted.push_back(h);
  }
  if (counted.size() < 8 || impossible * 100 > counted.size()) return false;
  SortExponents(high_exponents);
  // The highs' magnitudes, their extremes left out: within 2^256 of each
  // other as REAL*8. With a margin, where most lows are not.
  const int lowest = Quantile(high_exponents, 0.01);
  const int highest = Quantile(high_exponents, 0.99);
  if (highest - lowest > 32) return false;
  const int bottom = lowest - 8, top = highest + 8;
  std::size_t zero = 0, near = 0, below = 0, above = 0, negative = 0;
  std::size_t special = 0;
  for (const Halves& h : counted) {
    if (IsZero(h.low)) {
      ++zero;
      continue;
    }
    const int e = Exponent(h.low);
    if (e >= bottom && e <= top) {
      ++near;
      continue;
    }
    ++(e < bottom ? below : above);
    if (Negative(h.low)) ++negative;
    if (e == 0 || e == 255) ++special;
  }
  const std::size_t far = below + above;
  if (far >= 6) {
    // Random bits: most lows far from the highs, on both sides, of either
    // sign; past 16, each of those at least an eighth. Few of them (1 in
    // 128) are denormals, infinities or NaNs, which real4 data between
    // ordinary values may be.
    const std::size_t least = far >= 16 ? (far + 7) / 8 : 1;
    return far >= 2 * near && below >= least && above >= least &&
           negative >= least && far - negative >= least && special * 16 <= far;
  }
  if (near > 0 || far > 0 || zero < 16) return false;
  // Round values: every low half zero. Their highs are of moderate
  // magnitude (2^-127 to 2^129 as REAL*8) and end in zero bits, as values
  // of few significant bits do; real4 values with zeros between them
  // rarely both.
  std::size_t round = 0;
  for (const Halves& h : counted) {
    const int e = Exponent(h.high);
    if (e < 112 || e > 143) return false;
    if ((h.high & 0xf) == 0) ++round;
  }
  return round * 10 >= counted.size() * 9;
}

// How the words spread as real4: the ones counted (zeros, infinities and
// quiet NaNs left out), those that are denormals or other NaNs, and the
// exponents' spread and middle.
struct Spread {
  std::size_t counted = 0;
  std::size_t odd = 0;
  int width = 0;   // from 5% to 95% of the exponents
  int middle = 0;  // their median
};
Spread SpreadOf(std::span<const std::uint32_t> words, bool swap) {
  Spread s;
  std::vector<int> exponents;
  for (std::uint32_t word : words) {
    if (swap) word = __builtin_bswap32(word);
    const std::uint32_t magnitude = word & kMagnitude;
    if (magnitude == 0 || magnitude == kInfinity || magnitude == kQuietNaN) {
      continue;
    }
    ++s.counted;
    const int e = Exponent(word);
    if (e == 0 || e == 255) {
      ++s.odd;
      continue;
    }
    exponents.push_back(e);
  }
  if (!exponents.empty()) {
    SortExponents(exponents);
    s.width = Quantile(exponents, 0.95) - Quantile(exponents, 0.05);
    s.middle = Quantile(exponents, 0.5);
  }
  return s;
}

// Real4 of the other byte order: read as they are, the exponents are low
// fraction bits (of any magnitude, denormals and NaNs among them); with each
// word's bytes swapped, they are values of few orders of magnitude, neither
// tiny nor huge. Ordinary real4 data reads well as it is.
bool LooksSwapped(std::span<const std::uint32_t> words) {
  const Spread as_read = SpreadOf(words, false);
  const Spread swapped = SpreadOf(words, true);
  const bool odd_as_read =
      as_read.counted >= 16 &&
      (as_read.odd * 10 > as_read.counted || as_read.width > 80);
  const bool fine_swapped =
      swapped.counted >= 16 && swapped.odd * 100 <= swapped.counted &&
      swapped.width <= 40 && swapped.middle >= 40 && swapped.middle <= 214;
  return odd_as_read && fine_swapped;
}

}  // namespace

bool SmallInteger(std::uint32_t word) {
  const auto value = std::bit_cast<std::int32_t>(word);
  return value >= -(1 << 23) && value < (1 << 23);
}

ValueLook JudgeValues(std::span<const std::uint32_t> words, bool big_endian,
                      bool pairs) {
  const bool real8 = pairs && LooksLikeReal8(words, big_endian);
  const bool int4 = LooksLikeInt4(words, big_endian, pairs);
  const bool swapped = LooksSwapped(words);
  // Where the bits fit more than one, it is not sure.
  if (real8 + int4 + swapped != 1) return ValueLook::kReal4;
  if (real8) return ValueLook::kReal8;
  return int4 ? ValueLook::kInt4 : ValueLook::kSwappedReal4;
}

std::string LookText(ValueLook look, bool big_endian) {
  switch (look) {
    case ValueLook::kReal4:
      break;
    case ValueLook::kReal8:
      return "look like REAL*8, not REAL*4: --type real8 reads them so";
    case ValueLook::kInt4:
      return "look like INTEGER*4, not REAL*4: --type int4 reads them so";
    case ValueLook::kSwappedReal4:
      return std::string("look like REAL*4 of the other byte order: ") +
             (big_endian ? "little" : "big") +
             "-endian, where the record markers are " +
             (big_endian ? "big" : "little") +
             "-endian; they are read in the markers' order";
  }
  return "";
}

std::vector<std::uint32_t> HostWords(std::span<const char> bytes,
                                     bool swapped) {
  std::vector<std::uint32_t> words(bytes.size() / 4);
  if (!words.empty()) std::memcpy(words.data(), bytes.data(), 4 * words.size());
  if (swapped) {
    for (std::uint32_t& word : words) word = __builtin_bswap32(word);
  }
  return words;
}

}  // namespace unf2mat
