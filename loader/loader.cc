#include "loader/loader.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "loader/load_common.h"
#include "loader/scan_loader.h"
#include "matfile/mat_format.h"
#include "io/file.h"
#include "io/memory_advice.h"
#include "recordio/record_format.h"
#include "loader/widen_values.h"

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
      2 * reader.framing().marker_size + width * reader.value_size();
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
    WidenValues(state.type, state.x, n, state.core + *row_start + offset);
  };
  return reader.ReadRecordInPieces(state.x, kPieceValues, capacity, widen,
                                   bytes);
}

// The framing comes from the first record, whose byte count gives irow and
// whose values the first row, so the file is read once (a pipe can be read
// only once). A missing or damaged first record leaves irow at 0.
ReadStatus ReadFirstRecord(RunState& state, RecordReader& reader,
                           std::string_view name, const LoadLimits& limits,
                           FramingChoice* choice) {
  const std::size_t limit = std::min(limits.record_values, kRecordCapacity);
  const std::size_t size = reader.value_size();
  Whole(reader.DetectFraming(RecordBytesLimit(limit, size), choice), reader,
        name);
  const std::optional<std::uint64_t> checked_bytes = choice->first_record_bytes;
  std::size_t capacity = limit;
  if (checked_bytes) {
    // Refused before any of it is read.
    const std::uint64_t values = *checked_bytes / size;
    if (values > limit) RefuseLongFirstRecord(name, values, limit, limits.hint);
    capacity = static_cast<std::size_t>(values);
    RefuseLargeMatrixEarly(reader, name, capacity,
                           std::min(limits.matrix_values, kCoreCapacity),
                           limits.hint);
  }
  std::uint64_t bytes = 0;
  const ReadStatus status =
      ReadRecordIntoRow(state, reader, capacity, 0, &bytes);
  if (!Whole(status, reader, name)) return status;
  const std::uint64_t values = bytes / size;
  if (values > limit) RefuseLongFirstRecord(name, values, limit, limits.hint);
  state.irow = static_cast<std::int32_t>(values);
  state.icol = 1;
  state.i1 = 0;
  return status;
}

// Where loading ended, from the outcome of the last record read.
LoadEnd EndOfLoad(const RunState& state, ReadStatus status,
                  const RecordReader& reader) {
  if (status == ReadStatus::kEnd) return LoadEnd{};
  const RecordReader::LastRecord& last = reader.last_record();
  LoadEnd end{};
  end.reason =
      last.bytes ? LoadEnd::Reason::kShortRecord : LoadEnd::Reason::kDamaged;
  end.record = static_cast<std::uint64_t>(state.icol) + 1;
  end.values = last.bytes ? *last.bytes / reader.value_size() : 0;
  end.offset = last.offset;
  if (const std::optional<std::uint64_t> left = reader.BytesLeft()) {
    end.unread = reader.position() + *left - last.offset;
    end.unread_known = true;
  }
  return end;
}

// Counts `rows` more records; unless already widened into core, they are
// held in x and widened into their rows now. The limit is checked by the
// caller.
void StoreRows(RunState& state, std::size_t rows, bool widened) {
  const std::size_t width = static_cast<std::size_t>(state.irow);
  const std::size_t first = static_cast<std::size_t>(state.icol) * width;
  if (!widened)
    WidenValues(state.type, state.x, rows * width, state.core + first);
  state.icol += static_cast<std::int32_t>(rows);
  state.i1 = static_cast<std::int32_t>(first + (rows - 1) * width);
}

void LoadRecords(RunState& state, RecordReader& reader, std::string_view name,
                 const LoadLimits& limits, FramingChoice* choice) {
  state.irow = 0;
  state.icol = 0;
  state.end = LoadEnd{};
  if (const ReadStatus first =
          ReadFirstRecord(state, reader, name, limits, choice);
      first != ReadStatus::kOk) {
    state.end = EndOfLoad(state, first, reader);
    return;
  }
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
      if (status == ReadStatus::kOk && bytes < width * reader.value_size()) {
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
      state.end = EndOfLoad(state, status, reader);
      return;
    }
  }
}

}  // namespace

std::string StopReason(const LoadEnd& end, std::uint64_t width) {
  const std::string record = "record " + std::to_string(end.record);
  switch (end.reason) {
    case LoadEnd::Reason::kEnd:
      break;
    case LoadEnd::Reason::kShortRecord:
      return record + ", which holds " + Counted(end.values, "value") +
             ", fewer than the first record's " + std::to_string(width);
    case LoadEnd::Reason::kDamaged:
      return record + ", whose framing is damaged, at byte offset " +
             std::to_string(end.offset);
  }
  return "";
}

std::string StopWarning(const LoadEnd& end, std::string_view name,
                        std::uint64_t width) {
  if (end.reason == LoadEnd::Reason::kEnd) return "";
  const std::string rest =
      end.unread_known ? Counted(end.unread, "byte") + " of the file " +
                             (end.unread == 1 ? "was" : "were") + " not read"
                       : "the rest of the file was not read";
  return "loading of data file " + Quote(name) + " stopped at " +
         StopReason(end, width) + "; " + rest;
}

void LoadCore(RunState& state, RecordReader& reader, std::string_view name,
              const LoadLimits& limits, OutputFile* err) {
  reader.set_value_size(ValueSize(state.type));
  FramingChoice choice;
  LoadRecords(state, reader, name, limits, &choice);
  // Said only of a file that loads: a refusal is the whole story.
  if (err == nullptr) return;
  WarnAboutLoad(*err, choice, state, name);
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
  const std::uint64_t values =
      std::uint64_t(state.irow) * std::uint64_t(state.icol);
  if (mat::MatrixElementBytes(static_cast<std::uint64_t>(state.n1), values) >
      mat::kMatlabElementBytes) {
    Warn(err, "the matrix from data file " + Quote(name) + " takes " +
                  std::to_string(8 * values) +
                  " bytes, over the 2 GB that MATLAB loads of a Level 5 "
                  "variable; Octave and scipy read it");
  }
}

}  // namespace unf2mat
