#include "loader/scan_loader.h"

#include <algorithm>
#include <string>
#include <vector>

#include "loader/file_tiles.h"
#include "loader/load_common.h"
#include "loader/loader.h"
#include "loader/record_places.h"
#include "matfile/mat_format.h"
#include "recordio/record_scan.h"

namespace unf2mat {
namespace {

using record::Step;

void ThrowIfFailed(Step step, int error, std::string_view name) {
  if (step == Step::kFailed || error != 0) {
    throw RunError(FileError("cannot read data file", name, error));
  }
}

// Only the first `bytes` of a record's payload hold its row's values.
void KeepFirst(std::vector<PayloadPiece>* pieces, std::uint64_t bytes) {
  for (auto it = pieces->begin(); it != pieces->end(); ++it) {
    if (it->bytes >= bytes) {
      it->bytes = bytes;
      pieces->erase(it + (bytes > 0 ? 1 : 0), pieces->end());
      return;
    }
    bytes -= it->bytes;
  }
}

void Stop(RunState& state, LoadEnd::Reason reason, std::uint64_t offset,
          std::uint64_t values, std::uint64_t size) {
  state.end = {reason,        static_cast<std::uint64_t>(state.icol) + 1,
               values,        offset,
               size - offset, true};
}

// The framing, as loading decides it; refuses a first record that the
// markers already show to be over the limit.
FramingChoice DecideFraming(InputFile& file, std::string_view name,
                            std::uint64_t limit, std::size_t value_size) {
  RecordReader probe(file);
  FramingChoice choice;
  Whole(probe.DetectFraming(RecordBytesLimit(limit, value_size), &choice),
        probe, name);
  if (choice.first_record_bytes &&
      *choice.first_record_bytes / value_size > limit) {
    RefuseLongFirstRecord(name, *choice.first_record_bytes / value_size, limit);
  }
  return choice;
}

}  // namespace

bool LoadPlaces(RunState& state, std::unique_ptr<InputFile> file,
                std::uint64_t size, std::string_view name, OutputFile& err,
                std::size_t read_bytes) {
  const std::size_t value_size = ValueSize(state.type);
  const std::uint64_t limit =
      mat::MaxMatrixValues(static_cast<std::uint64_t>(state.n1));
  const FramingChoice choice = DecideFraming(*file, name, limit, value_size);
  const record::Framing& framing = choice.framing;

  state.irow = 0;
  state.icol = 0;
  state.end = {};
  RecordScanner scanner(*file, size, framing);
  RecordPlaces places;
  std::vector<PayloadPiece> pieces;
  std::uint64_t bytes = 0;
  Step step =
      scanner.Next(RecordBytesLimit(limit, value_size), &pieces, &bytes);
  ThrowIfFailed(step, scanner.error(), name);
  if (step == Step::kShort) Stop(state, LoadEnd::Reason::kDamaged, 0, 0, size);
  if (step == Step::kOk) {
    const std::uint64_t width = bytes / value_size;
    if (width > limit) RefuseLongFirstRecord(name, width, limit);
    const std::uint64_t row_bytes = width * value_size;
    KeepFirst(&pieces, row_bytes);
    places.Add(pieces);
    const std::uint64_t fit = width == 0 ? kMaxEmptyRecords : limit / width;
    for (;;) {
      // One record past what fits tells a whole one from the end.
      places.AddAlike(scanner.SkipAlike(fit + 1 - places.rows()),
                      scanner.alike_stride());
      ThrowIfFailed(Step::kOk, scanner.error(), name);
      if (places.rows() > fit) {
        if (width == 0) RefuseEmptyRecords(name);
        RefuseLargeMatrix(name, limit);
      }
      state.icol = static_cast<std::int32_t>(places.rows());
      const std::uint64_t at = scanner.offset();
      step = scanner.Next(row_bytes, &pieces, &bytes);
      ThrowIfFailed(step, scanner.error(), name);
      if (step == Step::kEnd) break;
      if (step == Step::kShort) {
        Stop(state, LoadEnd::Reason::kDamaged, at, 0, size);
        break;
      }
      if (bytes < row_bytes) {
        Stop(state, LoadEnd::Reason::kShortRecord, at, bytes / value_size,
             size);
        break;
      }
      places.Add(pieces);
    }
    state.irow = static_cast<std::int32_t>(width);
  }
  if (places.overflowed()) {
    // Not expected of a real file; within core's limits core can hold it.
    if (static_cast<std::uint64_t>(state.irow) <= kRecordCapacity &&
        std::uint64_t(state.irow) * std::uint64_t(state.icol) <=
            kCoreCapacity) {
      return false;
    }
    throw RunError("data file " + Quote(name) +
                   " has records of too many different lengths to convert "
                   "from their places in the file, and more than " +
                   std::to_string(kCoreCapacity) + " values to hold in memory");
  }
  WarnAboutLoad(err, choice, state, name);
  state.tiles = std::make_unique<FileTiles>(
      std::move(file), size, std::move(places), state.type, framing.swapped,
      std::string(name), read_bytes);
  return true;
}

}  // namespace unf2mat
