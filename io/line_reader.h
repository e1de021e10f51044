// Text lines of the control input.
#ifndef UNF2MAT_IO_LINE_READER_H_
#define UNF2MAT_IO_LINE_READER_H_

#include <cstddef>
#include <string>

#include "io/buffered_input.h"
#include "io/file.h"
#include "io/read_status.h"

namespace unf2mat {

// Reads text lines, each consumed whole whatever part of it is used. A last
// line without a newline still counts as a line.
class LineReader {
 public:
  explicit LineReader(InputFile& in) : in_(in, kBufferSize) {}

  // Puts the first `width` characters of the next line into *line and skips
  // the rest of it. Returns kOk, kEnd or kFailed.
  ReadStatus ReadLine(std::size_t width, std::string* line);
  ReadStatus SkipLine();

  int error() const { return in_.error(); }

 private:
  static constexpr std::size_t kBufferSize = 4096;

  BufferedInput in_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_IO_LINE_READER_H_
