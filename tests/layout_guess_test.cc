#include "loader/layout_guess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "converter/describe.h"
#include "loader/variables.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

// Payload bytes of values in the host's order.
template <typename T>
std::string Of(const std::vector<T>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()),
                     values.size() * sizeof(T));
}
std::string I4(const std::vector<std::int32_t>& v) { return Of(v); }
std::string R8(const std::vector<double>& v) { return Of(v); }
std::string Rec(const std::string& payload) {
  return test::FramedRecord(payload);
}

// n values that are not round, from `first` on.
std::string R4(std::size_t n, int first = 1) {
  std::vector<float> v(n);
  for (std::size_t k = 0; k < n; ++k) {
    v[k] = static_cast<float>(0.37 * (first + k) - 20.0 / (first + k + 2.0));
  }
  return Of(v);
}

// A CHARACTER(30) value.
std::string Text30(std::string text) {
  text.resize(30, ' ');
  return text;
}

// Each 4-byte word of `bytes` (markers and values) in the other byte order.
std::string Swapped(std::string bytes) {
  for (std::size_t k = 0; k + 4 <= bytes.size(); k += 4) {
    std::reverse(bytes.begin() + static_cast<long>(k),
                 bytes.begin() + static_cast<long>(k + 4));
  }
  return bytes;
}

std::string Repeat(int times, const std::function<std::string(int)>& each) {
  std::string bytes;
  for (int k = 0; k < times; ++k) bytes += each(k);
  return bytes;
}

// What --describe proposes and hints of a file read as plain rows.
std::string Proposed(const std::string& bytes, const std::string& name) {
  test::StringOutputFile out;
  DescribeFile(std::make_unique<test::MemoryInputFile>(bytes), {name, "v"},
               LoadRequest{}, {"/tmp"}, out);
  std::string lines;
  std::size_t at = 0;
  while (at < out.data().size()) {
    const std::size_t end = out.data().find('\n', at);
    const std::string line = out.data().substr(at, end - at);
    if (line.starts_with("  hint: ") || line.starts_with("  suggest: ")) {
      lines += line.substr(2) + "\n";
    }
    at = end + 1;
  }
  return lines;
}

// Each kind of file the inference knows, and files it must leave alone.
TEST(LayoutGuessTest, ProposesWhatReadsTheWholeFile) {
  const std::string sizes_then_arrays =
      Rec(I4({3, 2})) + Repeat(3, [](int k) { return Rec(R4(6, 6 * k)); });
  const std::string frame_records = Repeat(3, [](int k) {
    return Rec(R8({30.1 + k, 30.2 + k, 29.9, 90.0, 90.5, 120.25})) +
           Rec(R4(5, k)) + Rec(R4(5, 10 + k)) + Rec(R4(5, 20 + k));
  });
  std::vector<std::int32_t> many(20, 0);
  many[3] = 4;
  many[4] = 3;
  const struct {
    const char* file;
    const char* name;
    std::string bytes;
    std::string lines;
  } cases[] = {
      {"sizes, then arrays", "d.dat", sizes_then_arrays,
       "suggest: unf2mat --layout 'record nx, ny: int4; repeat { record a: "
       "real4(nx, ny) }' d.dat\n"},
      {"the same, big-endian", "d.dat", Swapped(sizes_then_arrays),
       "suggest: unf2mat --layout 'record nx, ny: int4; repeat { record a: "
       "real4(nx, ny) }' d.dat\n"},
      {"a name the shell takes apart, quoted", "my run's.dat",
       sizes_then_arrays,
       "suggest: unf2mat --layout 'record nx, ny: int4; repeat { record a: "
       "real4(nx, ny) }' 'my run'\\''s.dat'\n"},
      {"a name like an option", "-x.dat", sizes_then_arrays,
       "suggest: unf2mat --layout 'record nx, ny: int4; repeat { record a: "
       "real4(nx, ny) }' ./-x.dat\n"},
      {"standard input: no name for the MAT-file", "-", sizes_then_arrays,
       "hint: the first record holds 8 bytes and the 3 after it 24 bytes "
       "each; a header record? --skip 1 reads 3 x 6\n"},
      {"a size of 1 before the sizes is no dimension", "d.dat",
       Rec(I4({1, 3, 2})) + Repeat(2, [](int k) { return Rec(R4(6, k)); }),
       "suggest: unf2mat --layout 'record h1, nx, ny: int4; repeat { record "
       "a: real4(nx, ny) }' d.dat\n"},
      {"sizes inside a header array", "d.dat",
       Rec(I4(many)) + Repeat(2, [](int k) { return Rec(R4(12, k)); }),
       "suggest: unf2mat --layout 'record h1: int4(20); repeat { record a: "
       "real4(h1(4), h1(5)) }' d.dat\n"},
      {"a title, sizes, then a time and values per step", "d.dat",
       Rec(Text30("Run 42, the third mesh")) + Rec(I4({3, 2, 2})) +
           Repeat(3, [](int k) { return Rec(R4(1, 50 + k)) + Rec(R4(12, k)); }),
       "suggest: unf2mat --layout 'record title: char(30); record nx, ny, "
       "nz: int4; repeat { record t: real4; record a: real4(nx, ny, nz) }' "
       "d.dat\n"},
      {"frames of a REAL*8 cell and x, y and z", "d.dat", frame_records,
       "suggest: unf2mat --layout 'repeat { record a: real8(6); record x: "
       "real4(5); record y: real4(5); record z: real4(5) }' d.dat\n"},
      {"the same after the count of atoms", "d.dat",
       Rec(I4({5})) + frame_records,
       "suggest: unf2mat --layout 'record n: int4; repeat { record a: "
       "real8(6); record x: real4(n); record y: real4(n); record z: real4(n) "
       "}' d.dat\n"},
      {"a REAL*8 time of many digits, then values", "d.dat",
       Rec(R8({5.0 / 3})) + Repeat(3, [](int k) { return Rec(R4(6, k)); }),
       "suggest: unf2mat --layout 'record h1: real8; repeat { record a: "
       "real4(6) }' d.dat\n"},
      {"a round REAL*8 time: shorter so than as REAL*4", "d.dat",
       Rec(R8({12.5})) + Repeat(3, [](int k) { return Rec(R4(6, k)); }),
       "suggest: unf2mat --layout 'record h1: real8; repeat { record a: "
       "real4(6) }' d.dat\n"},
      {"two REAL*4 of few digits", "d.dat",
       Rec(Of<float>({0.5f, 300.0f})) +
           Repeat(3, [](int k) { return Rec(R4(6, k)); }),
       "suggest: unf2mat --layout 'record h1, h2: real4; repeat { record a: "
       "real4(6) }' d.dat\n"},
      {"a tie of digits is REAL*4's", "d.dat",
       Rec(Of<float>({0.0f, 2.0f})) +
           Repeat(3, [](int k) { return Rec(R4(6, k)); }),
       "suggest: unf2mat --layout 'record h1, h2: real4; repeat { record a: "
       "real4(6) }' d.dat\n"},
      {"values between infinities and NaNs", "d.dat",
       Rec(I4({5, 2})) + Repeat(2,
                                [](int k) {
                                  std::vector<std::uint32_t> v;
                                  for (std::uint32_t j = 0; j < 5; ++j) {
                                    const std::uint32_t specials[] = {
                                        0xff800000, 0xffc00123, 0x80000000,
                                        0x7f800000, 1};
                                    v.push_back(specials[j]);
                                    v.push_back(std::bit_cast<std::uint32_t>(
                                        1.25f * (10 * k + 2 * j + 6)));
                                  }
                                  return Rec(Of(v));
                                }),
       "suggest: unf2mat --layout 'record nx, ny: int4; repeat { record a: "
       "real4(nx, ny) }' d.dat\n"},
      {"four arrays alike are no coordinates", "d.dat",
       Repeat(3,
              [](int k) {
                return Rec(R4(1, k)) + Rec(R4(4, k)) + Rec(R4(4, 5 + k)) +
                       Rec(R4(4, 9 + k)) + Rec(R4(4, 13 + k));
              }),
       "suggest: unf2mat --layout 'repeat { record t: real4; record a: "
       "real4(4); record b: real4(4); record c: real4(4); record d: real4(4) "
       "}' d.dat\n"},
      {"an FDS slice file: the shipped layout", "d.sf",
       Rec(Text30("TEMPERATURE")) + Rec(Text30("temp")) + Rec(Text30("C")) +
           Rec(I4({0, 1, 0, 2, 3, 3})) +
           Repeat(2, [](int k) { return Rec(R4(1, k)) + Rec(R4(6, k)); }),
       "suggest: unf2mat --layout fds-slice d.sf\n"},
      {"plain rows of REAL*8", "d.dat",
       Repeat(4,
              [](int k) {
                return Rec(R8({k / 3.0, 1e3 / 7, -2.0 / 9, 5.5}));
              }),
       "hint: the values look like REAL*8, not REAL*4: --type real8 reads "
       "them so\n"
       "suggest: unf2mat --type real8 d.dat\n"},
      {"plain rows of INTEGER*4", "d.dat",
       Repeat(4,
              [](int k) {
                return Rec(I4({k, k + 1, -k - 2, 40, 5}));
              }),
       "hint: the values look like INTEGER*4, not REAL*4: --type int4 reads "
       "them so\n"
       "suggest: unf2mat --type int4 d.dat\n"},
      {"plain rows of REAL*4: nothing to say", "d.dat",
       Repeat(4, [](int k) { return Rec(R4(5, 5 * k)); }), ""},
      {"REAL*4 of the other byte order: nothing reads it", "d.dat",
       Repeat(4, [](int k) { return Rec(Swapped(R4(8, 8 * k))); }),
       "hint: the values look like REAL*4 of the other byte order: "
       "big-endian, where the record markers are little-endian; they are "
       "read in the markers' order\n"},
      {"no record", "d.dat", "", ""},
      {"lengths of no pattern", "d.dat",
       Rec(R4(2)) + Rec(R4(3)) + Rec(R4(5)) + Rec(R4(7)) + Rec(R4(4)) +
           Rec(R4(7)),
       ""},
      {"a last record unlike the others, not sized by them", "d.dat",
       Rec(R4(2)) + Rec(R4(3)) + Rec(R4(5)) + Rec(R4(4)) + Rec(R4(7)), ""},
      {"a header and one array it sizes", "d.dat", Rec(I4({3, 2})) + Rec(R4(6)),
       "suggest: unf2mat --layout 'record nx, ny: int4; repeat { record a: "
       "real4(nx, ny) }' d.dat\n"},
      {"a pattern past the lengths kept, broken at the end", "d.dat",
       Rec(I4({2})) + Repeat(5000, [](int k) { return Rec(R4(2, k)); }) +
           Rec(R4(3)),
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(Proposed(c.bytes, c.name), c.lines);
  }
}

// Plain rows read as REAL*4 whose bits say otherwise draw a warning, with
// the option that reads them so; by the control lines' load and by the
// options' alike.
TEST(LayoutGuessTest, ConversionWarnsOfAnotherType) {
  const std::string int4 = Repeat(4, [](int k) {
    return Rec(I4({k, k + 1, -k - 2, 40, 5}));
  });
  const std::string warning =
      "unf2mat: warning: the values of data file 'd.dat' look like "
      "INTEGER*4, not REAL*4: --type int4 reads them so\n";
  RunState& state = test::FreshState();
  const MemoryStore store{{reinterpret_cast<char*>(state.x), sizeof state.x},
                          state.core};
  const struct {
    const char* request;
    std::string bytes;
    ClassChoice classes;
    ValueType type;
    std::string warnings;
  } cases[] = {
      {"plain rows", int4, ClassChoice::kDouble, ValueType::kReal4, warning},
      {"--class single", int4, ClassChoice::kSingle, ValueType::kReal4,
       warning},
      {"--type int4", int4, ClassChoice::kDouble, ValueType::kInt4, ""},
      {"REAL*4", Repeat(4, [](int k) { return Rec(R4(5, 5 * k)); }),
       ClassChoice::kDouble, ValueType::kReal4, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    LoadRequest request;
    request.classes = c.classes;
    request.type = c.type;
    test::StringOutputFile warnings;
    LoadVariables(
        {{"d.dat", "d"}}, request,
        [&](const std::string&) {
          return std::make_unique<test::MemoryInputFile>(c.bytes);
        },
        store, {"/tmp"}, warnings);
    EXPECT_EQ(warnings.data(), c.warnings);
  }
}

}  // namespace
}  // namespace unf2mat
