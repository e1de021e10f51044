#ifndef UNF2MAT_RECORDIO_RECORD_READER_H_
#define UNF2MAT_RECORDIO_RECORD_READER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recordio/file.h"
#include "recordio/read_status.h"

namespace unf2mat {

// Reads the records of an unformatted sequential data file in order, through
// one buffer. A record whose framing is damaged (a count that runs past the
// end of the file, trailing and leading counts that differ, a file that ends
// inside a count) reads as kShort. Nothing is read beyond what the caller's
// array can take.
class RecordReader {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

  explicit RecordReader(InputFile& file,
                        std::size_t buffer_size = kDefaultBufferSize)
      : file_(file), buffer_(buffer_size == 0 ? 1 : buffer_size) {}

  // Takes the next record's first `count` values into values[0, count) and
  // moves past the whole record. kShort when the record holds fewer.
  ReadStatus ReadValues(float* values, std::size_t count);

  // The same in two steps, for a caller that needs the byte count first:
  // BeginRecord reads the leading count, FinishRecord takes the first `count`
  // values (count * 4 <= bytes) and moves past the record.
  ReadStatus BeginRecord(std::uint32_t* bytes);
  ReadStatus FinishRecord(float* values, std::size_t count,
                          std::uint32_t bytes);

  int error() const { return error_; }

 private:
  ReadStatus ReadTrailingMarker(std::uint32_t leading);
  // Reads up to n bytes, fewer only at the end or on failure (error_ set).
  std::size_t ReadUpTo(char* dst, std::size_t n);
  bool Skip(std::uint64_t n);

  InputFile& file_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  int error_ = 0;
};

}  // namespace unf2mat

#endif  // UNF2MAT_RECORDIO_RECORD_READER_H_
