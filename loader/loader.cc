#include "loader/loader.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "recordio/file.h"
#include "recordio/memory_advice.h"
#include "recordio/record_format.h"
#include "loader/load_common.h"
#include "loader/scan_loader.h"
#include "matfile/mat_format.h"

namespace unf2mat {
namespace {

// Where the file's size shows that more whole records may follow than the
// matrix can hold, their markers are counted before any value is stored, so
// that such a file is refused without filling core first.
void RefuseLargeMatrixEarly(RecordReader& reader, std::string_view name,
                            std::size_t width, std::size_t limit,
                            std::string_view hint) {
  if (width == 0) return;
  const std::uint64_t fit = limit / width;
  const std::optional<std::uint64_t> left = reader.BytesLeft();
  const std::uint64_t smallest_record =
      2 * reader.framing().marker_size + width * record::kValueSize;
  if (!left || *left / smallest_record <= fit) return;
  const std::optional<std::uint64_t> records =
      reader.CountRecordsAhead(width, fit + 1);
  if (records && *records > fit) RefuseLargeMatrix(name, limit, hint);
}

// A record passes through x in pieces of this many values, each widened into
// core at once, so a long record is read in one pass and touches little of x.
constexpr std::size_t kPieceValues = std::size_t{1} << 18;  // 1 MiB
// Shorter records are read many to a batch, which stays in cache.
constexpr std::size_t kBatchValues = std::size_t{1} << 16;

// Reads the next record's first `capacity` values into core from position
// `row_start`; with no row_start, only reads past it.
ReadStatus ReadRecordIntoRow(RunState& state, RecordReader& reader,
                             std::size_t capacity,
                             std::optional<std::size_t> row_start,
                             std::uint64_t* bytes) {
  const RecordReader::PieceSink widen = [&](std::size_t offset, std::size_t n) {
    if (!row_start) return;
    double* dst = state.core + *row_start + offset;
    for (std::size_t k = 0; k < n; ++k) dst[k] = state.x[k];
  };
  return reader.ReadRecordInPieces(state.x, kPieceValues, capacity, widen,
                                   bytes);
}

// The framing comes from the first record, whose byte count gives irow and
// whose values the first row, so the file is read once (a pipe can be read
// only once). A missing or damaged first record leaves irow at 0.
bool ReadFirstRecord(RunState& state, RecordReader& reader,
                     std::string_view name, const LoadLimits& limits,
                     std::string* warning) {
  const std::size_t limit = std::min(limits.record_values, kRecordCapacity);
  // A record of `limit` values may carry a partial value after them.
  const std::uint64_t limit_bytes =
      std::uint64_t{limit} * record::kValueSize + record::kValueSize - 1;
  FramingChoice choice;
  Whole(reader.DetectFraming(limit_bytes, &choice), reader, name);
  *warning = FramingWarning(choice, name);
  const std::optional<std::uint64_t> checked_bytes = choice.first_record_bytes;
  std::size_t capacity = limit;
  if (checked_bytes) {
    // Refused before any of it is read.
    const std::uint64_t values = *checked_bytes / record::kValueSize;
    if (values > limit) RefuseLongFirstRecord(name, values, limit, limits.hint);
    capacity = static_cast<std::size_t>(values);
    RefuseLargeMatrixEarly(reader, name, capacity,
                           std::min(limits.matrix_values, kCoreCapacity),
                           limits.hint);
  }
  std::uint64_t bytes = 0;
  if (!Whole(ReadRecordIntoRow(state, reader, capacity, 0, &bytes), reader,
             name)) {
    return false;
  }
  const std::uint64_t values = bytes / record::kValueSize;
  if (values > limit) RefuseLongFirstRecord(name, values, limit, limits.hint);
  state.irow = static_cast<std::int32_t>(values);
  state.icol = 1;
  state.i1 = 0;
  return true;
}

// Counts `rows` more records; unless already widened into core, they are
// held in x and widened into their rows now. The limit is checked by the
// caller.
void StoreRows(RunState& state, std::size_t rows, bool widened) {
  const std::size_t width = static_cast<std::size_t>(state.irow);
  const std::size_t first = static_cast<std::size_t>(state.icol) * width;
  if (!widened) {
    const float* src = state.x;
    double* dst = state.core + first;
    for (std::size_t k = 0; k < rows * width; ++k) dst[k] = src[k];
  }
  state.icol += static_cast<std::int32_t>(rows);
  state.i1 = static_cast<std::int32_t>(first + (rows - 1) * width);
}

void LoadRecords(RunState& state, RecordReader& reader, std::string_view name,
                 const LoadLimits& limits, std::string* warning) {
  state.irow = 0;
  state.icol = 0;
  if (!ReadFirstRecord(state, reader, name, limits, warning)) return;
  const std::size_t width = static_cast<std::size_t>(state.irow);
  const std::size_t limit = std::min(limits.matrix_values, kCoreCapacity);
  if (width > limit) RefuseLargeMatrix(name, limit, limits.hint);
  const std::size_t batch = std::max<std::size_t>(
      1,
      std::min(kBatchValues / std::max<std::size_t>(width, 1), kBatchValues));
  for (;;) {
    const std::size_t loaded = static_cast<std::size_t>(state.icol);
    // One record past what fits is read to tell a whole one from the end.
    const std::size_t room = width == 0 ? kMaxEmptyRecords - loaded
                                        : (limit - loaded * width) / width;
    ReadStatus status;
    std::size_t rows;
    if (width >= kBatchValues) {
      std::uint64_t bytes = 0;
      const auto row_start =
          room > 0 ? std::optional(loaded * width) : std::nullopt;
      status = ReadRecordIntoRow(state, reader, width, row_start, &bytes);
      if (status == ReadStatus::kOk && bytes < width * record::kValueSize) {
        status = ReadStatus::kShort;
      }
      rows = status == ReadStatus::kOk ? 1 : 0;
    } else {
      rows =
          reader.ReadRows(state.x, width, std::min(batch, room + 1), &status);
    }
    if (rows > room) {
      if (width == 0) {
        RefuseEmptyRecords(name);
      }
      RefuseLargeMatrix(name, limit, limits.hint);
    }
    if (rows > 0) StoreRows(state, rows, /*widened=*/width >= kBatchValues);
    if (status != ReadStatus::kOk) {
      Whole(status, reader, name);
      return;
    }
  }
}

}  // namespace

std::string StopWarning(const LoadEnd& end, std::string_view name,
                        std::uint64_t width) {
  std::string why;
  switch (end.reason) {
    case LoadEnd::Reason::kEnd:
      return "";
    case LoadEnd::Reason::kShortRecord:
      why = ", which holds " + std::to_string(end.values) +
            " values, fewer than the first record's " + std::to_string(width);
      break;
    case LoadEnd::Reason::kDamaged:
      why = ", whose framing is damaged, at byte offset " +
            std::to_string(end.offset);
      break;
  }
  std::string rest = end.unread_known
                         ? std::to_string(end.unread) + " bytes of the file"
                         : "the rest of the file";
  return "loading of data file " + Quote(name) + " stopped at record " +
         std::to_string(end.record) + why + "; " + rest + " were not read";
}

void LoadCore(RunState& state, RecordReader& reader, std::string_view name,
              const LoadLimits& limits, OutputFile* err) {
  std::string warning;
  LoadRecords(state, reader, name, limits, &warning);
  // Said only of a file that loads: a refusal is the whole story.
  if (err != nullptr && !warning.empty()) Warn(*err, warning);
}

namespace {

void LoadIntoCore(RunState& state, InputFile& file, std::string_view name,
                  const LoadLimits& limits, OutputFile& err) {
  AdviseLargePages(state.core, sizeof state.core);
  RecordReader reader(file);
  LoadCore(state, reader, name, limits, &err);
}

}  // namespace

void loadcore(RunState& state, OutputFile& err) {
  const std::string name(TrimTrailingBlanks(state.fname1));
  std::unique_ptr<InputFile> file = OpenDataFile(name);
  state.tiles.reset();
  state.end = {};
  // A file that can be read at an offset is read where each value lies as
  // the MAT-file is written; a pipe must be held in core.
  if (const std::optional<std::uint64_t> size = file->Size()) {
    if (!LoadPlaces(state, std::move(file), *size, name, err)) {
      auto again = OpenDataFile(name);
      LoadIntoCore(state, *again, name, LoadLimits{}, err);
    }
  } else {
    const LoadLimits limits(kRecordCapacity, kCoreCapacity,
                            "; from a regular file, not a pipe, the limit is " +
                  std::to_string(mat::MaxMatrixValues(
                                static_cast<std::uint64_t>(state.n1))) +
                                " values");
    LoadIntoCore(state, *file, name, limits, err);
  }
  const std::uint64_t values = std::uint64_t(state.irow) * std::uint64_t(state.icol);
  if (mat::MatrixElementBytes(static_cast<std::uint64_t>(state.n1), values) >
      mat::kMatlabElementBytes) {
    Warn(err, "the matrix from data file " + Quote(name) + " takes " +
                  std::to_string(8 * values) +
                  " bytes, over the 2 GB that MATLAB loads of a Level 5 "
                  "variable; Octave and scipy read it");
  }
  if (const std::string stop = StopWarning(state.end, name, static_cast<std::uint64_t>(state.irow));
      !stop.empty()) {
    Warn(err, stop);
  }
}

}  // namespace unf2mat
