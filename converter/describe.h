#ifndef UNF2MAT_CONVERTER_DESCRIBE_H_
#define UNF2MAT_CONVERTER_DESCRIBE_H_

#include <string>

#include "io/file.h"
#include "common/value_type.h"

namespace unf2mat {

// Prints on `out` what a conversion of the data file with values of `type`
// would see, in the format --help and the README give; converts nothing. A
// file that cannot be read ends it with a RunError.
void DescribeFile(const std::string& name, ValueType type, OutputFile& out);

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_DESCRIBE_H_
