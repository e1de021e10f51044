// What --describe tells of a data file: every record walked by the layout a
// conversion would use, with what loading makes of it.
#ifndef UNF2MAT_LOADER_SURVEY_H_
#define UNF2MAT_LOADER_SURVEY_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/file.h"
#include "loader/layout.h"
#include "loader/load_start.h"

namespace unf2mat {

struct Survey {
  // A record length, how many records have it, and the first that does.
  struct Length {
    std::uint64_t bytes, records, first;
  };

  std::uint64_t records = 0;    // whole records, up to the end or the damage
  std::uint64_t split = 0;      // records in more than one subrecord
  std::vector<Length> lengths;  // the first kListedLengths distinct ones
  std::uint64_t other_records = 0;  // of lengths past those listed
  // The lengths of the first kSequenceRecords records, in order.
  std::vector<std::uint64_t> sequence;
  // The first kHeadBytes bytes of each of the first kHeadRecords records,
  // in the file's byte order.
  std::vector<std::string> heads;
  // Bytes of the file, where known: of a pipe, once read to its end.
  std::optional<std::uint64_t> size;
  // The walk: where loading would stop, what it would load, or why it
  // refuses the file.
  PlacedFile placed;

  static constexpr std::size_t kListedLengths = 32;
  static constexpr std::size_t kSequenceRecords = 4096;
  static constexpr std::size_t kHeadRecords = 64;
  static constexpr std::size_t kHeadBytes = 256;
};

// Walks `file`, named `name`, by `layout` within `limits`, as a conversion
// would, noting every record. A stream is kept as it is read in the first of
// `spool_dirs` that takes it. A failed read ends the run.
Survey SurveyFile(std::unique_ptr<InputFile> file, std::string_view name,
                  const Layout& layout, std::vector<LoadLimits> limits,
                  const std::vector<std::string>& spool_dirs);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_SURVEY_H_
