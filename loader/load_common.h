// What both ways of loading share: opening the data file, and their messages.
#ifndef UNF2MAT_LOADER_LOAD_COMMON_H_
#define UNF2MAT_LOADER_LOAD_COMMON_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "converter/run_state.h"
#include "io/file.h"
#include "recordio/record_reader.h"

namespace unf2mat {

// Whether a whole record was read; a failed read ends the run.
bool Whole(ReadStatus status, const RecordReader& reader,
           std::string_view name);

// The refusals name the limit; `hint` follows it, such as how to lift it.
[[noreturn]] void RefuseLargeMatrix(std::string_view name, std::uint64_t limit,
                                    std::string_view hint = "");
[[noreturn]] void RefuseLongFirstRecord(std::string_view name,
                                        std::uint64_t values,
                                        std::uint64_t limit,
                                        std::string_view hint = "");

// Records of no values cost nothing to store, but an endless source of them
// (a device of zero bytes, a pipe) must end soon: as many as core may hold
// values.
inline constexpr std::uint64_t kMaxEmptyRecords = kCoreCapacity;
[[noreturn]] void RefuseEmptyRecords(std::string_view name);

// A framing taken without proof is said once, with what was taken; empty
// when it was proved.
std::string FramingWarning(const FramingChoice& choice, std::string_view name);

// The warnings of a load that ended: how the framing was taken, and where and
// why loading stopped before the end.
void WarnAboutLoad(OutputFile& err, const FramingChoice& choice,
                   const RunState& state, std::string_view name);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LOAD_COMMON_H_
