#include "loader/load_start.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/run_error.h"
#include "io/spooled_input.h"

namespace unf2mat {
namespace {

// A stream this long or shorter is kept in memory; a longer one, in a
// temporary file.
constexpr std::size_t kStreamMemoryBytes = std::size_t{16} << 20;

// A stream's failure: of its copy where that is what failed, else of the
// data file.
[[noreturn]] void ThrowStreamFailure(const SpooledInput& spool,
                                     std::string_view name, int error) {
  if (spool.keep_error() == 0) ThrowReadFailure(name, error);
  throw RunError("cannot keep data file " + Quote(name) +
                 ", read as a stream, in a temporary file in " +
                 Quote(spool.keep_dir()) + ": " +
                 std::strerror(spool.keep_error()));
}

// The framing, looked for as far as the longest first record that may be
// loaded: of plain rows, the limit of their values and a partial value; of
// a layout, any record a matrix held in memory might be.
FramingChoice DecideFraming(InputFile& file, std::string_view name,
                            const Layout& layout,
                            const std::vector<LoadLimits>& limits) {
  std::uint64_t first_limit = kRecordCapacity * 8 + 7;
  std::uint64_t lookahead = first_limit;
  if (layout.rows) {
    const std::uint64_t size = ValueSize(layout.variables[*layout.rows].type);
    const std::uint64_t values = limits[*layout.rows].record_values;
    first_limit = values * size + size - 1;
    lookahead = std::min(values, kRecordCapacity) * size + size - 1;
  }
  RecordReader probe(file, 4096);
  FramingChoice choice;
  if (probe.DetectFraming(first_limit, &choice, lookahead) ==
      ReadStatus::kFailed) {
    ThrowReadFailure(name, probe.error());
  }
  return choice;
}

}  // namespace

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

void ThrowReadFailure(std::string_view name, int error) {
  throw RunError(FileError("cannot read data file", name, error));
}

PlacedFile PlaceDataFile(std::unique_ptr<InputFile> file, std::string_view name,
                         const Layout& layout, std::vector<LoadLimits> limits,
                         const std::vector<std::string>& spool_dirs,
                         WalkSink* sink, bool describe, Foresight* foresight) {
  PlacedFile placed;
  std::optional<std::uint64_t> size = file->Size();
  // A file that says it is empty may not be (files of /proc and /sys, some
  // network and FUSE file systems): it is read as a stream, to its end.
  if (size == 0) size.reset();
  std::shared_ptr<SpooledInput> spool;
  if (size) {
    placed.file = std::move(file);
  } else {
    spool = std::make_shared<SpooledInput>(std::move(file), kStreamMemoryBytes,
                                           spool_dirs);
    placed.file = spool;
    placed.stream = true;
    // A stream that ends within memory is then a file of known size.
    if (int error = spool->KeepTo(kStreamMemoryBytes + 1); error != 0) {
      ThrowStreamFailure(*spool, name, error);
    }
    size = spool->Size();
  }
  try {
    placed.choice = DecideFraming(*placed.file, name, layout, limits);
    WalkSetup setup;
    setup.file = placed.file.get();
    setup.size = size;
    setup.framing = placed.choice.framing;
    setup.name = name;
    setup.limits = std::move(limits);
    if (layout.rows)
      setup.claimed_first_record = placed.choice.first_record_bytes;
    setup.describe = describe;
    // A regular file, which a conversion made again reads as it is.
    setup.foresee = foresight != nullptr && placed.file->MappableFd() >= 0;
    placed.walk = WalkLayout(layout, setup, sink);
    if (setup.foresee && placed.walk.foreseen) {
      placed.markers = foresight->Check(
          placed.file, *size, placed.choice.framing, *placed.walk.foreseen);
    }
  } catch (const RunError&) {
    if (spool && spool->keep_error() != 0) {
      ThrowStreamFailure(*spool, name, spool->keep_error());
    }
    throw;
  }
  // A stream kept as it is read holds at least what the walk looked at.
  placed.size = size.value_or(placed.walk.walked_to);
  if (spool) {
    // The warning for a stream says, as for any pipe, that the rest was not
    // read: what was kept of it is the converter's copy, not the data file.
    placed.walk.end.unread = 0;
    placed.walk.end.unread_known = false;
  }
  return placed;
}

}  // namespace unf2mat
