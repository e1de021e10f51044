// Writing a file through one buffer, the first failure kept.
#ifndef UNF2MAT_IO_BUFFERED_WRITER_H_
#define UNF2MAT_IO_BUFFERED_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "io/file.h"

namespace unf2mat {

// Collects output in one buffer. The first failure sticks: later appends do
// nothing, and Flush reports it.
class BufferedWriter {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

  explicit BufferedWriter(OutputFile& file,
                          std::size_t buffer_size = kDefaultBufferSize)
      : file_(file),
        capacity_(buffer_size == 0 ? 1 : buffer_size),
        // Not zeroed: fresh pages cost a fault each, and only those written
        // are taken.
        buffer_(new char[capacity_]) {}

  void Append(const char* data, std::size_t n);
  // Writes n bytes at `offset` from the start of the file, straight from
  // `data`, after what is buffered; for output written out of order.
  // Returns the first error so far.
  int WriteAt(std::uint64_t offset, const char* data, std::size_t n);
  // Starts the writing of [offset, offset + n) to stable storage.
  void StartWriteback(std::uint64_t offset, std::uint64_t n) {
    if (error_ == 0) file_.StartWriteback(offset, n);
  }
  // Moves on to `offset`, past what WriteAt wrote: later appends go there.
  void MoveTo(std::uint64_t offset);
  // Writes what is buffered; returns the first error (an errno value) or 0.
  int Flush();
  // Bytes appended so far.
  std::uint64_t position() const { return position_; }

 private:
  OutputFile& file_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t buffered_at_ = 0;  // where the buffer's first byte goes
  // Once moved, what is buffered is written at its offset, not after the
  // last sequential write.
  bool moved_ = false;
  int error_ = 0;
};

}  // namespace unf2mat

#endif  // UNF2MAT_IO_BUFFERED_WRITER_H_
