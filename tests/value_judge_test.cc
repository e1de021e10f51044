#include "loader/value_judge.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "loader/load_start.h"
#include "loader/record_layout.h"
#include "loader/value_sample.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

using Words = std::vector<std::uint32_t>;

constexpr std::size_t kWords = 65536;  // as many as a conversion samples

// Draws of its own, the same on every host: uniform in [0, 1), and nearly
// normal (a sum of twelve).
class Draws {
 public:
  double Uniform() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<double>((state_ * 0x2545F4914F6CDD1DULL) >> 11) *
           0x1.0p-53;
  }
  double Normal() {
    double sum = -6;
    for (int k = 0; k < 12; ++k) sum += Uniform();
    return sum;
  }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

Words Real4(std::size_t n, const std::function<double(std::size_t)>& f) {
  Words words(n);
  for (std::size_t k = 0; k < n; ++k) {
    words[k] = std::bit_cast<std::uint32_t>(static_cast<float>(f(k)));
  }
  return words;
}

// REAL*8 values, each as its two words in the file's order.
Words Real8(std::size_t n, bool big_endian,
            const std::function<double(std::size_t)>& f) {
  Words words;
  for (std::size_t k = 0; k < n / 2; ++k) {
    const auto bits = std::bit_cast<std::uint64_t>(f(k));
    const auto high = static_cast<std::uint32_t>(bits >> 32);
    const auto low = static_cast<std::uint32_t>(bits);
    words.push_back(big_endian ? high : low);
    words.push_back(big_endian ? low : high);
  }
  return words;
}

Words Int4(std::size_t n, const std::function<std::int64_t(std::size_t)>& f) {
  Words words(n);
  for (std::size_t k = 0; k < n; ++k) {
    words[k] = static_cast<std::uint32_t>(f(k));
  }
  return words;
}

Words Swapped(Words words) {
  for (std::uint32_t& w : words) w = __builtin_bswap32(w);
  return words;
}

// Every 13th word made `special`.
Words With(Words words, std::uint32_t special, std::size_t every = 13) {
  for (std::size_t k = 0; k < words.size(); k += every) words[k] = special;
  return words;
}

// The shapes of real REAL*4 data, on which the judgement must stay silent,
// and the other types, on which it must not.
TEST(ValueJudgeTest, SilentOnRealDataShapesAndSureOfOtherTypes) {
  Draws d;
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr auto kR4 = ValueLook::kReal4, kR8 = ValueLook::kReal8,
                 kI4 = ValueLook::kInt4, kSw = ValueLook::kSwappedReal4;
  auto sine = [](double scale) {
    return [scale](std::size_t k) {
      return scale * std::sin(k * 0.01) * std::cos(k * 0.0003);
    };
  };
  const struct {
    const char* shape;
    Words words;
    ValueLook look;
    bool big_endian = false;
  } cases[] = {
      {"smooth, small", Real4(kWords, sine(1e-3)), kR4},
      {"smooth, around 300",
       Real4(kWords,
             [](std::size_t k) { return 293.15 + 5 * std::sin(k * 0.01); }),
       kR4},
      {"smooth, large", Real4(kWords, sine(1e5)), kR4},
      {"normal noise", Real4(kWords, [&](std::size_t) { return d.Normal(); }),
       kR4},
      {"uniform noise of both signs",
       Real4(kWords, [&](std::size_t) { return 2e3 * d.Uniform() - 1e3; }),
       kR4},
      {"sparse, 99% zeros",
       Real4(
           kWords,
           [&](std::size_t) { return d.Uniform() < 0.99 ? 0.0 : d.Normal(); }),
       kR4},
      {"sparse integers, 99.5% zeros",
       Real4(kWords,
             [&](std::size_t) {
               return d.Uniform() < 0.995 ? 0.0
                                          : std::floor(1 + 10 * d.Uniform());
             }),
       kR4},
      {"integer-valued", Real4(kWords, [](std::size_t k) { return k + 1.0; }),
       kR4},
      {"halves", Real4(kWords, [](std::size_t k) { return 0.5 * (k % 100); }),
       kR4},
      {"tiny",
       Real4(
           kWords,
           [&](std::size_t) { return std::pow(10.0, -30 - 8 * d.Uniform()); }),
       kR4},
      {"huge",
       Real4(kWords,
             [&](std::size_t) { return std::pow(10.0, 30 + 8 * d.Uniform()); }),
       kR4},
      {"every order of magnitude, both signs",
       Real4(kWords,
             [&](std::size_t) {
               return (d.Uniform() < 0.5 ? -1 : 1) *
                      std::pow(10.0, -37 + 74 * d.Uniform());
             }),
       kR4},
      {"quiet NaNs among values",
       Real4(kWords,
             [&](std::size_t k) {
               return d.Uniform() < 0.1 ? kNaN : std::sin(k * 0.01);
             }),
       kR4},
      {"half negative NaNs (0/0 on x86)",
       Real4(kWords,
             [&](std::size_t k) {
               return d.Uniform() < 0.5 ? -kNaN : std::sin(k * 0.01);
             }),
       kR4},
      {"NaNs of all bits set", With(Real4(kWords, sine(1)), 0xffffffff, 3),
       kR4},
      {"zeros and negative NaNs",
       Int4(kWords, [](std::size_t k) { return k % 2 ? 0xffc00000 : 0; }), kR4},
      {"a tail that underflows into denormals",
       Real4(kWords,
             [](std::size_t k) { return std::exp(-(k % 2000) * 0.06); }),
       kR4},
      {"denormals, infinities, NaNs every other value",
       Real4(kWords,
             [](std::size_t k) {
               const std::uint32_t specials[] = {1, 0x7f800000, 0xff800000,
                                                 0xffc00123};
               return k % 2 ? 1.25 * k
                            : std::bit_cast<float>(specials[k / 2 % 4]);
             }),
       kR4},
      {"16 values, ordinary between extremes",
       Real4(16,
             [](std::size_t k) {
               return k % 2 ? std::pow(10.0, -8.0 + k)
                            : (k % 4 ? 1e-35 : -1e31);
             }),
       kR4},
      {"zeros", Words(kWords, 0), kR4},
      {"zeros and negative zeros",
       Real4(kWords, [](std::size_t k) { return k % 3 ? 0.0 : -0.0; }), kR4},
      {"alternating signs",
       Real4(
           kWords,
           [](std::size_t k) { return (k % 2 ? -1 : 1) * (1 + std::sin(k)); }),
       kR4},
      {"complex values, imaginary parts zero",
       Real4(kWords, [&](std::size_t k) { return k % 2 ? 0.0 : d.Normal(); }),
       kR4},
      {"pairs of a temperature and a mass fraction",
       Real4(kWords,
             [&](std::size_t k) {
               return k % 2 ? std::pow(10.0, -30 * d.Uniform())
                            : 300 + d.Normal();
             }),
       kR4},
      {"a constant", Real4(kWords, [](std::size_t) { return 300.0; }), kR4},
      {"powers of two",
       Real4(kWords,
             [](std::size_t k) {
               return std::ldexp(1.0, -static_cast<int>(k % 140));
             }),
       kR4},
      {"16 values", Real4(16, sine(1)), kR4},

      {"REAL*8, smooth", Real8(kWords, false, sine(300)), kR8},
      {"REAL*8 big-endian, noise",
       Real8(kWords, true, [&](std::size_t) { return d.Normal(); }), kR8, true},
      {"REAL*8 of round values",
       Real8(kWords, false, [](std::size_t k) { return 0.5 * (k % 1000); }),
       kR8},
      {"REAL*8 round, big-endian",
       Real8(kWords, true, [](std::size_t k) { return 1.0 * (k % 1000); }), kR8,
       true},
      {"REAL*8 with NaNs",
       Real8(kWords, false,
             [&](std::size_t k) {
               return d.Uniform() < 0.1 ? kNaN : std::sin(k * 0.01);
             }),
       kR8},
      {"REAL*8 of 1e-100",
       Real8(kWords, false, [&](std::size_t) { return 1e-100 * d.Uniform(); }),
       kR8},
      {"REAL*8, sparse",
       Real8(kWords, false,
             [&](std::size_t) { return d.Uniform() < 0.9 ? 0.0 : d.Normal(); }),
       kR8},
      {"8 REAL*8 values",
       Real8(16, false, [](std::size_t k) { return 1e3 / (k + 3.7); }), kR8},
      {"INTEGER*4 indices", Int4(kWords, [](std::size_t k) { return k + 1; }),
       kI4},
      {"INTEGER*4 of both signs",
       Int4(kWords,
            [&](std::size_t) {
              return static_cast<std::int64_t>(2000 * d.Uniform()) - 1000;
            }),
       kI4},
      {"INTEGER*4 flags",
       Int4(kWords, [](std::size_t k) { return k % 3 == 0; }), kI4},
      {"16 INTEGER*4", Int4(16, [](std::size_t k) { return k + 1; }), kI4},
      {"8 INTEGER*4: too few to be sure",
       Int4(8, [](std::size_t k) { return k + 1; }), kR4},
      {"INTEGER*4 past 2^23: real4 of their own",
       Int4(kWords, [](std::size_t k) { return 10'000'000 + k; }), kR4},
      {"INTEGER*8: not sure",
       Real8(kWords, false,
             [](std::size_t k) {
               return std::bit_cast<double>(std::uint64_t{k % 1000});
             }),
       kR4},
      {"REAL*4 of the other byte order, smooth",
       Swapped(Real4(kWords,
                     [](std::size_t k) { return 300 + std::sin(k * 0.01); })),
       kSw},
      {"REAL*4 of the other byte order, noise",
       Swapped(Real4(kWords, [&](std::size_t) { return d.Normal(); })), kSw},
      {"REAL*4 of the other byte order, little-endian markers",
       Swapped(Real4(kWords, sine(1e-3))), kSw, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape);
    EXPECT_EQ(JudgeValues(c.words, c.big_endian, c.words.size() % 2 == 0),
              c.look);
  }
  // Rows of an odd number of values cannot be REAL*8.
  EXPECT_EQ(JudgeValues(Real8(kWords, false, sine(300)), false, false), kR4);
}

// A sample is bounded: the first rows, and rows spread through the rest to
// the end, never the whole file.
TEST(ValueJudgeTest, SamplesTheFirstRowsAndRowsSpreadToTheEnd) {
  constexpr std::uint32_t kRows = 100'000;
  std::string bytes;
  for (std::uint32_t row = 0; row < kRows; ++row) {
    const std::uint32_t values[] = {row, row};
    bytes += test::FramedRecord(
        std::string_view(reinterpret_cast<const char*>(values), sizeof values));
  }
  const PlacedFile placed =
      PlaceDataFile(std::make_unique<test::MemoryInputFile>(bytes), "rows.dat",
                    RowsLayout(ValueType::kReal4), {LoadLimits{}}, {"/tmp"});
  const Words words = SampleWords(placed, *RowsLayout(ValueType::kReal4).rows);
  ASSERT_EQ(words.size(), kWords / 2 + 32 * 2);
  EXPECT_EQ(words[0], 0u);
  EXPECT_EQ(words[kWords / 2 - 1], kWords / 4 - 1);  // the first rows whole
  EXPECT_EQ(words[kWords / 2], kWords / 4);          // then spread rows
  EXPECT_GT(words.back(), kRows - kRows / 16);       // to the end
}

}  // namespace
}  // namespace unf2mat
