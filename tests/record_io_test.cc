#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "recordio/buffered_writer.h"
#include "recordio/line_reader.h"
#include "recordio/record_reader.h"
#include "recordio/replacement_file.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

using namespace std::string_literals;
using test::DataFile;
using test::FramedRecord;
using test::MemoryInputFile;
using test::Record;
using test::ScriptedInputFile;
using test::StringOutputFile;

// Every reader must give the same results however the bytes arrive.
constexpr std::size_t kChunks[] = {1, 3, 1 << 20};
constexpr std::size_t kBufferSizes[] = {1, 5, 16, 1 << 20};

struct LineCase {
  const char* name;
  std::string input;
  std::size_t width;
  std::vector<std::string> lines;  // then the end
};

TEST(LineReaderTest, TakesTheFirstCharactersOfEachLine) {
  const LineCase cases[] = {
      {"plain", "abc\ndef\n", 80, {"abc", "def"}},
      {"last line without newline", "abc\ndef", 80, {"abc", "def"}},
      {"empty lines", "\n\n", 80, {"", ""}},
      {"nothing", "", 80, {}},
      {"cut to width, rest skipped", "abcdef\nxy\n", 2, {"ab", "xy"}},
      {"long line",
       std::string(300, 'x') + "\nnext\n",
       80,
       {std::string(80, 'x'), "next"}},
      {"blanks and NUL kept", " a\0b\n"s, 80, {" a\0b"s}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : kChunks) {
      SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
      ScriptedInputFile file(c.input, chunk);
      LineReader reader(file);
      std::string line;
      for (const auto& expected : c.lines) {
        ASSERT_EQ(reader.ReadLine(c.width, &line), ReadStatus::kOk);
        EXPECT_EQ(line, expected);
      }
      EXPECT_EQ(reader.ReadLine(c.width, &line), ReadStatus::kEnd);
      EXPECT_EQ(reader.SkipLine(), ReadStatus::kEnd);
    }
  }
}

TEST(LineReaderTest, SkipConsumesOneWholeLine) {
  MemoryInputFile file(std::string(5000, 'a') + "\nsecond\n");
  LineReader reader(file);
  std::string line;
  EXPECT_EQ(reader.SkipLine(), ReadStatus::kOk);
  EXPECT_EQ(reader.ReadLine(80, &line), ReadStatus::kOk);
  EXPECT_EQ(line, "second");
}

TEST(LineReaderTest, ReportsAFailedRead) {
  ScriptedInputFile file("first\nsec", 100, 9, EIO);
  LineReader reader(file);
  std::string line;
  EXPECT_EQ(reader.ReadLine(80, &line), ReadStatus::kOk);
  EXPECT_EQ(reader.ReadLine(80, &line), ReadStatus::kFailed);
  EXPECT_EQ(reader.error(), EIO);
}

std::string Marker(std::uint32_t count) {
  return std::string(reinterpret_cast<const char*>(&count), 4);
}

struct RecordCase {
  const char* name;
  std::string file;
  std::size_t count;
  // The values of each record read whole, then the status that ends reading.
  std::vector<std::vector<float>> records;
  ReadStatus last;
};

TEST(RecordReaderTest, ReadsRecordsAndStopsAtTheFirstThatFallsShort) {
  const std::string valid = DataFile({{1, 2, 3}, {4, 5, 6}});
  const RecordCase cases[] = {
      {"two records", valid, 3, {{1, 2, 3}, {4, 5, 6}}, ReadStatus::kEnd},
      {"longer records give their first values",
       DataFile({{1, 2, 3, 4}, {5, 6, 7, 8}}),
       2,
       {{1, 2}, {5, 6}},
       ReadStatus::kEnd},
      {"short record",
       DataFile({{1, 2, 3}, {4, 5}, {6, 7, 8}}),
       3,
       {{1, 2, 3}},
       ReadStatus::kShort},
      {"no values taken from empty records",
       FramedRecord("") + FramedRecord("") + FramedRecord("abc"),
       0,
       {{}, {}, {}},
       ReadStatus::kEnd},
      {"partial value ignored",
       FramedRecord(std::string(10, '\0')),
       2,
       {{0, 0}},
       ReadStatus::kEnd},
      {"empty file", "", 1, {}, ReadStatus::kEnd},
      {"count beyond the file",
       Marker(100) + std::string(20, '\0'),
       1,
       {},
       ReadStatus::kShort},
      {"huge count",
       Marker(0xfffffff0u) + std::string(64, '\0'),
       0,
       {},
       ReadStatus::kShort},
      {"trailing count differs",
       valid + Marker(8) + Record({7, 8}).substr(4, 8) + Marker(9),
       2,
       {{1, 2}, {4, 5}},
       ReadStatus::kShort},
      {"ends inside a leading count",
       valid + "\x08\x00",
       3,
       {{1, 2, 3}, {4, 5, 6}},
       ReadStatus::kShort},
      {"ends inside a trailing count",
       valid.substr(0, valid.size() - 1),
       3,
       {{1, 2, 3}},
       ReadStatus::kShort},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : kChunks) {
      for (std::size_t buffer : kBufferSizes) {
        SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk) +
                     ", buffer " + std::to_string(buffer));
        ScriptedInputFile file(c.file, chunk);
        RecordReader reader(file, buffer);
        std::vector<float> values(c.count + 1, -1.0f);
        for (const auto& expected : c.records) {
          ASSERT_EQ(reader.ReadValues(values.data(), c.count), ReadStatus::kOk);
          EXPECT_EQ(
              std::vector<float>(values.begin(), values.begin() + c.count),
              expected);
          EXPECT_EQ(values[c.count], -1.0f) << "wrote past the count";
        }
        EXPECT_EQ(reader.ReadValues(values.data(), c.count), c.last);
      }
    }
  }
}

TEST(RecordReaderTest, LengthComesFromAWholeFirstRecord) {
  struct {
    const char* name;
    std::string file;
    ReadStatus status;
    std::uint64_t bytes;
  } const cases[] = {
      {"three values", DataFile({{1, 2, 3}, {4}}), ReadStatus::kOk, 12},
      {"ten bytes", FramedRecord(std::string(10, 'x')), ReadStatus::kOk, 10},
      {"empty record", FramedRecord(""), ReadStatus::kOk, 0},
      {"no record", "", ReadStatus::kEnd, 0},
      {"count past the end", Marker(40) + std::string(40, 'x'),
       ReadStatus::kShort, 0},
      {"counts differ", Marker(4) + "abcd" + Marker(5), ReadStatus::kShort, 0},
  };
  for (const auto& c : cases) {
    for (std::size_t buffer : kBufferSizes) {
      SCOPED_TRACE(std::string(c.name) + ", buffer " + std::to_string(buffer));
      MemoryInputFile file(c.file);
      RecordReader reader(file, buffer);
      std::uint64_t bytes = 0;
      EXPECT_EQ(reader.ReadRecord(nullptr, 0, &bytes), c.status);
      if (c.status == ReadStatus::kOk) {
        EXPECT_EQ(bytes, c.bytes);
      }
    }
  }
}

using record::Framing;
constexpr Framing kHost4{4, false}, kSwapped4{4, true}, kHost8{8, false},
    kSwapped8{8, true};
constexpr std::uint64_t kLimit = 1 << 20;  // first-record limit in bytes

std::string Le64(std::uint64_t value) {
  std::string bytes;
  for (int k = 0; k < 8; ++k) bytes += static_cast<char>(value >> (8 * k));
  return bytes;
}

// A file read through a pipe can be checked only within the buffer.
struct Source {
  const char* name;
  bool seekable;
  std::size_t buffer;
};
constexpr Source kSources[] = {
    {"file, large buffer", true, 1 << 20},
    {"file, small buffer", true, 8},
    {"pipe", false, 1 << 20},
};

std::unique_ptr<InputFile> OpenSource(const Source& source,
                                      const std::string& bytes) {
  if (source.seekable) return std::make_unique<MemoryInputFile>(bytes);
  return std::make_unique<ScriptedInputFile>(bytes, 3);
}

// Whatever the framing, the records read back as written.
TEST(RecordReaderTest, ReadsEveryFraming) {
  using F = std::numeric_limits<float>;
  const test::Records records = {
      {1, 2, 3, 4, 5},
      {-0.0f, F::infinity(), -F::infinity(), F::denorm_min(), 0.1f},
      {6, 7, 8, 9, 10, 11},
      {12},
  };
  for (const Framing& framing : record::kFramings) {
    for (std::size_t max_subrecord : {SIZE_MAX, std::size_t{4}, std::size_t{6},
                                      std::size_t{8}, std::size_t{12}}) {
      const std::string bytes =
          test::FramedFile(records, framing, max_subrecord);
      for (const Source& source : kSources) {
        SCOPED_TRACE(std::to_string(framing.marker_size) +
                     (framing.swapped ? "-byte swapped" : "-byte host") +
                     " markers, subrecords of " +
                     std::to_string(max_subrecord) + ", " + source.name);
        auto file = OpenSource(source, bytes);
        RecordReader reader(*file, source.buffer);
        FramingChoice choice;
        ASSERT_EQ(reader.DetectFraming(kLimit, &choice), ReadStatus::kOk);
        EXPECT_EQ(reader.framing(), framing);
        EXPECT_EQ(choice.basis, FramingChoice::Basis::kVerified);
        EXPECT_EQ(choice.first_record_bytes, std::optional<std::uint64_t>(20));
        float values[6];
        for (std::size_t r = 0; r < 3; ++r) {
          std::uint64_t length = 0;
          ASSERT_EQ(reader.ReadRecord(values, 5, &length), ReadStatus::kOk);
          EXPECT_EQ(length, records[r].size() * 4);
          for (std::size_t k = 0; k < 5; ++k) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(values[k]),
                      std::bit_cast<std::uint32_t>(records[r][k]));
          }
        }
        EXPECT_EQ(reader.ReadValues(values, 5), ReadStatus::kShort);
        EXPECT_EQ(reader.ReadValues(values, 5), ReadStatus::kEnd);
      }
    }
  }
}

// A framing checked in full wins; one that cannot be ruled out is taken only
// when none is, and then said to be a guess, as is a file no framing fits.
TEST(RecordReaderTest, DetectsTheFramingItCanProve) {
  using Basis = FramingChoice::Basis;
  const std::string big_swapped =
      test::FramedFile({std::vector<float>(1000, 1.0f)}, kSwapped4);
  const std::string many_empty_swapped =
      test::FramedFile(test::Records(20, std::vector<float>{}), kSwapped4) +
      test::FramedFile({{1, 2, 3}}, kSwapped4);
  struct {
    const char* name;
    std::string file;
    Framing framing;
    Basis basis;
    std::optional<std::uint64_t> first_bytes;
    std::uint64_t limit = kLimit;
  } const cases[] = {
      {"empty file", "", kHost4, Basis::kVerified, std::nullopt},
      {"damaged first record", Marker(16) + "abcd" + Marker(16), kHost4,
       Basis::kNoneFits, std::nullopt},
      {"empty records, then 8-byte markers",
       test::FramedFile({{}, {}, {1}}, kHost8), kHost8, Basis::kVerified, 0},
      {"empty records, then swapped markers",
       test::FramedFile({{}, {1}}, kSwapped4), kSwapped4, Basis::kVerified, 0},
      {"empty records past the buffer, then swapped markers",
       many_empty_swapped, kSwapped4, Basis::kVerified, 0},
      {"only empty records: 4- or 8-byte markers",
       test::FramedFile({{}, {}}, kSwapped8), kHost4, Basis::kAmbiguous, 0},
      {"only empty records, an odd number: 4-byte markers",
       DataFile({{}, {}, {}}), kHost4, Basis::kVerified, 0},
      {"swapped record past the buffer", big_swapped, kSwapped4,
       Basis::kVerified, 4000},
      // Read as host order, its first count is a huge negative one. A pipe
      // cannot check a record over the limit, but its count is the least
      // any framing claims, and it is refused by that count.
      {"swapped record over the limit", big_swapped, kSwapped4,
       Basis::kVerified, 4000, 3000},
      {"host order past the buffer", DataFile({std::vector<float>(1000, 1)}),
       kHost4, Basis::kVerified, 4000},
      {"a count no file can hold", Le64(0x8000000000000000u) + Le64(0), kHost4,
       Basis::kNoneFits, std::nullopt},
  };
  for (const auto& c : cases) {
    for (const Source& source : kSources) {
      SCOPED_TRACE(std::string(c.name) + ", " + source.name);
      auto file = OpenSource(source, c.file);
      RecordReader reader(*file, std::min<std::size_t>(source.buffer, 64));
      FramingChoice choice;
      ASSERT_EQ(reader.DetectFraming(c.limit, &choice), ReadStatus::kOk);
      EXPECT_EQ(reader.framing(), c.framing);
      EXPECT_EQ(choice.framing, c.framing);
      EXPECT_EQ(choice.basis, c.basis);
      EXPECT_EQ(choice.first_record_bytes, c.first_bytes);
      EXPECT_EQ(reader.position(), 0u) << "detection must not consume";
    }
  }
}

// Reading many records at once, or one in pieces, gives what reading them one
// by one gives, whatever the framing and wherever the buffer ends.
TEST(RecordReaderTest, BatchesAndPiecesMatchSingleReads) {
  const test::Records records = {{1, 2, 3},    {4, 5, 6},    {7, 8, 9, 10},
                                 {11, 12, 13}, {14, 15, 16}, {17, 18},
                                 {19, 20, 21}};
  for (const Framing& framing : record::kFramings) {
    for (std::size_t max_subrecord : {SIZE_MAX, std::size_t{8}}) {
      const std::string bytes =
          test::FramedFile(records, framing, max_subrecord) + "\x01";
      for (std::size_t buffer : {8, 13, 40, 1 << 20}) {
        SCOPED_TRACE(std::to_string(framing.marker_size) +
                     (framing.swapped ? " swapped" : " host") +
                     ", subrecords of " + std::to_string(max_subrecord) +
                     ", buffer " + std::to_string(buffer));
        MemoryInputFile file(bytes);
        RecordReader reader(file, buffer);
        FramingChoice choice;
        ASSERT_EQ(reader.DetectFraming(kLimit, &choice), ReadStatus::kOk);
        std::vector<float> rows(3 * 10, -1.0f);
        ReadStatus status;
        // Four records fit the batch; the fifth is the first of the next.
        ASSERT_EQ(reader.ReadRows(rows.data(), 3, 4, &status), 4u);
        EXPECT_EQ(status, ReadStatus::kOk);
        EXPECT_EQ(std::vector<float>(rows.begin(), rows.begin() + 12),
                  (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13}));
        EXPECT_EQ(rows[12], -1.0f) << "wrote past the batch";
        // Then one record in pieces of two values, then the short one.
        std::vector<float> pieces;
        std::vector<std::size_t> offsets;
        float window[2];
        const RecordReader::PieceSink sink = [&](std::size_t offset,
                                                 std::size_t n) {
          offsets.push_back(offset);
          pieces.insert(pieces.end(), window, window + n);
        };
        std::uint64_t length = 0;
        ASSERT_EQ(reader.ReadRecordInPieces(window, 2, 3, sink, &length),
                  ReadStatus::kOk);
        EXPECT_EQ(length, 12u);
        EXPECT_EQ(pieces, (std::vector<float>{14, 15, 16}));
        EXPECT_EQ(offsets, (std::vector<std::size_t>{0, 2}));
        EXPECT_EQ(reader.ReadRows(rows.data(), 3, 4, &status), 0u);
        EXPECT_EQ(status, ReadStatus::kShort);
        ASSERT_EQ(reader.ReadRows(rows.data(), 2, 4, &status), 1u);
        EXPECT_EQ(status, ReadStatus::kShort) << "a lone byte is no record";
      }
    }
  }
}

// A regular file of `size` bytes, zero but for the pieces laid over it, so
// that records of gigabytes cost nothing; it seeks and reads at an offset as
// a file does.
class SparseFile final : public InputFile {
 public:
  SparseFile(std::uint64_t size, std::map<std::uint64_t, std::string> pieces)
      : size_(size), pieces_(std::move(pieces)) {}
  IoResult Read(char* dst, std::size_t n) override {
    IoResult r = ReadAt(pos_, dst, n);
    pos_ += r.bytes;
    return r;
  }
  int Skip(std::uint64_t n) override {
    pos_ += n;
    return 0;
  }
  IoResult ReadAt(std::uint64_t offset, char* dst, std::size_t n) override {
    if (offset >= size_) return {0, 0};
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
    std::fill_n(dst, n, '\0');
    for (const auto& [at, bytes] : pieces_) {
      const std::uint64_t from = std::max(at, offset);
      const std::uint64_t to = std::min(at + bytes.size(), offset + n);
      if (from < to)
        std::copy_n(bytes.data() + (from - at), to - from,
                    dst + (from - offset));
    }
    return {n, 0};
  }
  std::optional<std::uint64_t> Size() const override { return size_; }

 private:
  std::uint64_t size_;
  std::map<std::uint64_t, std::string> pieces_;
  std::uint64_t pos_ = 0;
};

// A 4-byte count with the top bit set starts a subrecord chain, unless its
// trailing marker repeats it where its unsigned length ends: one compiler
// writes records over 2 GiB so.
TEST(RecordReaderTest, TopBitCountsReadAsTheirTrailingMarkersSay) {
  const std::string three = Record({1, 2, 3});
  const std::uint64_t huge = 0x80000004u;  // 2 GiB and 4 bytes
  const std::string huge_marker = Marker(static_cast<std::uint32_t>(huge));
  const std::uint64_t after = 20 + 4 + huge + 4;
  // A chain whose first count also reads as an unsigned length that fits.
  const std::string chain = test::FramedFile({{4, 5, 6}}, kHost4, 8);
  struct {
    const char* name;
    std::map<std::uint64_t, std::string> pieces;
    std::uint64_t size;
    std::vector<std::vector<float>> rows;  // of 3 values, then the end
  } const cases[] = {
      {"unsplit record over 2 GiB",
       {{0, three},
        {20, huge_marker + Record({7, 8, 9}).substr(4, 12)},
        {20 + 4 + huge, huge_marker},
        {after, three}},
       after + 20,
       {{1, 2, 3}, {7, 8, 9}, {1, 2, 3}}},
      {"its trailing marker differs",
       {{0, three},
        {20, huge_marker},
        {20 + 4 + huge, Marker(4)},
        {after, three}},
       after + 20,
       {{1, 2, 3}}},
      {"a chain wins where it closes",
       {{0, three}, {20, chain}, {20 + chain.size(), three}},
       std::uint64_t{1} << 33,
       {{1, 2, 3}, {4, 5, 6}, {1, 2, 3}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SparseFile file(c.size, c.pieces);
    RecordReader reader(file, 64);
    FramingChoice choice;
    ASSERT_EQ(reader.DetectFraming(kLimit, &choice), ReadStatus::kOk);
    EXPECT_EQ(choice.framing, kHost4);
    float values[3];
    for (const auto& row : c.rows) {
      ASSERT_EQ(reader.ReadValues(values, 3), ReadStatus::kOk);
      EXPECT_EQ(std::vector<float>(values, values + 3), row);
    }
    EXPECT_NE(reader.ReadValues(values, 3), ReadStatus::kOk);
  }
}

// Subrecords must chain: only the last has a positive leading count, only the
// first a positive trailing one, and both counts of each must agree.
TEST(RecordReaderTest, BrokenSubrecordChainsReadShort) {
  const std::string chained = test::FramedFile({{1, 2}}, kHost4, 4);
  ASSERT_EQ(chained, Marker(-4) + Record({1}).substr(4, 4) + Marker(4) +
                         Marker(4) + Record({2}).substr(4, 4) + Marker(-4));
  const std::string one = Record({1}).substr(4, 4);
  struct {
    const char* name;
    std::string file;
  } const cases[] = {
      {"chain ends with the file", Marker(-4) + one + Marker(4)},
      {"first trailing count negative",
       Marker(-4) + one + Marker(-4) + Marker(4) + one + Marker(-4)},
      {"later trailing count positive",
       Marker(-4) + one + Marker(4) + Marker(4) + one + Marker(4)},
      {"later counts differ",
       Marker(-4) + one + Marker(4) + Marker(4) + one + Marker(-8)},
      {"plain record with a negative trailing count",
       Marker(4) + one + Marker(-4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryInputFile file(c.file);
    RecordReader reader(file, 8);
    float values[2];
    EXPECT_EQ(reader.ReadValues(values, 1), ReadStatus::kShort);
  }
}

// However a valid file is cut, every whole record before the cut is read and
// nothing after it.
TEST(RecordReaderTest, TruncatedAtEveryLength) {
  for (const Framing& framing : record::kFramings) {
    const std::string valid =
        test::FramedFile({{1, 2}, {3, 4}, {5, 6}}, framing);
    const std::size_t record_size = 8 + 2 * framing.marker_size;
    for (std::size_t length = 0; length <= valid.size(); ++length) {
      for (const Source& source : kSources) {
        SCOPED_TRACE(record::Describe(framing) + ", length " +
                     std::to_string(length) + ", " + source.name);
        auto file = OpenSource(source, test::Truncated(valid, length));
        RecordReader reader(*file, 7);
        FramingChoice choice;
        ASSERT_EQ(reader.DetectFraming(kLimit, &choice), ReadStatus::kOk);
        float values[2];
        std::size_t whole = 0;
        ReadStatus status;
        while ((status = reader.ReadValues(values, 2)) == ReadStatus::kOk) {
          EXPECT_EQ(values[0], 2.0f * whole + 1);
          ++whole;
        }
        EXPECT_EQ(whole, length / record_size);
        EXPECT_EQ(status, length % record_size == 0 ? ReadStatus::kEnd
                                                    : ReadStatus::kShort);
      }
    }
  }
}

TEST(RecordReaderTest, ReportsAFailedRead) {
  const std::string valid = DataFile({{1, 2, 3}, {4, 5, 6}});
  for (std::size_t fail_after : {0, 2, 4, 10, 16, 20, 25}) {
    SCOPED_TRACE("fails after " + std::to_string(fail_after));
    ScriptedInputFile file(valid, 1 << 20, fail_after, EIO);
    RecordReader reader(file, 4);
    float values[3];
    ReadStatus status;
    while ((status = reader.ReadValues(values, 3)) == ReadStatus::kOk) {
    }
    EXPECT_EQ(status, ReadStatus::kFailed);
    EXPECT_EQ(reader.error(), EIO);
  }
}

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::MakeTempDir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string dir_;
};

using PosixFileTest = TempDirTest;

// Skipping the rest of a long record seeks in a file and reads through a pipe.
TEST_F(PosixFileTest, SkipsInFilesAndPipes) {
  std::vector<float> long_record(5000);
  for (std::size_t k = 0; k < long_record.size(); ++k) long_record[k] = k;
  const std::string data = DataFile({long_record, long_record, {1}});
  const std::string path = dir_ + "/data";
  std::ofstream(path, std::ios::binary) << data;

  std::unique_ptr<PosixInputFile> file;
  ASSERT_EQ(PosixInputFile::Open(path, &file), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], data.data(), data.size()),
            static_cast<ssize_t>(data.size()));
  ::close(fds[1]);
  PosixInputFile pipe_file(fds[0], /*owned=*/true);

  for (InputFile* input : {static_cast<InputFile*>(file.get()),
                           static_cast<InputFile*>(&pipe_file)}) {
    RecordReader reader(*input, 64);
    float values[2];
    for (int record = 0; record < 2; ++record) {
      ASSERT_EQ(reader.ReadValues(values, 2), ReadStatus::kOk);
      EXPECT_EQ(values[1], 1.0f);
    }
    EXPECT_EQ(reader.ReadValues(values, 2), ReadStatus::kShort);
  }
}

// The in-memory files must fail as real ones do, or tests pass on readers
// that fail on real files: a skip past the end is allowed, one past the
// largest offset of the file system is EINVAL; a write there is EFBIG.
TEST_F(PosixFileTest, MemoryFilesFailAsRealFilesDo) {
  struct statfs fs;
  ASSERT_EQ(::statfs(dir_.c_str(), &fs), 0);
  if (fs.f_type != EXT4_SUPER_MAGIC) GTEST_SKIP() << "the limits are ext4's";
  const std::string data = "0123456789";
  const std::string path = dir_ + "/data";
  std::ofstream(path, std::ios::binary) << data;
  constexpr std::uint64_t kMax = test::kMaxOffset;
  struct {
    const char* name;
    std::vector<std::uint64_t> skips;
    int error;        // of the last skip
    std::size_t got;  // bytes a read then finds
  } const cases[] = {
      {"within the file", {4}, 0, 6},
      {"to the end", {10}, 0, 0},
      {"past the end", {11}, 0, 0},
      {"2^50", {std::uint64_t{1} << 50}, EINVAL, 10},
      {"to the largest offset", {kMax}, 0, 0},
      {"one past the largest offset", {kMax + 1}, EINVAL, 10},
      {"past it in two steps", {4, kMax - 3}, EINVAL, 6},
      {"beyond off_t", {std::uint64_t{1} << 63}, EINVAL, 10},
      {"beyond off_t in two steps", {4, UINT64_MAX - 2}, EINVAL, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<PosixInputFile> real;
    ASSERT_EQ(PosixInputFile::Open(path, &real), 0);
    MemoryInputFile fake(data);
    for (InputFile* file : {static_cast<InputFile*>(real.get()),
                            static_cast<InputFile*>(&fake)}) {
      int error = 0;
      for (std::uint64_t n : c.skips) {
        errno = 0;  // a stale errno must not stand in for the skip's own
        error = file->Skip(n);
      }
      EXPECT_EQ(error, c.error);
      char buffer[16];
      EXPECT_EQ(file->Read(buffer, sizeof buffer).bytes, c.got);
    }
  }
  // Writes end at the same offset (a file past it would be sparse anyway).
  for (std::uint64_t offset : {kMax - 2, kMax - 1, kMax + 1}) {
    SCOPED_TRACE("write at " + std::to_string(offset));
    const int fd =
        ::open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    PosixOutputFile real(fd);
    StringOutputFile fake;
    const int expected = offset + 2 <= kMax ? 0 : EFBIG;
    EXPECT_EQ(real.WriteAt(offset, "ab", 2), expected);
    if (expected != 0) {
      EXPECT_EQ(fake.WriteAt(offset, "ab", 2), EFBIG);
    }
    ::close(fd);
  }
}

TEST_F(PosixFileTest, OpenRefusesWhatIsNotAFile) {
  std::ofstream(dir_ + "/a") << "x";
  std::unique_ptr<PosixInputFile> file;
  EXPECT_EQ(PosixInputFile::Open(dir_ + "/missing", &file), ENOENT);
  EXPECT_EQ(PosixInputFile::Open(dir_, &file), EISDIR);
  EXPECT_EQ(PosixInputFile::Open(dir_ + "/a\0b"s, &file), EINVAL);
  EXPECT_EQ(file, nullptr);
}

TEST(BufferedWriterTest, PassesBytesThroughAnyBufferSize) {
  std::string expected;
  for (int k = 0; k < 1000; ++k) expected += static_cast<char>(k * 7);
  for (std::size_t buffer : kBufferSizes) {
    StringOutputFile out;
    BufferedWriter writer(out, buffer);
    for (std::size_t pos = 0; pos < expected.size(); pos += 8) {
      writer.Append(expected.data() + pos,
                    std::min<std::size_t>(8, expected.size() - pos));
    }
    EXPECT_EQ(writer.Flush(), 0);
    EXPECT_EQ(out.data(), expected);
  }
}

TEST(BufferedWriterTest, FirstFailureSticks) {
  test::FailingOutputFile out(/*good_writes=*/2, ENOSPC);
  BufferedWriter writer(out, 4);
  const std::string data(64, 'x');
  writer.Append(data.data(), data.size());
  writer.Append(data.data(), data.size());
  EXPECT_EQ(writer.Flush(), ENOSPC);
  EXPECT_EQ(writer.Flush(), ENOSPC);
  EXPECT_EQ(out.calls(), 3) << "kept writing after a failure";
  EXPECT_EQ(out.data(), std::string(8, 'x'));
}

using ReplacementFileTest = TempDirTest;

// Unnamed where the file system allows, else under a temporary name: either
// way the old file stays until the new one is complete.
TEST_F(ReplacementFileTest, NameAppearsOnlyOnCommit) {
  const std::string path = dir_ + "/out.mat";
  for (bool allow_unnamed : {true, false}) {
    SCOPED_TRACE(allow_unnamed ? "unnamed" : "named");
    std::ofstream(path) << "old contents, longer than the new";
    {
      ReplacementFile file(allow_unnamed);
      ASSERT_EQ(file.Create(path), 0);
      EXPECT_EQ(file.unnamed(), allow_unnamed);
      ASSERT_EQ(file.file().Write("new", 3), 0);
      EXPECT_EQ(Entries().size(), allow_unnamed ? 1u : 2u);
      std::ifstream in(path);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
                "old contents, longer than the new");
      ASSERT_EQ(file.Commit(), 0);
    }
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
    EXPECT_EQ(Entries(), std::vector<std::string>{"out.mat"});
  }
}

TEST_F(ReplacementFileTest, AbandonedOrFailedLeavesNothingBehind) {
  for (bool allow_unnamed : {true, false}) {
    SCOPED_TRACE(allow_unnamed ? "unnamed" : "named");
    {
      ReplacementFile file(allow_unnamed);
      ASSERT_EQ(file.Create(dir_ + "/out.mat"), 0);
      ASSERT_EQ(file.file().Write("new", 3), 0);
    }
    EXPECT_TRUE(Entries().empty());

    ReplacementFile file(allow_unnamed);
    EXPECT_EQ(file.Create(dir_ + "/missing/out.mat"), ENOENT);
    std::filesystem::create_directory(dir_ + "/taken.mat");
    EXPECT_EQ(file.Create(dir_ + "/taken.mat"), EISDIR);
    EXPECT_EQ(Entries(), std::vector<std::string>{"taken.mat"});
    std::filesystem::remove(dir_ + "/taken.mat");
  }
}

// Each failing call keeps the old file and leaves no other, but for a
// directory that cannot be synced after the rename, when the new file is
// already in place and stays; a link that is refused falls back to a copy.
TEST_F(ReplacementFileTest, CommitSurvivesFailingCalls) {
  const std::string path = dir_ + "/out.mat";
  // Past one copy buffer, so that a copy in pieces would show.
  std::string contents(3 << 20, '\0');
  for (std::size_t k = 0; k < contents.size(); ++k) contents[k] = k % 251;
  const struct {
    const char* label;
    bool allow_unnamed;
    int link_error, sync_error, dir_sync_error;
    int result;
    bool replaced;
  } cases[] = {
      {"data sync fails", true, 0, EIO, 0, EIO, false},
      {"data sync fails, named", false, 0, ENOSPC, 0, ENOSPC, false},
      {"directory sync fails", true, 0, 0, EIO, EIO, true},
      {"directory sync fails, named", false, 0, 0, EIO, EIO, true},
      {"link refused", true, EPERM, 0, 0, 0, true},
      {"link refused, then the directory sync fails", true, EPERM, 0, EIO, EIO,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::ofstream(path) << "old";
    {
      ReplacementFaults faults;
      faults.link_error = c.link_error;
      faults.sync_error = c.sync_error;
      faults.dir_sync_error = c.dir_sync_error;
      ReplacementFile file(c.allow_unnamed, faults);
      ASSERT_EQ(file.Create(path), 0);
      ASSERT_EQ(file.file().Write(contents.data(), contents.size()), 0);
      EXPECT_EQ(file.Commit(), c.result);
      EXPECT_EQ(file.replaced(), c.replaced);
    }
    std::ifstream in(path, std::ios::binary);
    const std::string now(std::istreambuf_iterator<char>(in), {});
    EXPECT_TRUE(now == (c.replaced ? contents : "old")) << now.size();
    EXPECT_EQ(Entries(), std::vector<std::string>{"out.mat"});
  }
}

// SIGTERM, SIGINT, SIGHUP or SIGQUIT at any moment leaves the old file or the
// new one and nothing else, and the process dies of the signal.
TEST_F(ReplacementFileTest, EndingSignalLeavesOneFileAndKills) {
  const std::string path = dir_ + "/out.mat";
  const struct {
    const char* label;
    bool allow_unnamed;
    int link_error;
    int signal;
    bool at_rename;  // else while the file is written
  } cases[] = {
      {"unnamed, between link and rename", true, 0, SIGTERM, true},
      {"named, just before the rename", false, 0, SIGINT, true},
      {"copied after a refused link, before the rename", true, EPERM, SIGHUP,
       true},
      {"named, while written", false, 0, SIGQUIT, false},
      {"unnamed, while written", true, 0, SIGTERM, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::ofstream(path) << "old";
    auto run = [&] {
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      ReplacementFaults faults;
      faults.link_error = c.link_error;
      if (c.at_rename) faults.before_rename = [&] { ::raise(c.signal); };
      ReplacementFile file(c.allow_unnamed, faults);
      if (file.Create(path) != 0 || file.file().Write("new", 3) != 0) {
        ::_exit(2);
      }
      if (!c.at_rename) ::raise(c.signal);
      ::_exit(file.Commit() == 0 ? 0 : 3);
    };
    EXPECT_EXIT(run(), ::testing::KilledBySignal(c.signal), "");
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              c.at_rename ? "new" : "old");
    EXPECT_EQ(Entries(), std::vector<std::string>{"out.mat"});
  }
}

}  // namespace
}  // namespace unf2mat
