// Feeds arbitrary bytes, or files in every framing made from a recipe, to
// the walk of the records with small limits and buffers. Plain rows must
// agree, in rows, columns, where and why loading ended or what refused it,
// and every value's bits, with a reading of their own through the record
// reader: from the records' places (a file read at offsets, a tile at a
// time, a row a row and a record a column), held in memory, and as
// --describe walks it, from a file and from a pipe. Layouts of the whole
// file (groups, sizes read from the file, either, chars) must walk any bytes
// to an end or a refusal, and every variable they give must be written.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/run_error.h"
#include "common/widen_values.h"
#include "converter/run_state.h"
#include "io/buffered_writer.h"
#include "io/file.h"
#include "io/spooled_input.h"
#include "loader/loader.h"
#include "loader/memory_loader.h"
#include "loader/record_layout.h"
#include "loader/survey.h"
#include "loader/variables.h"
#include "matfile/matfile.h"
#include "recordio/record_reader.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

RunState state;

// Says which check failed, for the finding's report.
#define Check(condition)                                            \
  do {                                                              \
    if (!(condition)) {                                             \
      std::fprintf(stderr, "check failed, line %d: %s\n", __LINE__, \
                   #condition);                                     \
      std::abort();                                                 \
    }                                                               \
  } while (false)

// What one way of loading made of a file.
struct Loaded {
  std::optional<std::string> refusal;  // the message that refused it
  std::uint64_t rows = 0, columns = 0;
  LoadEnd end{};
  std::vector<std::uint64_t> bits;  // row after row; empty when not compared
};

constexpr const char* kName = "fuzz.dat";

// Plain rows by the rules, read record by record through the record reader:
// the first record fixes the width, a shorter one or damage ends the
// matrix, past a limit the file is refused.
Loaded Reference(const std::string& bytes, ValueType type,
                 const LoadLimits& limits) {
  test::MemoryInputFile file(bytes);
  RecordReader reader(file, 64);
  reader.set_value_size(ValueSize(type));
  const std::uint64_t size = ValueSize(type);
  Loaded loaded;
  FramingChoice choice;
  const std::uint64_t first_limit = limits.record_values * size + size - 1;
  Check(reader.DetectFraming(
            first_limit, &choice,
            std::min(limits.record_values, kRecordCapacity) * size + size -
                1) == ReadStatus::kOk);
  auto refuse_first = [&](std::uint64_t values) {
    loaded.refusal = "the first record of data file '" + std::string(kName) +
                     "' holds " + std::to_string(values) +
                     " values, over the limit of " +
                     std::to_string(limits.record_values);
  };
  if (choice.first_record_bytes &&
      *choice.first_record_bytes / size > limits.record_values) {
    refuse_first(*choice.first_record_bytes / size);
    return loaded;
  }
  std::vector<char> row(bytes.size() + 8);
  for (std::uint64_t number = 1;; ++number) {
    const std::uint64_t offset = reader.position();
    std::uint64_t got = 0;
    const ReadStatus status =
        reader.ReadRecord(row.data(), row.size() / size, &got);
    LoadEnd::Reason reason = LoadEnd::Reason::kEnd;
    if (status == ReadStatus::kEnd) break;
    if (status == ReadStatus::kDamaged) reason = LoadEnd::Reason::kDamaged;
    if (status == ReadStatus::kOk && number == 1) {
      if (got / size > limits.record_values) {
        refuse_first(got / size);
        return loaded;
      }
      loaded.columns = got / size;
    }
    if (status == ReadStatus::kOk && got < loaded.columns * size) {
      reason = LoadEnd::Reason::kShortRecord;
    }
    if (reason != LoadEnd::Reason::kEnd) {
      loaded.end = {reason,
                    number,
                    reason == LoadEnd::Reason::kShortRecord ? got / size : 0,
                    reason == LoadEnd::Reason::kDamaged
                        ? reader.last_record().offset
                        : offset,
                    0,
                    true};
      loaded.end.unread = bytes.size() - loaded.end.offset;
      break;
    }
    ++loaded.rows;
    if (loaded.columns > 0 &&
        loaded.rows > limits.matrix_values / loaded.columns) {
      loaded.refusal = "data file '" + std::string(kName) +
                       "' holds a matrix over the limit of " +
                       std::to_string(limits.matrix_values) + " values";
      return loaded;
    }
    double widened[4096];
    WidenValues(type, row.data(), loaded.columns, widened);
    for (std::uint64_t c = 0; c < loaded.columns; ++c) {
      loaded.bits.push_back(std::bit_cast<std::uint64_t>(widened[c]));
    }
  }
  return loaded;
}

// A stream of `bytes` in pieces of `chunk`, kept in `budget` bytes of memory
// and past them in a temporary file.
std::unique_ptr<InputFile> Stream(const std::string& bytes, std::size_t chunk,
                                  std::size_t budget) {
  auto spool = std::make_unique<SpooledInput>(
      std::make_unique<test::ScriptedInputFile>(bytes, chunk), budget,
      std::vector<std::string>{"/tmp"});
  // One that ends within the budget is then a file of known size.
  Check(spool->KeepTo(budget + 1) == 0);
  return spool;
}

// The plain rows read where they lie, in tiles of 3 x 2 through reads of
// `read_bytes`, a record a row and a record a column; and held in memory.
Loaded InPlace(std::unique_ptr<InputFile> file, std::size_t read_bytes,
               ValueType type, const LoadLimits& limits) {
  Loaded loaded;
  const Layout rows = RowsLayout(type);
  try {
    const PlacedFile placed =
        PlaceDataFile(std::move(file), kName, rows, {limits}, {"/tmp"});
    loaded.rows = placed.walk.rows;
    loaded.columns = placed.walk.columns;
    loaded.end = placed.walk.end;
    const std::optional<TilePart> part = PartOf(placed, 0, kName);
    Check(part.has_value());  // a file this small never has too many runs
    loaded.bits.resize(loaded.rows * loaded.columns);
    FileTiles as_rows({*part},
                      RecordView{type, 0, loaded.columns, false, false, ""},
                      read_bytes);
    FileTiles as_columns({*part},
                         RecordView{type, 0, loaded.columns, true, false, ""},
                         read_bytes);
    char staging[8 * 6];
    double widened[6];
    for (std::uint64_t r0 = 0; r0 < loaded.rows; r0 += 3) {
      for (std::uint64_t c0 = 0; c0 < loaded.columns; c0 += 2) {
        const std::size_t tr = std::min<std::uint64_t>(3, loaded.rows - r0);
        const std::size_t tc = std::min<std::uint64_t>(2, loaded.columns - c0);
        EncodeDoubles(type, as_rows.Fill(r0, tr, c0, tc, staging), tr * tc,
                      widened);
        for (std::size_t k = 0; k < tr * tc; ++k) {
          loaded.bits[(r0 + k % tr) * loaded.columns + c0 + k / tr] =
              std::bit_cast<std::uint64_t>(widened[k]);
        }
        // The same values, a record a column: the matrix transposed.
        EncodeDoubles(type, as_columns.Fill(c0, tc, r0, tr, staging), tr * tc,
                      widened);
        for (std::size_t k = 0; k < tr * tc; ++k) {
          Check(loaded.bits[(r0 + k / tc) * loaded.columns + c0 + k % tc] ==
                std::bit_cast<std::uint64_t>(widened[k]));
        }
      }
    }
    if (Within(LoadLimits{}, loaded.rows, loaded.columns)) {
      LoadIntoMemory(
          placed, rows, kName,
          {{reinterpret_cast<char*>(state.x), sizeof state.x}, state.core});
      for (std::uint64_t k = 0; k < loaded.rows * loaded.columns; ++k) {
        Check(std::bit_cast<std::uint64_t>(state.core[k]) == loaded.bits[k]);
      }
    }
  } catch (const RunError& e) {
    loaded.refusal = e.what();
  }
  return loaded;
}

Loaded Surveyed(std::unique_ptr<InputFile> file, ValueType type,
                const LoadLimits& limits) {
  const Survey survey =
      SurveyFile(std::move(file), kName, RowsLayout(type), {limits}, {"/tmp"});
  Loaded loaded;
  const WalkResult& walk = survey.placed.walk;
  if (walk.refusal) {
    loaded.refusal = walk.refusal_message;
  } else {
    loaded.rows = walk.rows;
    loaded.columns = walk.columns;
    loaded.end = walk.end;
  }
  return loaded;
}

bool Agree(const Loaded& a, const Loaded& b) {
  if (a.refusal || b.refusal) return a.refusal == b.refusal;
  return a.rows == b.rows && a.columns == b.columns && a.end == b.end &&
         (a.bits.empty() || b.bits.empty() || a.bits == b.bits);
}

// Layouts of the whole file, as users write them: sizes and counts read from
// the file (hostile ones among them), groups within groups, branches chosen
// by length, characters, complex values and logicals.
constexpr const char* kLayouts[] = {
    "record n: int4; repeat { record t: real4; record q: real4(n) }",
    "record name: char(6)\nrecord i1, i2: int4\nrepeat {\n record t: real8\n "
    "record q: real4(i2-i1+1, 2)\n}",
    "record np: int1; repeat p = 1, np { record a, b: int2 }\nrepeat {\n "
    "record t: real4\n repeat p = 1, np { record v: real4(b(p)-a(p)+1) }\n}",
    "either { record nb: int4; record d: int4(2, nb)\n repeat b = 1, nb { "
    "record x: real4(d(1,b), d(2,b)) } } or { record d: int4(2)\n record x: "
    "real4(d(1), d(2)) }",
    "repeat { record k: int4, z: complex8(k), ok: logical4 }",
    "skip 1; repeat { either { record s: char(4) } or { record u: int8(*) } "
    "}",
};

// Every variable a layout gives of `bytes`, written as a v6 MAT-file into
// memory; a refusal is fine, a crash or a read no file allows is not.
void WalkLayouts(const std::string& bytes, std::size_t pick) {
  const LayoutOrError parsed =
      ParseLayoutText(kLayouts[pick % std::size(kLayouts)], "fuzz");
  Check(parsed.layout.has_value());
  LoadRequest request;
  request.layout = std::make_shared<const Layout>(*parsed.layout);
  request.classes = pick & 8 ? ClassChoice::kNative : ClassChoice::kDouble;
  const std::vector<DataInput> inputs = {{kName, "v"}};
  test::StringOutputFile warnings;
  try {
    LoadedVariables loaded = LoadVariables(
        inputs, request,
        [&](const std::string&) {
          return std::make_unique<test::MemoryInputFile>(bytes);
        },
        {{reinterpret_cast<char*>(state.x), sizeof state.x}, state.core},
        {"/tmp"}, warnings);
    std::vector<MatVariable> views;
    for (const Variable& v : loaded.variables) views.push_back(v.View());
    test::StringOutputFile out;
    BufferedWriter writer(out);
    WriteLevel5(views, writer, 4096);
    Check(writer.Flush() == 0);
  } catch (const RunError&) {
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
  // length, the type of the values and the layout.
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
  const Loaded reference = Reference(bytes, type, limits);
  Check(Agree(reference, InPlace(std::make_unique<test::MemoryInputFile>(bytes),
                                 buffer, type, limits)));
  Check(Agree(
      reference,
      Surveyed(std::make_unique<test::MemoryInputFile>(bytes), type, limits)));
  // A pipe, in small pieces: kept within memory it is the file; past it, in
  // a temporary file, it is a stream whose size is not known.
  const std::size_t chunk = 1 + data[0] % 7;
  Check(Agree(reference, InPlace(Stream(bytes, chunk, bytes.size() + 1), buffer,
                                 type, limits)));
  const Loaded streamed =
      InPlace(Stream(bytes, chunk, chunk), buffer, type, limits);
  Check(streamed.refusal || Within(limits, streamed.rows, streamed.columns));
  WalkLayouts(bytes, size + data[0]);
  return 0;
}
