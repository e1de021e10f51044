// What --describe proposes for a data file that plain rows of real4 do not
// read well: a shipped layout that reads it whole; plain rows of another
// type; or a layout inferred from the survey of its records (a run of
// records that repeats is a group; short records before it a header; header
// integers whose values or products are the sizes of later records are
// their dimensions; printable bytes are characters; the values' bits give
// their type). Each is proposed only where a walk by it reads the whole file
// to its last byte: no stop, no record longer than it reads, none after.
#ifndef UNF2MAT_LOADER_LAYOUT_GUESS_H_
#define UNF2MAT_LOADER_LAYOUT_GUESS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loader/survey.h"

namespace unf2mat {

// The options that convert the data file `name`, which `survey` walked as
// plain rows of real4 (the rows variable `rows` of its layout), into the
// arrays it holds: "--layout fds-slice", "--type real8", or "--layout
// 'record n: int4; repeat { record a: real4(n) }'", with "--format v7.3"
// before it where a Level 5 file cannot hold them. Empty where nothing reads
// it better than plain rows of real4, or the file cannot be walked again
// (what is kept of a stream, in the first of `spool_dirs` that takes it).
std::string GuessOptions(const Survey& survey, std::uint32_t rows,
                         std::string_view name,
                         const std::vector<std::string>& spool_dirs);

// The layout inferred from the records `survey` saw, as its text: a
// statement per record, split by "; ". None where the records' lengths
// show no header and group, or where the values read as REAL*4 of the
// other byte order. Not checked against the file.
std::optional<std::string> InferLayout(const Survey& survey);

// `text` as one word of a POSIX shell: as it is where it holds only
// characters no shell takes specially, else in single quotes.
std::string ShellWord(std::string_view text);

}  // namespace unf2mat

#endif  // UNF2MAT_LOADER_LAYOUT_GUESS_H_
