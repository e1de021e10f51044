#include "recordio/record_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// Every reader must give the same results however the bytes arrive.
constexpr std::size_t kChunks[] = {1, 3, 1 << 20};
constexpr std::size_t kBufferSizes[] = {1, 5, 16, 1 << 20};

std::string Marker(std::uint32_t count) {
  return std::string(reinterpret_cast<const char*>(&count), 4);
}

struct RecordCase {
  const char* name;
  std::string file;
  std::size_t count;
  // The values of each record read whole, then the status that ends reading.
  std::vector<std::vector<float>> records;
  test::Row last;
};

TEST(RecordReaderTest, ReadsRecordsAndStopsAtTheFirstThatFallsShort) {
  const std::string valid = DataFile({{1, 2, 3}, {4, 5, 6}});
  const RecordCase cases[] = {
      {"two records", valid, 3, {{1, 2, 3}, {4, 5, 6}}, test::Row::kEnd},
      {"longer records give their first values",
       DataFile({{1, 2, 3, 4}, {5, 6, 7, 8}}),
       2,
       {{1, 2}, {5, 6}},
       test::Row::kEnd},
      {"short record",
       DataFile({{1, 2, 3}, {4, 5}, {6, 7, 8}}),
       3,
       {{1, 2, 3}},
       test::Row::kShort},
      {"no values taken from empty records",
       FramedRecord("") + FramedRecord("") + FramedRecord("abc"),
       0,
       {{}, {}, {}},
       test::Row::kEnd},
      {"partial value ignored",
       FramedRecord(std::string(10, '\0')),
       2,
       {{0, 0}},
       test::Row::kEnd},
      {"empty file", "", 1, {}, test::Row::kEnd},
      {"count beyond the file",
       Marker(100) + std::string(20, '\0'),
       1,
       {},
       test::Row::kDamaged},
      {"huge count",
       Marker(0xfffffff0u) + std::string(64, '\0'),
       0,
       {},
       test::Row::kDamaged},
      {"trailing count differs",
       valid + Marker(8) + Record({7, 8}).substr(4, 8) + Marker(9),
       2,
       {{1, 2}, {4, 5}},
       test::Row::kDamaged},
      {"ends inside a leading count",
       valid + "\x08\x00",
       3,
       {{1, 2, 3}, {4, 5, 6}},
       test::Row::kDamaged},
      {"ends inside a trailing count",
       valid.substr(0, valid.size() - 1),
       3,
       {{1, 2, 3}},
       test::Row::kDamaged},
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
          ASSERT_EQ(test::ReadRow(reader, values.data(), c.count),
                    test::Row::kOk);
          EXPECT_EQ(
              std::vector<float>(values.begin(), values.begin() + c.count),
              expected);
          EXPECT_EQ(values[c.count], -1.0f) << "wrote past the count";
        }
        EXPECT_EQ(test::ReadRow(reader, values.data(), c.count), c.last);
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
       ReadStatus::kDamaged, 0},
      {"counts differ", Marker(4) + "abcd" + Marker(5), ReadStatus::kDamaged,
       0},
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
        EXPECT_EQ(test::ReadRow(reader, values, 5), test::Row::kShort);
        EXPECT_EQ(test::ReadRow(reader, values, 5), test::Row::kEnd);
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
      // One value is proof enough: what follows it does not matter.
      {"a first record of one value, then damage",
       DataFile({{1}}) + Marker(5) + "xy", kHost4, Basis::kVerified, 4},
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

// Reading the repeats of a record many at a time, or a record in pieces,
// gives what reading them one by one gives, whatever the framing and
// wherever the buffer ends; a record of another length is no repeat.
TEST(RecordReaderTest, RepeatsAndPiecesMatchSingleReads) {
  const test::Records records = {
      {1, 2, 3},        {4, 5, 6},        {7, 8, 9}, {10, 11, 12},
      {13, 14, 15, 16}, {17, 18, 19, 20}, {21, 22},  {23, 24}};
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
        // The first record in pieces of two values.
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
        EXPECT_EQ(pieces, (std::vector<float>{1, 2, 3}));
        EXPECT_EQ(offsets, (std::vector<std::size_t>{0, 2}));
        // Then rows of two values: a record, then as many repeats as there
        // are, at most two at a time.
        std::vector<float> rows(2 * 10, -1.0f);
        std::size_t held = 0, repeats = 0;
        while (test::ReadRow(reader, &rows[2 * held], 2) == test::Row::kOk) {
          ++held;
          const std::size_t n = reader.ReadRepeats(&rows[2 * held], 2, 2);
          held += n;
          repeats += n;
        }
        EXPECT_EQ(rows,
                  (std::vector<float>{4,  5,  7,  8,  10, 11, 13, 14, 17, 18,
                                      21, 22, 23, 24, -1, -1, -1, -1, -1, -1}));
        // Subrecords of 8 bytes split all but the records of two values.
        if (buffer == 1 << 20) {
          EXPECT_EQ(repeats, max_subrecord == SIZE_MAX ? 4u : 1u);
        }
      }
    }
  }
}

// Repeats are counted many records at a time: the first that differs, by
// its leading or its trailing marker, is found wherever it lies among them.
TEST(RecordReaderTest, CountsRepeatsUpToTheFirstThatDiffers) {
  constexpr std::size_t kRecords = 130;  // two blocks of 64, and a part
  for (const Framing& framing : record::kFramings) {
    const std::string bytes =
        test::FramedFile(test::Records(kRecords, {1}), framing);
    const std::size_t m = framing.marker_size;
    record::Repeat repeat;
    repeat.marker_size = m;
    std::copy_n(bytes.data(), m, repeat.marker);
    repeat.stride = 4 + 2 * m;
    for (std::size_t differs :
         {std::size_t{0}, std::size_t{63}, std::size_t{64}, std::size_t{100},
          kRecords - 1, kRecords}) {
      for (std::size_t marker : {std::size_t{0}, 4 + m}) {
        SCOPED_TRACE(std::to_string(m) + "-byte markers, record " +
                     std::to_string(differs) + ", marker at " +
                     std::to_string(marker));
        std::string damaged = bytes;
        if (differs < kRecords) damaged[differs * repeat.stride + marker] ^= 1;
        EXPECT_EQ(record::CountRepeats(damaged.data(), damaged.size(), repeat,
                                       kRecords),
                  differs);
        EXPECT_EQ(record::CountRepeats(damaged.data(), damaged.size(), repeat,
                                       std::min<std::size_t>(differs, 70)),
                  std::min<std::size_t>(differs, 70));
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
      ASSERT_EQ(test::ReadRow(reader, values, 3), test::Row::kOk);
      EXPECT_EQ(std::vector<float>(values, values + 3), row);
    }
    EXPECT_NE(test::ReadRow(reader, values, 3), test::Row::kOk);
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
    EXPECT_EQ(test::ReadRow(reader, values, 1), test::Row::kDamaged);
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
        test::Row status;
        while ((status = test::ReadRow(reader, values, 2)) == test::Row::kOk) {
          EXPECT_EQ(values[0], 2.0f * whole + 1);
          ++whole;
        }
        EXPECT_EQ(whole, length / record_size);
        EXPECT_EQ(status, length % record_size == 0 ? test::Row::kEnd
                                                    : test::Row::kDamaged);
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
    test::Row status;
    while ((status = test::ReadRow(reader, values, 3)) == test::Row::kOk) {
    }
    EXPECT_EQ(status, test::Row::kFailed);
    EXPECT_EQ(reader.error(), EIO);
  }
}

}  // namespace
}  // namespace unf2mat
