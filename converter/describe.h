// A description of a data file: what a conversion of it would see,
// converting nothing.
#ifndef UNF2MAT_CONVERTER_DESCRIBE_H_
#define UNF2MAT_CONVERTER_DESCRIBE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/file.h"
#include "loader/variables.h"

namespace unf2mat {

// Prints on `out` what a conversion of the data file `file` of `input`, read
// as `request` asks, would see, in the format the help and the man page give;
// converts nothing. A stream is kept as it is read, in the first of
// `spool_dirs` that takes it. A file that cannot be read ends it with a
// RunError.
void DescribeFile(std::unique_ptr<InputFile> file, const DataInput& input,
                  const LoadRequest& request,
                  const std::vector<std::string>& spool_dirs, OutputFile& out);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_DESCRIBE_H_
