#include "matfile/matfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "converter/control.h"
#include "converter/phases.h"
#include "loader/core_tiles.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

using namespace std::string_literals;
using test::Le32;
using test::LeDouble;
using test::MemoryInputFile;
using test::StringOutputFile;

const std::string kHeader =
    "MATLAB 5.0 MAT-file, Platform: LNX86, Created on: Wed Oct 13 22:44:21 "
    "1999" +
    std::string(50, ' ') + "\x00\x01IM"s;

// A state as the earlier phases leave it: names from the control lines, a
// rows x columns matrix stored record after record.
RunState& Prepared(const std::string& variable, int rows, int columns,
                   const std::vector<double>& core) {
  RunState& state = test::FreshState();
  MemoryInputFile input("run.dat\n\n\n\n\n" + variable + "\n");
  LineReader in(input);
  StringOutputFile out;
  Console console{in, out, out};
  readcontrol(state, console);
  state.icol = rows;
  state.irow = columns;
  std::copy(core.begin(), core.end(), state.core);
  return state;
}

// The state's matrix as writemat hands it to the writer.
std::uint64_t Write(RunState& state, BufferedWriter& out,
                    std::size_t tile_values = kTileBytes / 8) {
  CoreTiles tiles(state.core, state.icol, state.irow);
  const MatVariable variable{Prefix(state.fname2, state.n1),
                             static_cast<std::uint64_t>(state.icol),
                             static_cast<std::uint64_t>(state.irow),
                             &tiles,
                             {},
                             MatClass::kDouble};
  return WriteLevel5({&variable, 1}, out, 8 * tile_values);
}

std::string Written(RunState& state) {
  StringOutputFile file;
  BufferedWriter out(file, 24);
  const std::uint64_t records = Write(state, out);
  EXPECT_EQ(out.Flush(), 0);
  EXPECT_EQ(records * 8, file.data().size());
  return file.data();
}

std::string Doubles(const std::vector<double>& values) {
  std::string bytes;
  for (double v : values) bytes += LeDouble(v);
  return bytes;
}

struct GoldenCase {
  const char* name;
  std::string variable;
  int rows, columns;
  std::vector<double> core;
  std::string expected;
};

TEST(MatFileTest, GoldenFiles) {
  const std::vector<double> two_by_three = {1, 2, 3, 4, 5, 6};
  const std::string flags = Le32(6, 8) + Le32(6, 0) + Le32(5, 8);
  const GoldenCase cases[] = {
      {"short name", "ab", 2, 3, two_by_three,
       kHeader + Le32(14, 96) + flags + Le32(2, 3) +
           "\x01\x00\x02\x00"
           "ab\0\0"s +
           Le32(9, 48) + Doubles({1, 4, 2, 5, 3, 6})},
      {"long name", "abcdefghij", 2, 3, two_by_three,
       kHeader + Le32(14, 112) + flags + Le32(2, 3) + Le32(1, 10) + "abcdefgh" +
           "ij\0\0\0\0\0\0"s + Le32(9, 48) + Doubles({1, 4, 2, 5, 3, 6})},
      {"empty matrix",
       "run",
       0,
       0,
       {},
       kHeader + Le32(14, 48) + flags + Le32(0, 0) + "\x01\x00\x03\x00run\0"s +
           Le32(9, 0)},
      {"four-character name fills its record",
       "abcd",
       1,
       1,
       {7},
       kHeader + Le32(14, 56) + flags + Le32(1, 1) +
           "\x01\x00\x04\x00"
           "abcd"s +
           Le32(9, 8) + Doubles({7})},
      {"five-character name",
       "abcde",
       1,
       1,
       {7},
       kHeader + Le32(14, 64) + flags + Le32(1, 1) + Le32(1, 5) +
           "abcde\0\0\0"s + Le32(9, 8) + Doubles({7})},
      {"rows of no values",
       "v",
       6,
       0,
       {},
       kHeader + Le32(14, 48) + flags + Le32(6, 0) +
           "\x01\x00\x01\x00v\0\0\0"s + Le32(9, 0)},
      {"column by column",
       "m",
       3,
       4,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
       kHeader + Le32(14, 144) + flags + Le32(3, 4) +
           "\x01\x00\x01\x00m\0\0\0"s + Le32(9, 96) +
           Doubles({1, 5, 9, 2, 6, 10, 3, 7, 11, 4, 8, 12})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunState& state = Prepared(c.variable, c.rows, c.columns, c.core);
    const std::string file = Written(state);
    EXPECT_EQ(file, c.expected);
    // The whole file is the header, the matrix tag and the element it sizes.
    EXPECT_EQ(file.substr(128, 8),
              Le32(14, static_cast<std::uint32_t>(file.size() - 136)));
  }
}

TEST(MatFileTest, KeepsSpecialValuesBitForBit) {
  using D = std::numeric_limits<double>;
  const std::vector<double> values = {
      -0.0,
      D::infinity(),
      -D::infinity(),
      D::quiet_NaN(),
      std::bit_cast<double>(0x7ff4000000000abcULL),
      D::denorm_min(),
      static_cast<double>(std::numeric_limits<float>::denorm_min())};
  RunState& state = Prepared("v", 1, static_cast<int>(values.size()), values);
  const std::string file = Written(state);
  const std::size_t first = file.size() - 8 * values.size();
  for (std::size_t k = 0; k < values.size(); ++k) {
    EXPECT_EQ(file.substr(first + 8 * k, 8), LeDouble(values[k]))
        << "value " << k;
  }
}

// The first failure, in the header or among the values, is the last write.
TEST(MatFileTest, WriteFailureIsReportedOnce) {
  const std::vector<double> values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (int good_writes : {0, 3, 7, 12, 13, 15}) {
    SCOPED_TRACE(good_writes);
    RunState& state = Prepared("v", 3, 4, values);
    test::FailingOutputFile file(good_writes, ENOSPC);
    BufferedWriter out(file, 16);
    Write(state, out, /*tile_values=*/2);
    EXPECT_EQ(out.Flush(), ENOSPC);
    EXPECT_EQ(file.calls(), good_writes + 1);
  }
}

// A source of int4 values that knows value (r, c) as r * 1000 + c, and notes
// each tile it is asked for; it hands tiles of whole columns out of its own
// memory, others in the staging, and fails (as a data file that cannot be
// read) at call `fail_at`.
class FakeTiles final : public TileSource {
 public:
  FakeTiles(std::uint64_t rows, std::uint64_t columns, int fail_at = -1,
            ValueType element = ValueType::kInt4)
      : rows_(rows),
        fail_at_(fail_at),
        element_(element),
        own_(4 * rows * columns) {
    for (std::uint64_t c = 0; c < columns; ++c) {
      for (std::uint64_t r = 0; r < rows; ++r) {
        Put(&own_[4 * (c * rows + r)], r, c);
      }
    }
  }
  const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                   std::size_t tc, char* staging) override {
    if (static_cast<int>(tiles.size()) == fail_at_) {
      throw RunError("cannot read data file 'd': Input/output error");
    }
    tiles.push_back({r0, tr, c0, tc});
    if (tr == rows_) return &own_[4 * c0 * rows_];
    for (std::size_t c = 0; c < tc; ++c) {
      for (std::size_t r = 0; r < tr; ++r) {
        Put(staging + 4 * (c * tr + r), r0 + r, c0 + c);
      }
    }
    return staging;
  }
  ValueType element() const override { return element_; }
  std::size_t tile_bytes() const override { return kTileBytes; }
  struct Asked {
    std::uint64_t r0, tr, c0, tc;
  };
  std::vector<Asked> tiles;

 private:
  static void Put(char* dst, std::uint64_t r, std::uint64_t c) {
    const auto value = static_cast<std::int32_t>(r * 1000 + c);
    std::memcpy(dst, &value, 4);
  }
  std::uint64_t rows_;
  int fail_at_;
  ValueType element_;
  std::vector<char> own_;
};

// Classes, dimensions past two and several variables: each element's values
// in the class's own type, padded to 8 bytes, and the next element right
// after. The fake's values are r * 1000 + c, kept as they are for their own
// class (the bits of an int32 serve as a single's).
TEST(MatFileTest, ElementsOfEachClassAndRank) {
  FakeTiles row(1, 3), column(2, 3, -1, ValueType::kReal4), one(1, 1);
  const std::string flags = Le32(6, 8);
  const std::string ints = Le32(0, 1) + Le32(2, 0);  // 0, 1, 2 and padding
  const std::string k = Le32(14, 64) + flags + Le32(12, 0) + Le32(5, 8) +
                        Le32(1, 3) + "\x01\x00\x01\x00k\0\0\0"s + Le32(5, 12) +
                        ints;
  const std::string u = Le32(14, 80) + flags + Le32(7, 0) + Le32(5, 12) +
                        Le32(2, 1) + Le32(3, 0) + "\x01\x00\x01\x00u\0\0\0"s +
                        Le32(7, 24) + Le32(0, 1000) + Le32(1, 1001) +
                        Le32(2, 1002);
  const std::string d = Le32(14, 56) + flags + Le32(6, 0) + Le32(5, 8) +
                        Le32(1, 1) +
                        "\x01\x00\x01\x00"
                        "d\0\0\0"s +
                        Le32(9, 8) + LeDouble(0);
  const MatVariable variables[] = {
      {"k", 1, 3, &row, {}, MatClass::kInt32},
      {"u", 2, 3, &column, {2, 1, 3}, MatClass::kSingle},
      {"d", 1, 1, &one, {}, MatClass::kDouble}};
  StringOutputFile file;
  BufferedWriter out(file, 24);
  const std::uint64_t records = WriteLevel5(variables, out);
  ASSERT_EQ(out.Flush(), 0);
  EXPECT_EQ(file.data(), kHeader + k + u + d);
  EXPECT_EQ(records * 8, file.data().size());
}

// The one loop that writes every matrix: each value once, in its place
// column by column, in tiles that keep within the staging and are whole
// columns (one write each) wherever 64 columns fit; a source that fails ends
// it, and so does a write that fails, without filling the tiles after it.
TEST(MatFileTest, OneLoopWritesEveryTileOnce) {
  const struct {
    std::uint64_t rows, columns;
    std::size_t capacity;
    int fail_at = -1;           // the source's call that fails
    int good_writes = 1 << 30;  // of the output file
  } cases[] = {
      {3, 4, 100}, {2, 200, 256}, {100, 3, 30},    {100, 50, 20},
      {1, 9, 4},   {9, 1, 4},     {100, 3, 30, 4}, {100, 3, 30, -1, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + " x " + std::to_string(c.columns) +
                 ", capacity " + std::to_string(c.capacity));
    FakeTiles source(c.rows, c.columns, c.fail_at);
    test::FailingOutputFile file(c.good_writes, ENOSPC);
    BufferedWriter out(file);
    const MatVariable variable{"m",     c.rows, c.columns,
                               &source, {},     MatClass::kDouble};
    if (c.fail_at >= 0) {
      EXPECT_THROW(WriteLevel5({&variable, 1}, out, 4 * c.capacity), RunError);
      EXPECT_EQ(source.tiles.size(), static_cast<std::size_t>(c.fail_at));
      continue;
    }
    WriteLevel5({&variable, 1}, out, 4 * c.capacity);
    if (c.good_writes < (1 << 30)) {
      EXPECT_EQ(out.Flush(), ENOSPC);
      EXPECT_LE(source.tiles.size(), 3u) << "filled on after a failed write";
      continue;
    }
    ASSERT_EQ(out.Flush(), 0);
    std::vector<int> filled(c.rows * c.columns);
    for (const auto& t : source.tiles) {
      EXPECT_LE(t.tr * t.tc, c.capacity);
      if (c.rows * 64 <= c.capacity) {
        EXPECT_EQ(t.tr, c.rows);
      }
      for (std::uint64_t r = t.r0; r < t.r0 + t.tr; ++r) {
        for (std::uint64_t col = t.c0; col < t.c0 + t.tc; ++col) {
          ++filled[r * c.columns + col];
        }
      }
    }
    EXPECT_EQ(filled, std::vector<int>(c.rows * c.columns, 1));
    std::string expected;
    for (std::uint64_t col = 0; col < c.columns; ++col) {
      for (std::uint64_t r = 0; r < c.rows; ++r) {
        expected += LeDouble(static_cast<double>(r * 1000 + col));
      }
    }
    EXPECT_TRUE(file.data().ends_with(expected));
    EXPECT_EQ(file.data().size(), 184 + expected.size());
  }
}

// However the values are cut into tiles and pieces, the file holds the
// matrix column by column.
TEST(MatFileTest, TilingKeepsColumnOrder) {
  struct {
    std::size_t rows, columns;
  } const shapes[] = {
      {1, 7},
      {7, 1},
      {3, 5},
      {5, 3},
      {7, 7},
      // Enough rows to be written in bands of column pieces.
      {40000, 3},
      // Rows long enough to be given back while they are written.
      {2, 600000},
  };
  for (const auto& shape : shapes) {
    const std::size_t n = shape.rows * shape.columns;
    std::vector<double> values(n);
    for (std::size_t k = 0; k < n; ++k) values[k] = 0.5 * k - 3;
    std::string expected;
    expected.reserve(8 * n);
    for (std::size_t c = 0; c < shape.columns; ++c) {
      for (std::size_t r = 0; r < shape.rows; ++r) {
        expected += LeDouble(values[r * shape.columns + c]);
      }
    }
    for (std::size_t staging : {std::size_t{1}, std::size_t{2}, std::size_t{6},
                                std::size_t{1} << 16, kTileBytes / 8}) {
      SCOPED_TRACE(std::to_string(shape.rows) + " x " +
                   std::to_string(shape.columns) + ", staging " +
                   std::to_string(staging));
      if (n > 100000 && staging < 1000) continue;  // too slow to be useful
      RunState& state = Prepared("m", static_cast<int>(shape.rows),
                                 static_cast<int>(shape.columns), values);
      StringOutputFile file;
      BufferedWriter out(file);
      const std::uint64_t records = Write(state, out, staging);
      ASSERT_EQ(out.Flush(), 0);
      ASSERT_GE(file.data().size(), expected.size());
      EXPECT_TRUE(file.data().ends_with(expected));
      EXPECT_EQ(records * 8, file.data().size());
    }
  }
}

TEST(MatFileTest, UnwritableLocationEndsTheRun) {
  RunState& state = Prepared("v", 1, 1, {1});
  Assign(state.fname3, "/nonexistent-dir/out.mat");
  try {
    writemat(state);
    ADD_FAILURE() << "no error";
  } catch (const RunError& e) {
    EXPECT_STREQ(e.what(),
                 "cannot create MAT-file '/nonexistent-dir/out.mat': No such "
                 "file or directory");
  }
}

}  // namespace
}  // namespace unf2mat
