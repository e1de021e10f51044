// How every way of loading begins: the data file opened, its framing decided,
// and a first record that its markers show over the limit refused before any
// of it is read.
#ifndef UNF2MAT_LOADER_LOAD_START_H_
#define UNF2MAT_LOADER_LOAD_START_H_

#include <memory>
#include <string_view>

#include "io/file.h"
#include "loader/load_rules.h"
#include "recordio/record_reader.h"

namespace unf2mat {

// Opens a data file for reading; a failure ends the run with the reason.
std::unique_ptr<PosixInputFile> OpenDataFile(std::string_view name);

// Ends the run for a read of data file `name` that the system refused.
[[noreturn]] void ThrowReadFailure(std::string_view name, int error);

// Decides the framing of the file `reader` reads, records of `plan`, within
// the first-record limit of `rules`, and, where the first record is one of
// plain rows, puts its claimed length to them: kRefuse where it is over the
// limit. A failed read ends the run.
LoadRules::Verdict DecideFraming(RecordReader& reader, LoadRules& rules,
                                 const RecordPlan& plan, std::string_view name,
                                 FramingChoice* choice);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOAD_START_H_
