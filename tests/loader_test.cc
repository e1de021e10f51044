#include "loader/loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_error.h"
#include "converter/phases.h"
#include "loader/foresight.h"
#include "loader/memory_loader.h"
#include "loader/record_layout.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

using test::DataFile;
using test::FramedRecord;
using test::MemoryInputFile;

constexpr double kUntouched = -12345.0;

std::string FloatBytes(const std::vector<float>& values) {
  return test::Record(values).substr(4, values.size() * 4);
}

MemoryStore Store(RunState& state) {
  return {{reinterpret_cast<char*>(state.x), sizeof state.x}, state.core};
}

// Where a test's data file lies: memory, a pipe read in pieces of 3 bytes,
// or a file on disk, whose records are looked at where they are mapped.
enum class Source { kMemory, kPipe, kDisk };

// A file on disk holding `bytes`; `path` is set where it is wanted.
std::unique_ptr<InputFile> OnDisk(const std::string& bytes,
                                  std::string* path = nullptr) {
  static const std::string dir = test::MakeTempDir();
  static int files = 0;
  const std::string name = dir + "/data" + std::to_string(files++);
  std::ofstream(name, std::ios::binary) << bytes;
  std::unique_ptr<PosixInputFile> file;
  EXPECT_EQ(PosixInputFile::Open(name, &file), 0);
  if (path != nullptr) {
    *path = name;
  } else {
    ::unlink(name.c_str());  // the file lives on while it is open
  }
  return file;
}

// Places `bytes` as plain rows of real4 within `limits`.
PlacedFile Place(const std::string& bytes, const LoadLimits& limits,
                 Source source = Source::kMemory) {
  std::unique_ptr<InputFile> file;
  if (source == Source::kPipe) {
    file = std::make_unique<test::ScriptedInputFile>(bytes, 3);
  } else if (source == Source::kDisk) {
    file = OnDisk(bytes);
  } else {
    file = std::make_unique<MemoryInputFile>(bytes);
  }
  return PlaceDataFile(std::move(file), "data.dat",
                       RowsLayout(ValueType::kReal4), {limits}, {"/tmp"});
}

// Loads into the shared state's core, as from a pipe (or a file whose size
// is known); irow and icol as loadcore sets them.
RunState& Load(const std::string& bytes, const LoadLimits& limits = {},
               bool pipe = false) {
  RunState& state = test::FreshState();
  for (int k = 0; k < 16; ++k) state.core[k] = kUntouched;
  const PlacedFile placed =
      Place(bytes, limits, pipe ? Source::kPipe : Source::kMemory);
  LoadIntoMemory(placed, RowsLayout(ValueType::kReal4), "data.dat",
                 Store(state));
  state.irow = static_cast<int>(placed.walk.columns);
  state.icol = static_cast<int>(placed.walk.rows);
  return state;
}

// The file read where its values lie, in tiles of tr x tc (cut at the
// matrix's edges) through reads of `read_bytes`: the matrix row after row,
// widened here from the tiles' real4 values.
std::vector<double> Tiled(const PlacedFile& placed, std::size_t read_bytes,
                          std::size_t tr, std::size_t tc, int* irow,
                          int* icol) {
  auto part = PartOf(placed, 0, "data.dat");
  EXPECT_TRUE(part.has_value());
  const std::size_t rows = placed.walk.rows, cols = placed.walk.columns;
  FileTiles tiles({*part},
                  RecordView{ValueType::kReal4, 0, cols, false, false, ""},
                  read_bytes);
  *irow = static_cast<int>(cols);
  *icol = static_cast<int>(rows);
  std::vector<double> matrix(rows * cols);
  std::vector<char> staging(8 * tr * tc);
  for (std::size_t r0 = 0; r0 < rows; r0 += tr) {
    for (std::size_t c0 = 0; c0 < cols; c0 += tc) {
      const std::size_t n = std::min(tr, rows - r0),
                        m = std::min(tc, cols - c0);
      const char* tile = tiles.Fill(r0, n, c0, m, staging.data());
      for (std::size_t k = 0; k < n * m; ++k) {
        float value;
        std::memcpy(&value, tile + 4 * k, 4);
        matrix[(r0 + k % n) * cols + c0 + k / n] = value;
      }
    }
  }
  return matrix;
}

std::vector<double> Core(const RunState& state, std::size_t n) {
  return std::vector<double>(state.core, state.core + n);
}

struct LoadCase {
  const char* name;
  std::string file;
  int irow;
  int icol;
  std::vector<double> core;  // then kUntouched
};

TEST(LoaderTest, LoadsRecordsEndToEnd) {
  const std::string bytes10 = std::string(10, '\0');
  const std::uint64_t huge = std::uint64_t{1} << 50;  // a count, host order
  const LoadCase cases[] = {
      {"two records",
       DataFile({{1, 2, 3}, {4, 5, 6}}),
       3,
       2,
       {1, 2, 3, 4, 5, 6}},
      {"empty file", "", 0, 0, {}},
      {"single column", DataFile({{1}, {2}, {3}}), 1, 3, {1, 2, 3}},
      {"single row", DataFile({{1, 2, 3, 4, 5}}), 5, 1, {1, 2, 3, 4, 5}},
      {"ten-byte first record",
       FramedRecord(FloatBytes({1, 2}) + "xy") + DataFile({{3, 4, 5}}),
       2,
       2,
       {1, 2, 3, 4}},
      {"empty first record",
       FramedRecord("") + DataFile({{1}, {2}}) + FramedRecord("") +
           FramedRecord("") + FramedRecord(""),
       0,
       6,
       {}},
      {"stops at the first short record",
       DataFile({{1, 2, 3}, {4, 5, 6}, {7, 8}, {9, 10, 11}}),
       3,
       2,
       {1, 2, 3, 4, 5, 6}},
      {"longer records cut",
       DataFile({{1, 2}, {3, 4, 5}, {6, 7}}),
       2,
       3,
       {1, 2, 3, 4, 6, 7}},
      {"lengths that change back and forth",
       DataFile({{1, 2},
                 {3, 4, 5},
                 {6, 7},
                 {8, 9, 10},
                 {11, 12},
                 {13, 14},
                 {15, 16}}),
       2,
       7,
       {1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14, 15, 16}},
      {"a longer record, then records alike to it",
       DataFile({{1, 2}, {3, 4, 5}, {6, 7, 8}, {9, 10, 11}}),
       2,
       4,
       {1, 2, 3, 4, 6, 7, 9, 10}},
      {"subrecords cut inside values",
       test::FramedFile({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {4, false}, 5),
       3,
       3,
       {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"damaged first record", std::string("\x10\0\0\0", 4) + "abcd", 0, 0, {}},
      {"byte-swapped markers and values",
       test::FramedFile({{1, 2}, {3, 4}}, {4, true}),
       2,
       2,
       {1, 2, 3, 4}},
      {"8-byte markers",
       test::FramedFile({{1, 2}, {3, 4}, {5}}, {8, false}),
       2,
       2,
       {1, 2, 3, 4}},
      {"subrecords joined",
       test::FramedFile({{1, 2, 3}, {4, 5, 6}}, {8, true}, 4),
       3,
       2,
       {1, 2, 3, 4, 5, 6}},
      {"damaged later record",
       DataFile({{1, 2}}) + test::WithByteFlipped(FramedRecord("12345678"), 12),
       2,
       1,
       {1, 2}},
      // A count past the end, and past any offset a file may have.
      {"8-byte count damaged into 2^50",
       test::FramedFile({{1, 2}, {3, 4}}, {8, false}) +
           std::string(reinterpret_cast<const char*>(&huge), 8) +
           std::string(40, 'x'),
       2,
       2,
       {1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunState& state = Load(c.file);
    EXPECT_EQ(state.irow, c.irow);
    EXPECT_EQ(state.icol, c.icol);
    std::vector<double> expected = c.core;
    expected.push_back(kUntouched);
    EXPECT_EQ(Core(state, expected.size()), expected);
    // Read where the values lie, in spans, row by row, and piece by piece.
    struct {
      std::size_t read_bytes, tr, tc;
    } const shapes[] = {{1 << 20, 64, 64}, {16, 2, 1}, {24, 1, 3}, {8, 3, 2}};
    for (const auto& shape : shapes) {
      for (Source source : {Source::kMemory, Source::kDisk}) {
        SCOPED_TRACE(shape.read_bytes);
        SCOPED_TRACE(source == Source::kDisk ? "on disk" : "in memory");
        int irow = -1, icol = -1;
        const std::vector<double> tiled =
            Tiled(Place(c.file, ElementLimits(kLevel5Budget, 0), source),
                  shape.read_bytes, shape.tr, shape.tc, &irow, &icol);
        EXPECT_EQ(irow, c.irow);
        EXPECT_EQ(icol, c.icol);
        if (c.irow > 0) {
          EXPECT_EQ(tiled, c.core);
        }
      }
    }
  }
}

TEST(LoaderTest, WidensEveryValueExactly) {
  using F = std::numeric_limits<float>;
  const std::vector<float> values = {
      -0.0f,    F::infinity(), -F::infinity(), F::denorm_min(), -F::min(),
      F::max(), 0.1f,          F::quiet_NaN(), -F::lowest(),    16777217.0f};
  RunState& state = Load(DataFile({values}));
  ASSERT_EQ(state.irow, static_cast<int>(values.size()));
  for (std::size_t k = 0; k < values.size(); ++k) {
    SCOPED_TRACE(k);
    if (std::isnan(values[k])) {
      EXPECT_TRUE(std::isnan(state.core[k]));
    } else {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(state.core[k]),
                std::bit_cast<std::uint64_t>(static_cast<double>(values[k])));
    }
  }
  EXPECT_NE(state.core[3], 0.0) << "a subnormal was flushed to zero";
  EXPECT_TRUE(std::signbit(state.core[0]));
}

TEST(LoaderTest, RefusesDataBeyondTheLimits) {
  const LoadLimits limits{/*record_values=*/3, /*matrix_values=*/6};
  struct {
    const char* name;
    std::string file;
    const char* message;  // empty when loading works
    int icol;
    bool pipe = false;  // read as a pipe, which must read to measure
  } const cases[] = {
      {"record at the limit", DataFile({{1, 2, 3}}), "", 1},
      {"record over the limit", DataFile({{1, 2, 3, 4}}),
       "the first record of data file 'data.dat' holds 4 values, over the "
       "limit of 3",
       0},
      {"matrix at the limit", DataFile({{1, 2}, {3, 4}, {5, 6}}), "", 3},
      {"matrix over the limit", DataFile({{1, 2}, {3, 4}, {5, 6}, {7, 8}}),
       "data file 'data.dat' holds a matrix over the limit of 6 values", 0},
      {"damaged record over the limit is no record",
       test::WithByteFlipped(DataFile({{1, 2, 3, 4}}), 20), "", 0},
      {"short record past the limit is not counted",
       DataFile({{1, 2}, {3, 4}, {5, 6}, {7}}), "", 3},
      {"swapped record over the limit",
       test::FramedFile({{1, 2, 3, 4}}, {4, true}),
       "the first record of data file 'data.dat' holds 4 values, over the "
       "limit of 3",
       0},
      {"subrecords over the limit",
       test::FramedFile({{1, 2, 3, 4}}, {4, false}, 4),
       "the first record of data file 'data.dat' holds 4 values, over the "
       "limit of 3",
       0},
      // A partial value after the last whole one is no value.
      {"record at the limit and a partial value, from a pipe",
       FramedRecord(FloatBytes({1, 2, 3}) + "xyz") + DataFile({{4, 5, 6}}), "",
       2, true},
      {"record over the limit, from a pipe", DataFile({{1, 2, 3, 4}}),
       "the first record of data file 'data.dat' holds 4 values, over the "
       "limit of 3",
       0, true},
      {"matrix over the limit, from a pipe",
       DataFile({{1, 2}, {3, 4}, {5, 6}, {7, 8}}),
       "data file 'data.dat' holds a matrix over the limit of 6 values", 0,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::FreshState().x[0] = -1.0f;
    try {
      RunState& state = Load(c.file, limits, c.pipe);
      EXPECT_STREQ(c.message, "");
      EXPECT_EQ(state.icol, c.icol);
    } catch (const RunError& e) {
      EXPECT_STREQ(e.what(), c.message);
      // Refused from the markers alone, before any value is read.
      if (!c.pipe) {
        EXPECT_EQ(test::FreshState().x[0], -1.0f) << "read before refusing";
        EXPECT_EQ(test::FreshState().core[0], kUntouched);
      }
    }
    EXPECT_EQ(test::FreshState().core[6], kUntouched) << "wrote past the limit";
  }
}

// Records of many values pass through x in pieces straight into core.
TEST(LoaderTest, LoadsLongRecordsInPieces) {
  const std::size_t width = 300000;
  test::Records records(4, std::vector<float>(width));
  for (std::size_t r = 0; r < records.size(); ++r) {
    for (std::size_t c = 0; c < width; ++c) records[r][c] = r * 1e6f + c;
  }
  records[3].pop_back();  // one value short: ends the matrix
  struct {
    const char* name;
    record::Framing framing;
    std::size_t max_subrecord;
    LoadLimits limits;
    const char* message;
  } const cases[] = {
      {"host order", {4, false}, SIZE_MAX, {}, ""},
      {"swapped, in subrecords", {4, true}, 100002, {}, ""},
      {"8-byte markers", {8, false}, SIZE_MAX, {}, ""},
      {"matrix at the limit", {4, false}, SIZE_MAX, {width, 3 * width}, ""},
      {"matrix over the limit",
       {4, false},
       SIZE_MAX,
       {width, 3 * width - 1},
       "data file 'data.dat' holds a matrix over the limit of 899999 values"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunState& state = test::FreshState();
    const std::string bytes =
        test::FramedFile(records, c.framing, c.max_subrecord);
    PlacedFile placed;
    try {
      placed = Place(bytes, c.limits);
      LoadIntoMemory(placed, RowsLayout(ValueType::kReal4), "data.dat",
                     Store(state));
      EXPECT_STREQ(c.message, "");
    } catch (const RunError& e) {
      EXPECT_STREQ(e.what(), c.message);
      continue;
    }
    const WalkResult& outcome = placed.walk;
    EXPECT_EQ(outcome.columns, width);
    EXPECT_EQ(outcome.rows, 3u);
    for (std::size_t k :
         {std::size_t{0}, width - 1, width, 2 * width + 12345, 3 * width - 1}) {
      EXPECT_EQ(state.core[k], (k / width) * 1e6f + k % width) << k;
    }
  }
}

// A pipe's first record can be measured only by reading it.
TEST(LoaderTest, RefusesALongFirstRecordFromAPipe) {
  try {
    Place(DataFile({{1, 2, 3, 4}, {5, 6, 7, 8}}), {3, 6}, Source::kPipe);
    ADD_FAILURE() << "no error";
  } catch (const RunError& e) {
    EXPECT_STREQ(e.what(),
                 "the first record of data file 'data.dat' holds 4 values, "
                 "over the limit of 3");
  }
}

TEST(LoaderTest, FailedReadEndsTheRun) {
  const std::string bytes = DataFile({{1, 2}, {3, 4}});
  for (std::size_t fail_after : {0, 2, 6, 16, 20, 30}) {
    SCOPED_TRACE(fail_after);
    try {
      PlaceDataFile(std::make_unique<test::ScriptedInputFile>(bytes, 1 << 20,
                                                              fail_after, EIO),
                    "data.dat", RowsLayout(ValueType::kReal4), {LoadLimits{}},
                    {"/tmp"});
      ADD_FAILURE() << "no error";
    } catch (const RunError& e) {
      EXPECT_STREQ(e.what(),
                   "cannot read data file 'data.dat': Input/output error");
    }
  }
}

// A file cut short after its records were found, while its pages are
// mapped, is said to be, as where it is read.
TEST(LoaderTest, FileCutShortWhileConvertedIsReported) {
  std::vector<std::vector<float>> rows(64, std::vector<float>(100, 1.5f));
  std::string path;
  const PlacedFile placed = PlaceDataFile(
      OnDisk(DataFile(rows), &path), "data.dat", RowsLayout(ValueType::kReal4),
      {ElementLimits(kLevel5Budget, 0)}, {"/tmp"});
  ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
  ::unlink(path.c_str());
  int irow, icol;
  try {
    Tiled(placed, 1 << 20, 64, 100, &irow, &icol);
    ADD_FAILURE() << "no error";
  } catch (const RunError& e) {
    EXPECT_STREQ(e.what(),
                 "data file 'data.dat' changed while it was converted: it "
                 "now ends before byte 26108 of its 26112");
  }
}

// Past 32 MiB, records alike are counted by two threads, half each: a short
// record in either half ends the rows there, as where one thread counts.
TEST(LoaderTest, ShortRecordEndsTheRowsInEitherHalfOfALongWalk) {
  constexpr std::size_t kRecords = 2'500'000;  // of 16 bytes: 40 MB
  const std::string row = test::Record({1.0f, 2.0f});
  // Two records of no values, as long as one row: the records after them
  // lie where rows would, so that a count of the second half finds them.
  const std::string short_rows = test::Record({}) + test::Record({});
  for (std::size_t short_at : {std::size_t{1000}, kRecords / 2 + 1000}) {
    SCOPED_TRACE(short_at);
    std::string bytes;
    bytes.reserve(kRecords * row.size());
    for (std::size_t k = 0; k < kRecords; ++k) {
      bytes += k == short_at ? short_rows : row;
    }
    const PlacedFile placed =
        PlaceDataFile(OnDisk(bytes), "data.dat", RowsLayout(ValueType::kReal4),
                      {ElementLimits(kLevel5Budget, 0)}, {"/tmp"});
    EXPECT_EQ(placed.walk.rows, short_at);
    EXPECT_EQ(placed.walk.columns, 2u);
  }
}

// Records alike to the end of a regular file past 4 MiB are taken by its
// size, unread; what was taken holds only where their check says so: made
// by the tiles that read short records, at the end for any they did not,
// on a thread for long ones.
TEST(LoaderTest, RecordsTakenByTheFileSizeHoldOnlyWhereTheyRepeat) {
  const auto records = [](const std::vector<float>& values, std::size_t n,
                          std::size_t odd_at = SIZE_MAX) {
    std::string bytes;
    for (std::size_t k = 0; k < n; ++k) {
      // Two records made one, as long as both.
      if (k == odd_at) {
        std::vector<float> both(2 * values.size() + 2, 0.5f);
        bytes += test::Record(both);
        ++k;
      } else {
        bytes += test::Record(values);
      }
    }
    return bytes;
  };
  const std::vector<float> row = {1, 2}, wide(1100, 3);  // 16, 4,408 bytes
  struct Case {
    const char* label;
    std::string bytes;
    Source source;
    bool tiles_read;  // else all is left to the end of the check
    std::uint64_t foreseen;
    bool holds;
  } cases[] = {
      {"short records, tiles", records(row, 300000), Source::kDisk, true,
       299999, true},
      {"short records, the end", records(row, 300000), Source::kDisk, false,
       299999, true},
      {"two made one, tiles", records(row, 300000, 150000), Source::kDisk, true,
       299999, false},
      {"two made one, the end", records(row, 300000, 150000), Source::kDisk,
       false, 299999, false},
      {"long records", records(wide, 1000), Source::kDisk, false, 999, true},
      {"long records, two made one", records(wide, 1000, 500), Source::kDisk,
       false, 999, false},
      {"a record after them", records(row, 300000) + test::Record({7}),
       Source::kDisk, true, 0, true},
      {"under 4 MiB", records(row, 250000), Source::kDisk, true, 0, true},
      {"not a regular file", records(row, 300000), Source::kMemory, true, 0,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Foresight foresight;
    const PlacedFile placed = PlaceDataFile(
        c.source == Source::kDisk ? OnDisk(c.bytes)
                                  : std::make_unique<MemoryInputFile>(c.bytes),
        "data.dat", RowsLayout(ValueType::kReal4),
        {ElementLimits(kLevel5Budget, 0)}, {"/tmp"}, nullptr, false,
        &foresight);
    EXPECT_EQ(placed.walk.foreseen ? placed.walk.foreseen->records : 0,
              c.foreseen);
    if (c.tiles_read) {
      int irow = 0, icol = 0;
      try {
        Tiled(placed, 1 << 20, 4096, 2, &irow, &icol);
      } catch (const Unforeseen&) {
        EXPECT_FALSE(c.holds) << "tiles stopped where all holds";
      }
    }
    EXPECT_EQ(foresight.Holds(), c.holds);
  }
}

TEST(LoaderTest, OpeningNamesTheFileAndReason) {
  struct {
    std::string name;
    std::string message;
  } const cases[] = {
      {"/nonexistent/run.dat",
       "cannot open data file '/nonexistent/run.dat': No such file or "
       "directory"},
      {"/", "cannot open data file '/': Is a directory"},
      {std::string("/etc/passwd\0x", 13),
       "the data file name '/etc/passwd\\0x' holds a NUL byte; refusing to "
       "open "
       "a shorter name"},
  };
  for (const auto& c : cases) {
    RunState& state = test::FreshState();
    test::StringOutputFile out;
    Assign(state.fname1, c.name);
    try {
      Conversion plain_rows;
      loadcore(state, plain_rows, out);
      ADD_FAILURE() << "no error";
    } catch (const RunError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace unf2mat
