// --describe: what a conversion of a data file would see, converting nothing.
#ifndef UNF2MAT_CONVERTER_DESCRIBE_H_
#define UNF2MAT_CONVERTER_DESCRIBE_H_

#include <cstdint>
#include <string>

#include "io/file.h"
#include "loader/variables.h"

namespace unf2mat {

// Prints on `out` what a conversion of the data file `file` of `input`, read
// as `request` asks, would see, in the format --help and the README give;
// converts nothing. A file that cannot be read ends it with a RunError.
void DescribeFile(InputFile& file, const DataInput& input,
                  const LoadRequest& request, OutputFile& out);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_DESCRIBE_H_
