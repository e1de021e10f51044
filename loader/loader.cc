#include "loader/loader.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "recordio/file.h"
#include "recordio/record_format.h"

namespace unf2mat {
namespace {

std::unique_ptr<PosixInputFile> OpenDataFile(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) {
    throw RunError("the data file name " + Quote(name) +
                   " holds a NUL byte; refusing to open a shorter name");
  }
  std::unique_ptr<PosixInputFile> file;
  if (int error = PosixInputFile::Open(name, &file); error != 0) {
    throw RunError(FileError("cannot open data file", name, error));
  }
  return file;
}

// Whether a whole record was read; a failed read ends the run.
bool Whole(ReadStatus status, const RecordReader& reader,
           std::string_view name) {
  if (status == ReadStatus::kFailed) {
    throw RunError(FileError("cannot read data file", name, reader.error()));
  }
  return status == ReadStatus::kOk;
}

void RefuseLongFirstRecord(std::string_view name, std::uint64_t values,
                           std::size_t limit) {
  throw RunError("the first record of data file " + Quote(name) + " holds " +
                 std::to_string(values) + " values, over the limit of " +
                 std::to_string(limit));
}

// The framing comes from the first record, whose byte count gives irow and
// whose values the first row, so the file is read once (a pipe can be read
// only once). A missing or damaged first record leaves irow at 0.
bool ReadFirstRecord(RunState& state, RecordReader& reader,
                     std::string_view name, const LoadLimits& limits) {
  const std::size_t limit = std::min(limits.record_values, kRecordCapacity);
  std::optional<std::uint64_t> checked_bytes;
  Whole(reader.DetectFraming(&checked_bytes), reader, name);
  std::size_t capacity = limit;
  if (checked_bytes) {
    // Refused before any of it is read.
    const std::uint64_t values = *checked_bytes / record::kValueSize;
    if (values > limit) RefuseLongFirstRecord(name, values, limit);
    capacity = static_cast<std::size_t>(values);
  }
  std::uint64_t bytes = 0;
  if (!Whole(reader.ReadRecord(state.x, capacity, &bytes), reader, name)) {
    return false;
  }
  const std::uint64_t values = bytes / record::kValueSize;
  if (values > limit) RefuseLongFirstRecord(name, values, limit);
  state.irow = static_cast<std::int32_t>(values);
  return true;
}

// Widens record icol, held in x, into its row of core.
void StoreRow(RunState& state, std::string_view name,
              const LoadLimits& limits) {
  const std::size_t width = static_cast<std::size_t>(state.irow);
  const std::size_t first = (static_cast<std::size_t>(state.icol) - 1) * width;
  const std::size_t limit = std::min(limits.matrix_values, kCoreCapacity);
  if (first + width > limit) {
    throw RunError("data file " + Quote(name) +
                   " holds a matrix over the limit of " +
                   std::to_string(limit) + " values");
  }
  state.i1 = static_cast<std::int32_t>(first);
  double* row = state.core + first;
  for (std::size_t c = 0; c < width; ++c) row[c] = state.x[c];
}

}  // namespace

void LoadCore(RunState& state, RecordReader& reader, std::string_view name,
              const LoadLimits& limits) {
  state.irow = 0;
  state.icol = 0;
  if (!ReadFirstRecord(state, reader, name, limits)) return;
  do {
    if (state.icol == std::numeric_limits<std::int32_t>::max()) {
      throw RunError("data file " + Quote(name) + " holds more than " +
                     std::to_string(state.icol) + " records");
    }
    state.icol += 1;
    StoreRow(state, name, limits);
  } while (
      Whole(reader.ReadValues(state.x, static_cast<std::size_t>(state.irow)),
            reader, name));
}

void loadcore(RunState& state) {
  const std::string name(TrimTrailingBlanks(state.fname1));
  auto file = OpenDataFile(name);
  RecordReader reader(*file);
  LoadCore(state, reader, name, LoadLimits{});
}

}  // namespace unf2mat
