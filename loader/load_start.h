// How every load begins: the data file opened, a stream kept as it is read
// so that it can be walked like a file, its framing decided, and the walk of
// its records by the layout.
#ifndef UNF2MAT_LOADER_LOAD_START_H_
#define UNF2MAT_LOADER_LOAD_START_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io/file.h"
#include "loader/foresight.h"
#include "loader/layout.h"
#include "loader/layout_walk.h"
#include "loader/load_rules.h"
#include "recordio/record_reader.h"

namespace unf2mat {

// Opens a data file for reading; a failure ends the run with the reason.
std::unique_ptr<PosixInputFile> OpenDataFile(std::string_view name);

// Ends the run for a read of data file `name` that the system refused.
[[noreturn]] void ThrowReadFailure(std::string_view name, int error);

// A data file walked by a layout.
struct PlacedFile {
  // The file, or the copy of a stream kept as it was read.
  std::shared_ptr<InputFile> file;
  std::uint64_t size = 0;  // of the file, or of what was kept of a stream
  bool stream = false;
  FramingChoice choice;
  WalkResult walk;
  // The check of the records the walk took unread that their readers make
  // (Foresight::Check).
  std::shared_ptr<MarkerCheck> markers;
};

// Walks the data file `file`, named `name`, by `layout`, each variable
// within its `limits`; a stream is kept as it is read, past 16 MiB in a
// temporary file in the first of `spool_dirs` that takes one. `sink` is told
// of each record and read. A refusal, a failed read or a file that does not
// hold what the layout reads ends the run with a RunError (in `describe`,
// only a failed read does). Given `foresight`, a file that can be read
// again takes runs of records alike to its end as its size foretells, for
// `foresight` to check (the walk of such a file ends with Unforeseen, not a
// RunError).
PlacedFile PlaceDataFile(std::unique_ptr<InputFile> file, std::string_view name,
                         const Layout& layout, std::vector<LoadLimits> limits,
                         const std::vector<std::string>& spool_dirs,
                         WalkSink* sink = nullptr, bool describe = false,
                         Foresight* foresight = nullptr);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOAD_START_H_
