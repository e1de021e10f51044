#include "matfile/matfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#ifdef UNF2MAT_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef UNF2MAT_HAVE_HDF5
#include <hdf5.h>
#endif

#include "common/run_error.h"
#include "converter/control.h"
#include "converter/phases.h"
#include "loader/core_tiles.h"
#include "matfile/hdf5_file.h"
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
// read) at call `fail_at`. Its columns may be runs of a data file.
class FakeTiles final : public TileSource {
 public:
  FakeTiles(std::uint64_t rows, std::uint64_t columns, int fail_at = -1,
            ValueType element = ValueType::kInt4, bool column_runs = false)
      : rows_(rows),
        fail_at_(fail_at),
        element_(element),
        column_runs_(column_runs),
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
  bool column_runs() const override { return column_runs_; }
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
  bool column_runs_;
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
// Long columns that are runs of the source are read in pieces of at most
// 1 MiB of doubles, in the array's order (a compressed file takes them so).
TEST(MatFileTest, OneLoopWritesEveryTileOnce) {
  const struct {
    std::uint64_t rows, columns;
    std::size_t capacity;
    int fail_at = -1;           // the source's call that fails
    int good_writes = 1 << 30;  // of the output file
    bool column_runs = false;
  } cases[] = {
      {3, 4, 100},
      {2, 200, 256},
      {100, 3, 30},
      {100, 50, 20},
      {1, 9, 4},
      {9, 1, 4},
      {100, 3, 30, 4},
      {100, 3, 30, -1, 3},
      // Widened by the writing thread, 1 MiB at a time.
      {2, 200000, 1 << 20},
      {300000, 2, 1 << 20, -1, 1 << 30, true},
      {3, 5, 100, -1, 1 << 30, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + " x " + std::to_string(c.columns) +
                 ", capacity " + std::to_string(c.capacity));
    FakeTiles source(c.rows, c.columns, c.fail_at, ValueType::kInt4,
                     c.column_runs);
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
    std::uint64_t next = 0;  // the array's index the next tile must start at
    for (const auto& t : source.tiles) {
      EXPECT_LE(t.tr * t.tc, c.capacity);
      if (c.column_runs) {
        if (8 * c.rows > (1 << 20)) {
          EXPECT_LE(8 * t.tr * t.tc, 1u << 20);
        }
        EXPECT_EQ(t.c0 * c.rows + t.r0, next);
        next += t.tr * t.tc;
      }
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
    Conversion plain_rows;
    writemat(state, plain_rows);
    ADD_FAILURE() << "no error";
  } catch (const RunError& e) {
    EXPECT_STREQ(e.what(),
                 "cannot create MAT-file '/nonexistent-dir/out.mat': No such "
                 "file or directory");
  }
}

// Values of any type, given column by column in the host's byte order, and
// handed out as a data file's are: copied into the staging, in tiles no
// larger than it asks for.
class ValueTiles final : public TileSource {
 public:
  template <typename T>
  ValueTiles(ValueType element, std::uint64_t rows, std::vector<T> values,
             std::size_t tile_bytes = kTileBytes)
      : element_(element),
        rows_(rows),
        bytes_(reinterpret_cast<const char*>(values.data()),
               values.size() * sizeof(T)),
        tile_bytes_(tile_bytes) {}
  const char* Fill(std::uint64_t r0, std::size_t tr, std::uint64_t c0,
                   std::size_t tc, char* staging) override {
    const std::size_t size = ValueSize(element_);
    EXPECT_LE(size * tr * tc, tile_bytes_);
    for (std::size_t c = 0; c < tc; ++c) {
      std::memcpy(staging + size * c * tr,
                  bytes_.data() + size * ((c0 + c) * rows_ + r0), size * tr);
    }
    return staging;
  }
  ValueType element() const override { return element_; }
  std::size_t tile_bytes() const override { return tile_bytes_; }

 private:
  ValueType element_;
  std::uint64_t rows_;
  std::string bytes_;
  std::size_t tile_bytes_;
};

// Cells as a loader makes them: without their values where none are asked.
class FakeCells final : public CellSource {
 public:
  explicit FakeCells(std::vector<MatVariable> cells)
      : cells_(std::move(cells)) {}
  MatVariable Cell(std::uint64_t k, bool with_values) override {
    MatVariable cell = cells_.at(k);
    if (!with_values) cell.values = nullptr;
    return cell;
  }

 private:
  std::vector<MatVariable> cells_;
};

MatVariable Complex(MatVariable variable) {
  variable.complex = true;
  return variable;
}

MatVariable CellArray(std::string_view name, std::uint64_t rows,
                      std::uint64_t columns, CellSource* cells) {
  MatVariable variable{name, rows, columns, nullptr, {}, MatClass::kDouble};
  variable.cells = cells;
  return variable;
}

// The Level 5 format, written out here from its description: a data
// element, padded to 8 bytes, and a matrix element of the first word of the
// array flags, dimensions and name, followed by `body`.
std::string Data(std::uint32_t mi, std::string bytes) {
  const auto size = static_cast<std::uint32_t>(bytes.size());
  bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
  return Le32(mi, size) + bytes;
}

std::string Matrix(std::uint32_t flags, const std::vector<std::uint32_t>& dims,
                   const std::string& name, const std::string& body) {
  std::string dim_bytes;
  for (std::uint32_t dim : dims) dim_bytes += Le32(dim, 0).substr(0, 4);
  std::string name_bytes = Data(1, name);
  if (name.size() <= 4) {  // the small form: size and type in one word
    name_bytes = "\x01\x00"s + static_cast<char>(name.size()) + '\0' + name;
    name_bytes.resize(8, '\0');
  }
  const std::string element =
      Le32(6, 8) + Le32(flags, 0) + Data(5, dim_bytes) + name_bytes + body;
  return Le32(14, static_cast<std::uint32_t>(element.size())) + element;
}

template <typename T>
std::string Le(const std::vector<T>& values) {  // on a little-endian host
  return std::string(reinterpret_cast<const char*>(values.data()),
                     values.size() * sizeof(T));
}

#ifdef UNF2MAT_HAVE_ZLIB
// The elements of a v7 file after its header, each inflated.
std::string Inflated(const std::string& file) {
  std::string elements;
  for (std::size_t at = 128; at + 8 <= file.size();) {
    const std::uint32_t type = DecodeFixed32(file.data() + at);
    const std::uint32_t bytes = DecodeFixed32(file.data() + at + 4);
    if (type != 15) return "element of type " + std::to_string(type);
    std::vector<unsigned char> out(std::size_t{1} << 20);
    uLongf got = out.size();
    if (uncompress(out.data(), &got,
                   reinterpret_cast<const Bytef*>(file.data() + at + 8),
                   bytes) != Z_OK) {
      return "not a zlib stream";
    }
    elements.append(reinterpret_cast<const char*>(out.data()), got);
    at += 8 + bytes;  // not padded
  }
  return elements;
}
#endif

#ifdef UNF2MAT_HAVE_HDF5
std::string ReadAttribute(hid_t object, const char* name) {
  if (H5Aexists(object, name) <= 0) return "";
  const hid_t attribute = H5Aopen(object, name, H5P_DEFAULT);
  const hid_t type = H5Aget_type(attribute);
  std::string text;
  if (H5Tget_class(type) == H5T_STRING) {
    text.resize(H5Tget_size(type));
    H5Aread(attribute, type, text.data());
  } else {
    std::int64_t value = 0;
    H5Aread(attribute, H5T_NATIVE_INT64, &value);
    text = std::to_string(value) + (H5Tget_size(type) == 4 ? "" : "?");
  }
  H5Tclose(type);
  H5Aclose(attribute);
  return text;
}

// "i2", "f8", "u1": a little-endian number's type; a pair's "(real f8, imag
// f8)".
std::string TypeName(hid_t type) {
  const std::string size = std::to_string(H5Tget_size(type));
  const std::string order = H5Tget_order(type) == H5T_ORDER_LE ? "" : " BE";
  switch (H5Tget_class(type)) {
    case H5T_INTEGER:
      return (H5Tget_sign(type) == H5T_SGN_NONE ? "u" : "i") + size + order;
    case H5T_FLOAT:
      return "f" + size + order;
    case H5T_REFERENCE:
      return "ref";
    case H5T_COMPOUND: {
      std::string members;
      for (int k = 0; k < H5Tget_nmembers(type); ++k) {
        char* name = H5Tget_member_name(type, k);
        const hid_t member = H5Tget_member_type(type, k);
        members += k == 0 ? "(" : ", ";
        members += std::string(name) + " " + TypeName(member) + " at " +
                   std::to_string(H5Tget_member_offset(type, k));
        H5Tclose(member);
        H5free_memory(name);
      }
      return members + ")";
    }
    default:
      return "other";
  }
}

// A number of the type at `at`, as printed: integers in decimal, floats
// with all their digits.
std::string Number(hid_t type, const char* at) {
  char text[40];
  const std::size_t size = H5Tget_size(type);
  if (H5Tget_class(type) == H5T_FLOAT) {
    const double value = size == 4 ? *reinterpret_cast<const float*>(at)
                                   : *reinterpret_cast<const double*>(at);
    std::snprintf(text, sizeof text, size == 4 ? "%.9g" : "%.17g", value);
    return text;
  }
  std::int64_t value = 0;
  std::memcpy(&value, at, size);
  if (H5Tget_sign(type) != H5T_SGN_NONE && size < 8 &&
      (value >> (8 * size - 1)) != 0) {
    value -= std::int64_t{1} << (8 * size);
  }
  return std::to_string(value);
}

// What a reader finds in the dataset: its class attributes, type, the
// dimensions as HDF5 lists them, and its values in the file's order (a
// pair's parts joined by '/'; a reference's dataset, in braces, which must
// lie in /#refs#).
std::string Hdf5Dump(hid_t dataset) {
  const hid_t type = H5Dget_type(dataset);
  const hid_t space = H5Dget_space(dataset);
  std::vector<hsize_t> dims(H5Sget_simple_extent_ndims(space));
  H5Sget_simple_extent_dims(space, dims.data(), nullptr);
  std::string dump = ReadAttribute(dataset, "MATLAB_class");
  if (std::string decode = ReadAttribute(dataset, "MATLAB_int_decode");
      !decode.empty()) {
    dump += " decode " + decode;
  }
  if (!ReadAttribute(dataset, "MATLAB_empty").empty()) dump += " empty";
  dump += " " + TypeName(type) + " [";
  std::size_t count = 1;
  for (std::size_t k = 0; k < dims.size(); ++k) {
    if (k != 0) dump += ' ';
    dump += std::to_string(dims[k]);
    count *= dims[k];
  }
  dump += "]:";
  const std::size_t size = H5Tget_size(type);
  std::vector<char> values(size * count);
  H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
  for (std::size_t v = 0; v < count; ++v) {
    const char* at = values.data() + size * v;
    dump += " ";
    if (H5Tget_class(type) == H5T_REFERENCE) {
      const hid_t cell = H5Rdereference2(dataset, H5P_DEFAULT, H5R_OBJECT, at);
      char name[64] = {};
      H5Iget_name(cell, name, sizeof name);
      dump += std::string_view(name).starts_with("/#refs#/")
                  ? "{" + Hdf5Dump(cell) + "}"
                  : "{not in #refs#}";
      H5Dclose(cell);
    } else if (H5Tget_class(type) == H5T_COMPOUND) {
      for (int k = 0; k < H5Tget_nmembers(type); ++k) {
        const hid_t member = H5Tget_member_type(type, k);
        if (k != 0) dump += '/';
        dump += Number(member, at + H5Tget_member_offset(type, k));
        H5Tclose(member);
      }
    } else {
      dump += Number(type, at);
    }
  }
  H5Sclose(space);
  H5Tclose(type);
  return dump;
}

// The file's one variable, and how many datasets /#refs# holds.
std::string Hdf5FileDump(const std::string& path, const std::string& name) {
  const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  if (file < 0) return "cannot open";
  const hid_t dataset = H5Dopen2(file, name.c_str(), H5P_DEFAULT);
  std::string dump = Hdf5Dump(dataset);
  H5Dclose(dataset);
  H5G_info_t refs{};
  if (H5Lexists(file, "#refs#", H5P_DEFAULT) > 0 &&
      H5Gget_info_by_name(file, "#refs#", &refs, H5P_DEFAULT) >= 0) {
    dump += "; #refs# " + std::to_string(refs.nlinks);
  }
  H5Fclose(file);
  return dump;
}
#endif

// Each kind of array in each format: v6's element byte for byte, v7's the
// same once inflated, v7.3's datasets as the HDF5 library reads them back.
// Cells are asked for their values only to write them (the fake gives none
// otherwise); a source's tiles of 16 bytes make bands of rows, which v7
// writes through a scratch file and a complex array must not split.
TEST(MatFileTest, EveryKindInEachFormat) {
  ValueTiles int1(ValueType::kInt1, 2,
                  std::vector<std::int8_t>{-128, -1, 0, 1, 127, 5});
  ValueTiles int2(ValueType::kInt2, 1,
                  std::vector<std::int16_t>{-32768, 300, -2});
  ValueTiles logical4(
      ValueType::kLogical4, 2,
      std::vector<std::uint32_t>{0, 1, 0x80000000, 0xFFFFFFFF, 0x100, 0});
  ValueTiles char1(ValueType::kChar1, 1,
                   std::vector<char>{'a', '\xE9', '\xFF'});
  // Each value's real and imaginary parts in turn down a column.
  ValueTiles real8_pairs(ValueType::kReal8, 4,
                         std::vector<double>{1, -1, 2, 0.5, -0.0, 3, 4, -4});
  ValueTiles real4_pairs(ValueType::kReal4, 2,
                         std::vector<float>{1.5f, -0.0f, 2, 3, -7, 1e-40f});
  ValueTiles int2_pairs(ValueType::kInt2, 2,
                        std::vector<std::int16_t>{3, -4, -32768, 7});
  ValueTiles int1_wide(ValueType::kInt1, 1, std::vector<std::int8_t>{-3, 100});
  ValueTiles cell_int2(ValueType::kInt2, 1, std::vector<std::int16_t>{7, 8, 9});
  ValueTiles cell_real8(ValueType::kReal8, 2, std::vector<double>{1, 2, 3, 4});
  FakeCells two({{"", 1, 3, &cell_int2, {}, MatClass::kInt16},
                 {"", 2, 2, &cell_real8, {}, MatClass::kDouble}});
  ValueTiles hi(ValueType::kChar1, 1, std::vector<char>{'h', 'i'});
  ValueTiles high_bit(ValueType::kLogical4, 1,
                      std::vector<std::uint32_t>{0x10000});
  FakeCells inner({{"", 1, 1, &high_bit, {}, MatClass::kLogical},
                   {"", 0, 0, nullptr, {}, MatClass::kDouble}});
  FakeCells outer(
      {{"", 1, 2, &hi, {}, MatClass::kChar}, CellArray("", 2, 1, &inner)});
  FakeCells none({});
  // Value (r, c): 10c + r, imaginary -(r + 1); in tiles of 16 bytes.
  ValueTiles banded_pairs(
      ValueType::kReal8, 6,
      std::vector<double>{0, -1, 1, -2, 2, -3, 10, -1, 11, -2, 12, -3}, 16);
  ValueTiles int1_one(ValueType::kInt1, 1, std::vector<std::int8_t>{-7});
  FakeCells banded({Complex({"", 3, 2, &banded_pairs, {}, MatClass::kDouble}),
                    {"", 1, 1, &int1_one, {}, MatClass::kInt8}});
  const std::string f8_0_1 = Le<double>({0, 1}),
                    f8_10_12 = Le<double>({10, 11, 12});
  const struct {
    const char* what;
    MatVariable variable;
    std::string v6;
    std::string v73;
  } cases[] = {
      {"int8",
       {"i8", 2, 3, &int1, {}, MatClass::kInt8},
       Matrix(8, {2, 3}, "i8",
              Data(1, Le<std::int8_t>({-128, -1, 0, 1, 127, 5}))),
       "int8 i1 [3 2]: -128 -1 0 1 127 5"},
      {"int16, padded",
       {"i16", 1, 3, &int2, {}, MatClass::kInt16},
       Matrix(10, {1, 3}, "i16", Data(3, Le<std::int16_t>({-32768, 300, -2}))),
       "int16 i2 [3 1]: -32768 300 -2"},
      {"logical: any bit set is true",
       {"b", 2, 3, &logical4, {}, MatClass::kLogical},
       Matrix(0x209, {2, 3}, "b", Data(2, "\0\1\1\1\1\0"s)),
       "logical decode 1 u1 [3 2]: 0 1 1 1 1 0"},
      {"char: Latin-1 code units",
       {"s", 1, 3, &char1, {}, MatClass::kChar},
       Matrix(4, {1, 3}, "s", Data(4, Le<std::uint16_t>({0x61, 0xE9, 0xFF}))),
       "char decode 2 u2 [3 1]: 97 233 255"},
      {"complex double",
       Complex({"zd", 2, 2, &real8_pairs, {}, MatClass::kDouble}),
       Matrix(0x806, {2, 2}, "zd",
              Data(9, Le<double>({1, 2, -0.0, 4})) +
                  Data(9, Le<double>({-1, 0.5, 3, -4}))),
       "double (real f8 at 0, imag f8 at 8) [2 2]: 1/-1 2/0.5 -0/3 4/-4"},
      {"complex single, padded",
       Complex({"zs", 1, 3, &real4_pairs, {}, MatClass::kSingle}),
       Matrix(0x807, {1, 3}, "zs",
              Data(7, Le<float>({1.5f, 2, -7})) +
                  Data(7, Le<float>({-0.0f, 3, 1e-40f}))),
       "single (real f4 at 0, imag f4 at 4) [3 1]: 1.5/-0 2/3 "
       "-7/9.9999461e-41"},
      {"complex int2 widened",
       Complex({"zw", 1, 2, &int2_pairs, {}, MatClass::kDouble}),
       Matrix(0x806, {1, 2}, "zw",
              Data(9, Le<double>({3, -32768})) + Data(9, Le<double>({-4, 7}))),
       "double (real f8 at 0, imag f8 at 8) [2 1]: 3/-4 -32768/7"},
      {"int1 widened",
       {"w", 1, 2, &int1_wide, {}, MatClass::kDouble},
       Matrix(6, {1, 2}, "w", Data(9, Le<double>({-3, 100}))),
       "double f8 [2 1]: -3 100"},
      {"cell of two arrays", CellArray("c", 2, 1, &two),
       Matrix(1, {2, 1}, "c",
              Matrix(10, {1, 3}, "", Data(3, Le<std::int16_t>({7, 8, 9}))) +
                  Matrix(6, {2, 2}, "", Data(9, Le<double>({1, 2, 3, 4})))),
       "cell ref [1 2]: {int16 i2 [3 1]: 7 8 9} {double f8 [2 2]: 1 2 3 4}; "
       "#refs# 2"},
      {"nested cell with an empty cell", CellArray("n", 1, 2, &outer),
       Matrix(1, {1, 2}, "n",
              Matrix(4, {1, 2}, "", Data(4, Le<std::uint16_t>({'h', 'i'}))) +
                  Matrix(1, {2, 1}, "",
                         Matrix(0x209, {1, 1}, "", Data(2, "\1")) +
                             Matrix(6, {0, 0}, "", Data(9, "")))),
       "cell ref [2 1]: {char decode 2 u2 [2 1]: 104 105} {cell ref [1 2]: "
       "{logical decode 1 u1 [1 1]: 1} {double empty u8 [2]: 0 0}}; #refs# 4"},
      {"empty cell array", CellArray("e", 0, 0, &none),
       Matrix(1, {0, 0}, "e", ""), "cell empty u8 [2]: 0 0"},
      {"cell of a complex array in bands of rows",
       CellArray("band", 1, 2, &banded),
       Matrix(1, {1, 2}, "band",
              Matrix(0x806, {3, 2}, "",
                     Data(9, Le<double>({0, 1, 2, 10, 11, 12})) +
                         Data(9, Le<double>({-1, -2, -3, -1, -2, -3}))) +
                  Matrix(8, {1, 1}, "", Data(1, "\xF9"))),
       "cell ref [2 1]: {double (real f8 at 0, imag f8 at 8) [2 3]: 0/-1 1/-2 "
       "2/-3 10/-1 11/-2 12/-3} {int8 i1 [1 1]: -7}; #refs# 2"},
  };
  const std::string dir = test::MakeTempDir();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StringOutputFile v6;
    BufferedWriter v6_out(v6);
    WriteLevel5({&c.variable, 1}, v6_out);
    ASSERT_EQ(v6_out.Flush(), 0);
    EXPECT_EQ(v6.data(), kHeader + c.v6);
#ifdef UNF2MAT_HAVE_ZLIB
    StringOutputFile v7;
    BufferedWriter v7_out(v7);
    MatFileOptions options;
    options.format = MatFormat::kV7;
    options.scratch_dirs = {dir};
    WriteLevel5({&c.variable, 1}, v7_out, kTileBytes, options);
    ASSERT_EQ(v7_out.Flush(), 0);
    EXPECT_EQ(v7.data().substr(0, 128), kHeader);
    EXPECT_EQ(Inflated(v7.data()), c.v6);
#endif
#ifdef UNF2MAT_HAVE_HDF5
    const std::string path = dir + "/v73.mat";
    std::filesystem::remove(path);
    test::StringOutputFile same_file;  // told only to start the disk
    WriteHdf5(path, path, {&c.variable, 1}, std::nullopt, kTileBytes,
              same_file);
    EXPECT_EQ(Hdf5FileDump(path, std::string(c.variable.name)), c.v73);
#endif
  }
  std::filesystem::remove_all(dir);
}

// A variable too large for a Level 5 element is refused, by name where it is
// a cell array, before a byte is written; the cells' shapes say it, without
// their values.
TEST(MatFileTest, TooLargeForAnElementIsRefusedFirst) {
  constexpr std::uint64_t kPastDimension = std::uint64_t{1} << 31;
  FakeCells halves({{"", 40000, 7000, nullptr, {}, MatClass::kDouble},
                    {"", 40000, 7000, nullptr, {}, MatClass::kDouble}});
  FakeCells wide({{"", kPastDimension, 0, nullptr, {}, MatClass::kDouble}});
  FakeCells holds_wide({CellArray("", 1, 1, &wide)});
  FakeCells none({});
  const struct {
    MatVariable variable;
    const char* message;
  } cases[] = {
      {CellArray("c", 1, 2, &halves),
       "cell array 'c' is over the limit of a MAT-file element (4294967295 "
       "bytes)"},
      {CellArray("n", 1, 1, &holds_wide),
       "a dimension of 2147483648 in cell array 'n' is over the limit of a "
       "MAT-file array"},
      {CellArray("o", kPastDimension, 0, &none),
       "a dimension of 2147483648 of cell array 'o' is over the limit of a "
       "MAT-file array"},
      // Each part fits; both do not.
      {Complex({"z", 1 << 14, 1 << 14, nullptr, {}, MatClass::kDouble}),
       "a matrix of 268435456 values is over the limit of a MAT-file "
       "element"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    StringOutputFile file;
    BufferedWriter out(file);
    try {
      WriteLevel5({&c.variable, 1}, out);
      ADD_FAILURE() << "not refused";
    } catch (const RunError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    ASSERT_EQ(out.Flush(), 0);
    EXPECT_EQ(file.data(), "");
  }
}

}  // namespace
}  // namespace unf2mat
