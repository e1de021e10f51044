#include "loader/loader.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
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

[[noreturn]] void ThrowReadError(std::string_view name, int error) {
  throw RunError(FileError("cannot read data file", name, error));
}

}  // namespace

void FindRecordLength(RunState& state, RecordReader& reader,
                      std::string_view name, const LoadLimits& limits) {
  std::uint64_t bytes = 0;
  ReadStatus status = reader.ReadLength(&bytes);
  if (status == ReadStatus::kFailed) ThrowReadError(name, reader.error());
  // No record, or a damaged one, holds no whole value.
  std::uint64_t values =
      status == ReadStatus::kOk ? bytes / record::kValueSize : 0;
  const std::size_t limit = std::min(limits.record_values, kRecordCapacity);
  if (values > limit) {
    throw RunError("the first record of data file " + Quote(name) + " holds " +
                   std::to_string(values) + " values, over the limit of " +
                   std::to_string(limit));
  }
  state.irow = static_cast<std::int32_t>(values);
}

void LoadRecords(RunState& state, RecordReader& reader, std::string_view name,
                 const LoadLimits& limits) {
  const std::size_t width = static_cast<std::size_t>(state.irow);
  const std::size_t limit = std::min(limits.matrix_values, kCoreCapacity);
  state.icol = 0;
  for (;;) {
    if (state.icol == std::numeric_limits<std::int32_t>::max()) {
      throw RunError("data file " + Quote(name) + " holds more than " +
                     std::to_string(state.icol) + " records");
    }
    state.icol += 1;
    const std::size_t first =
        (static_cast<std::size_t>(state.icol) - 1) * width;
    ReadStatus status = reader.ReadValues(state.x, width);
    if (status == ReadStatus::kFailed) ThrowReadError(name, reader.error());
    if (status != ReadStatus::kOk) break;
    if (first + width > limit) {
      throw RunError("data file " + Quote(name) +
                     " holds a matrix over the limit of " +
                     std::to_string(limit) + " values");
    }
    state.i1 = static_cast<std::int32_t>(first);
    double* row = state.core + first;
    for (std::size_t c = 0; c < width; ++c) row[c] = state.x[c];
  }
  state.icol -= 1;
}

void loadcore(RunState& state) {
  const std::string name(TrimTrailingBlanks(state.fname1));
  const LoadLimits limits;
  {
    auto file = OpenDataFile(name);
    RecordReader reader(*file);
    FindRecordLength(state, reader, name, limits);
  }
  auto file = OpenDataFile(name);
  RecordReader reader(*file);
  LoadRecords(state, reader, name, limits);
}

}  // namespace unf2mat
