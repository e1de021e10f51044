// --describe: what a conversion of a data file would see, converting nothing.
#ifndef UNF2MAT_CONVERTER_DESCRIBE_H_
#define UNF2MAT_CONVERTER_DESCRIBE_H_

#include <cstdint>
#include <string>

#include "common/value_type.h"
#include "io/file.h"

namespace unf2mat {

// Prints on `out` what a conversion of the data file `file`, named `name`,
// with values of `type`, to a variable name of `name_length` bytes, would
// see, in the format --help and the README give; converts nothing. A file
// that cannot be read ends it with a RunError.
void DescribeFile(InputFile& file, const std::string& name, ValueType type,
                  std::uint64_t name_length, OutputFile& out);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_DESCRIBE_H_
