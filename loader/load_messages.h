// What loading says: where and why it stopped, how the framing was taken.
#ifndef UNF2MAT_LOADER_LOAD_MESSAGES_H_
#define UNF2MAT_LOADER_LOAD_MESSAGES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "io/file.h"
#include "loader/layout_walk.h"
#include "loader/load_rules.h"
#include "recordio/record_reader.h"

namespace unf2mat {

// Which record stopped the load and why: "record 8, which holds 2 values,
// fewer than the first record's 7"; empty for a load that read to the end.
// `width` is the first record's number of values; `origin` names the
// layout whose lines are said.
std::string StopReason(const LoadEnd& end, std::uint64_t width,
                       std::string_view origin = "");

// The warning for a load that stopped before the end of the data file;
// empty for one that read it to its end.
std::string StopWarning(const LoadEnd& end, std::string_view name,
                        std::uint64_t width, std::string_view origin = "");

// The warning for records that held more than the layout reads of them.
std::string LongerWarning(const LongerRecords& longer, std::string_view name,
                          std::string_view origin);

// A framing taken without proof is said once, with what was taken; empty
// when it was proved.
std::string FramingWarning(const FramingChoice& choice, std::string_view name);

// The warnings of a load that ended: how the framing was taken, and where and
// why loading stopped before the end. Said only of a file that loads: a
// refusal is the whole story.
void WarnAboutLoad(OutputFile& warnings, const FramingChoice& choice,
                   const LoadEnd& end, std::uint64_t width,
                   std::string_view name, std::string_view origin = "");

// The error for an int8 value that a double does not hold exactly: record
// `record` of data file `name` (0: where the record at `offset` does), in
// `field` where the record has fields.
std::string InexactValueMessage(std::uint64_t record, std::string_view name,
                                std::string_view field, std::int64_t value,
                                std::uint64_t offset = 0);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOAD_MESSAGES_H_
