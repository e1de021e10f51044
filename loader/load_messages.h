// What loading says: where and why it stopped, how the framing was taken.
#ifndef UNF2MAT_LOADER_LOAD_MESSAGES_H_
#define UNF2MAT_LOADER_LOAD_MESSAGES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "io/file.h"
#include "loader/load_rules.h"
#include "recordio/record_reader.h"

namespace unf2mat {

// Which record stopped the load and why: "record 8, which holds 2 values,
// fewer than the first record's 7"; empty for a load that read to the end.
// `width` is the first record's number of values.
std::string StopReason(const LoadEnd& end, std::uint64_t width);

// The warning for a load that stopped before the end of the data file;
// empty for one that read it to its end.
std::string StopWarning(const LoadEnd& end, std::string_view name,
                        std::uint64_t width);

// A framing taken without proof is said once, with what was taken; empty
// when it was proved.
std::string FramingWarning(const FramingChoice& choice, std::string_view name);

// The warnings of a load that ended: how the framing was taken, and where and
// why loading stopped before the end. Said only of a file that loads: a
// refusal is the whole story.
void WarnAboutLoad(OutputFile& warnings, const FramingChoice& choice,
                   const LoadEnd& end, std::uint64_t width,
                   std::string_view name);

// The error for an int8 value that a double does not hold exactly: record
// `record` of data file `name`, in `field` where the record has fields.
std::string InexactValueMessage(std::uint64_t record, std::string_view name,
                                std::string_view field, std::int64_t value);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOAD_MESSAGES_H_
