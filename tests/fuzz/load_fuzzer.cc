// Feeds arbitrary bytes, or files in every framing made from a recipe, to
// every way of loading with small limits and buffers: into memory, from the
// records' places (a file read at offsets, a tile at a time), and the walk of
// --describe. They must agree on the rows, the columns, where and why loading
// ended or what refused it, and every value's bits. A pipe, which cannot look
// as far ahead, is held only to the limits.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/widen_values.h"
#include "converter/run_state.h"
#include "io/file.h"
#include "io/spooled_input.h"
#include "loader/memory_loader.h"
#include "loader/place_loader.h"
#include "loader/survey.h"
#include "recordio/record_reader.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

RunState state;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Passes calls on, noting any failure other than a pipe's ESPIPE. The fakes
// never fail a read, so a failure means the reader asked for a move no file
// allows (a skip over a damaged count, past the largest offset).
class FailureWatch final : public InputFile {
 public:
  explicit FailureWatch(InputFile& file) : file_(file) {}
  IoResult Read(char* dst, std::size_t n) override {
    return Note(file_.Read(dst, n));
  }
  int Skip(std::uint64_t n) override {
    return Note(IoResult{0, file_.Skip(n)}).error;
  }
  IoResult ReadAt(std::uint64_t offset, char* dst, std::size_t n) override {
    return Note(file_.ReadAt(offset, dst, n));
  }
  std::optional<std::uint64_t> Size() const override { return file_.Size(); }
  bool failed() const { return failed_; }

 private:
  IoResult Note(IoResult r) {
    failed_ |= r.error != 0 && r.error != ESPIPE;
    return r;
  }
  InputFile& file_;
  bool failed_ = false;
};

// What one way of loading made of a file.
struct Loaded {
  std::optional<std::string> refusal;  // the message that refused it
  std::uint64_t rows = 0, columns = 0;
  LoadEnd end{};
  std::vector<std::uint64_t> bits;  // row after row; empty when not compared
};

constexpr const char* kName = "fuzz.dat";

MemoryStore Store() {
  return {{reinterpret_cast<char*>(state.x), sizeof state.x}, state.core};
}

// A damaged file loads what comes before the damage or is refused at a
// limit; it never makes the load fail, nor asks for a move no file allows.
Loaded InMemory(InputFile& file, std::size_t buffer, ValueType type,
                const LoadLimits& limits) {
  FailureWatch watched(file);
  RecordReader reader(watched, buffer);
  Loaded loaded;
  try {
    const LoadOutcome outcome =
        LoadIntoMemory(reader, kName, type, limits, Store());
    loaded.rows = outcome.rows;
    loaded.columns = outcome.columns;
    loaded.end = outcome.end;
    Check(Within(limits, loaded.rows, loaded.columns));
    for (std::uint64_t k = 0; k < loaded.rows * loaded.columns; ++k) {
      loaded.bits.push_back(std::bit_cast<std::uint64_t>(state.core[k]));
    }
  } catch (const RunError& e) {
    loaded.refusal = e.what();
  }
  Check(!watched.failed());
  return loaded;
}

// The matrix read back in tiles of 3 x 2 through reads of `read_bytes`,
// widened here. As a stream, the bytes come in
// pieces of `chunk` and are kept in `budget` bytes of memory, past them in a
// temporary file; a stream that ends within the budget is a file of known
// size.
Loaded InPlace(const std::string& bytes, std::size_t read_bytes, ValueType type,
               const LoadLimits& limits, std::size_t chunk = 0,
               std::size_t budget = 0) {
  Loaded loaded;
  try {
    LoadOutcome outcome;
    std::shared_ptr<InputFile> file =
        std::make_shared<test::MemoryInputFile>(bytes);
    std::optional<std::uint64_t> size = bytes.size();
    if (chunk > 0) {
      auto spool = std::make_shared<SpooledInput>(
          std::make_unique<test::ScriptedInputFile>(bytes, chunk), budget,
          std::vector<std::string>{"/tmp"});
      Check(spool->KeepTo(budget + 1) == 0);
      size = spool->Size();
      file = spool;
    }
    const PlacedRecords placed = LoadPlaces(
        file, size, kName, PlainRows(ValueSize(type)), limits, &outcome);
    auto tiles = PlainTiles(placed, kName, type, outcome.columns, read_bytes);
    loaded.rows = outcome.rows;
    loaded.columns = outcome.columns;
    loaded.end = outcome.end;
    Check(tiles != nullptr);  // a file this small never has too many runs
    loaded.bits.resize(loaded.rows * loaded.columns);
    char staging[8 * 6];
    for (std::uint64_t r0 = 0; r0 < loaded.rows; r0 += 3) {
      for (std::uint64_t c0 = 0; c0 < loaded.columns; c0 += 2) {
        const std::size_t tr = std::min<std::uint64_t>(3, loaded.rows - r0);
        const std::size_t tc = std::min<std::uint64_t>(2, loaded.columns - c0);
        const char* tile = tiles->Fill(r0, tr, c0, tc, staging);
        double widened[6];
        EncodeDoubles(type, tile, tr * tc, widened);
        for (std::size_t k = 0; k < tr * tc; ++k) {
          loaded.bits[(r0 + k % tr) * loaded.columns + c0 + k / tr] =
              std::bit_cast<std::uint64_t>(widened[k]);
        }
      }
    }
    // The same values read a record a column, as a field stacked along its
    // last dimension is, must be the matrix transposed.
    FileTiles columns({placed.Part(kName, PlainRows(ValueSize(type)))},
                      RecordView{type, 0, loaded.columns, true, false, ""},
                      read_bytes);
    for (std::uint64_t c0 = 0; c0 < loaded.rows; c0 += 3) {
      for (std::uint64_t r0 = 0; r0 < loaded.columns; r0 += 2) {
        const std::size_t tr = std::min<std::uint64_t>(2, loaded.columns - r0);
        const std::size_t tc = std::min<std::uint64_t>(3, loaded.rows - c0);
        const char* tile = columns.Fill(r0, tr, c0, tc, staging);
        double widened[6];
        EncodeDoubles(type, tile, tr * tc, widened);
        for (std::size_t k = 0; k < tr * tc; ++k) {
          Check(loaded.bits[(c0 + k / tr) * loaded.columns + r0 + k % tr] ==
                std::bit_cast<std::uint64_t>(widened[k]));
        }
      }
    }
  } catch (const RunError& e) {
    loaded.refusal = e.what();
  }
  return loaded;
}

Loaded Surveyed(const std::string& bytes, std::size_t buffer, ValueType type,
                const LoadLimits& limits) {
  test::MemoryInputFile file(bytes);
  RecordReader reader(file, buffer);
  const Survey survey =
      SurveyRecords(reader, kName, type, PlainRows(ValueSize(type)), limits);
  Loaded loaded;
  if (survey.refusal) {
    loaded.refusal = survey.refusal->Message(kName, limits.hint);
  } else {
    loaded.rows = survey.rows;
    loaded.columns = survey.columns;
    loaded.end = survey.end;
  }
  return loaded;
}

bool Agree(const Loaded& a, const Loaded& b) {
  if (a.refusal || b.refusal) return a.refusal == b.refusal;
  return a.rows == b.rows && a.columns == b.columns && a.end == b.end &&
         (a.bits.empty() || b.bits.empty() || a.bits == b.bits);
}

// Reads every record in pieces of an odd size.
void ReadInPieces(InputFile& file, std::size_t buffer, std::size_t capacity) {
  RecordReader reader(file, buffer);
  FramingChoice choice;
  if (reader.DetectFraming(std::uint64_t{capacity} * 4, &choice) !=
      ReadStatus::kOk) {
    return;
  }
  float window[3];
  std::size_t seen = 0;
  const RecordReader::PieceSink sink = [&](std::size_t offset, std::size_t n) {
    Check(n <= 3 && offset == seen);
    seen += n;
  };
  std::uint64_t bytes = 0;
  for (int k = 0; k < 1000; ++k) {
    seen = 0;
    if (reader.ReadRecordInPieces(window, 3, capacity, sink, &bytes) !=
        ReadStatus::kOk) {
      return;
    }
    Check(seen == std::min<std::uint64_t>(capacity, bytes / 4));
  }
}

// A recipe for a data file, so that mutations keep to a framing and its
// subrecords instead of breaking them at once: byte 0 picks the framing (bits
// 0-1) and the longest subrecord (bits 2-4: 4 to 28 bytes, or 7: unsplit);
// bytes 1-2 (little-endian) a byte to damage and byte 3 what to XOR it with
// (0: none); then records, each a count n of values and 4n bytes of them.
std::string FromRecipe(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return {};
  const record::Framing& framing = record::kFramings[data[0] & 3];
  const std::size_t split = (data[0] >> 2) & 7;
  const std::size_t max_subrecord = split == 7 ? SIZE_MAX : 4 * (split + 1);
  const std::size_t damage_at = data[1] | std::size_t{data[2]} << 8;
  const std::uint8_t damage = data[3];
  test::Records records;
  for (std::size_t at = 4; at < size;) {
    const std::size_t wanted = data[at++];
    const std::size_t n = std::min(wanted, (size - at) / 4);
    std::vector<float> values(n);
    if (n > 0) std::memcpy(values.data(), data + at, 4 * n);
    records.push_back(std::move(values));
    at += 4 * n;
  }
  std::string bytes = test::FramedFile(records, framing, max_subrecord);
  if (damage != 0 && !bytes.empty()) {
    bytes[damage_at % bytes.size()] ^= static_cast<char>(damage);
  }
  return bytes;
}

}  // namespace
}  // namespace unf2mat

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace unf2mat;
  if (size == 0) return 0;
  // The first byte picks the buffer size (bits 0-2), the limits (bits 3-6)
  // and whether the rest is the file itself or a recipe for one (bit 7); the
  // length, the type of the values.
  const std::size_t buffer = std::size_t{8} << (data[0] & 7);
  const LoadLimits limits{std::size_t{4} << ((data[0] >> 3) & 3),
                          std::size_t{64} << ((data[0] >> 5) & 3), ""};
  constexpr ValueType kTypes[] = {ValueType::kReal4, ValueType::kReal8,
                                  ValueType::kInt4};
  const ValueType type = kTypes[size % 3];
  const std::string bytes =
      data[0] & 0x80
          ? FromRecipe(data + 1, size - 1)
          : std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
  test::MemoryInputFile file(bytes);
  const Loaded in_memory = InMemory(file, buffer, type, limits);
  Check(Agree(in_memory, InPlace(bytes, buffer, type, limits)));
  Check(Agree(in_memory, Surveyed(bytes, buffer, type, limits)));
  // A pipe, in small pieces: kept within memory it is the file; past it, in
  // a temporary file, and held in memory, it is a stream, which is looked at
  // no further ahead for its first record than that record's limit.
  const std::size_t chunk = 1 + data[0] % 7;
  Check(Agree(in_memory,
              InPlace(bytes, buffer, type, limits, chunk, bytes.size())));
  const Loaded streamed = InPlace(bytes, buffer, type, limits, chunk, chunk);
  Check(streamed.refusal || Within(limits, streamed.rows, streamed.columns));
  test::ScriptedInputFile pipe(bytes, chunk);
  InMemory(pipe, buffer, type, limits);
  test::MemoryInputFile again(bytes);
  ReadInPieces(again, buffer, limits.record_values);
  return 0;
}
