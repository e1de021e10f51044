// Reading a file front to back through one buffer, with look-ahead.
#ifndef UNF2MAT_IO_BUFFERED_INPUT_H_
#define UNF2MAT_IO_BUFFERED_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "io/file.h"
#include "io/offset_window.h"

namespace unf2mat {

// Reads a file through one buffer, the reading twin of BufferedWriter. What
// lies in the buffer can be taken without a call each; bytes further ahead can
// be looked at without moving, by positional reads where the file allows them
// and else by growing the buffer. The first failure sticks: see error().
class BufferedInput {
 public:
  static constexpr std::size_t kDefaultBufferSize = std::size_t{1} << 20;

  explicit BufferedInput(InputFile& file,
                         std::size_t buffer_size = kDefaultBufferSize);

  // The bytes buffered after the current position.
  const char* data() const { return buffer_.data() + pos_; }
  std::size_t available() const { return len_ - pos_; }
  std::size_t capacity() const { return buffer_.size(); }
  void Consume(std::size_t n) { pos_ += n; }

  // Makes at least n bytes available, fewer only at the end or on failure,
  // growing the buffer where it is smaller. Returns available().
  std::size_t Fill(std::size_t n);
  // Reads up to n bytes into dst, fewer only at the end or on failure.
  std::size_t Read(char* dst, std::size_t n);
  // Moves n bytes forward; false on failure. Past the end it stops there.
  bool Skip(std::uint64_t n);

  enum class Peek { kOk, kEnd, kBeyondReach, kFailed };
  // Copies the n bytes that start `ahead` bytes after the current position,
  // without moving. kEnd when the file ends before them; kBeyondReach when
  // they lie more than `reach` bytes ahead in a file of unknown size (a pipe,
  // where that is as much as may be buffered, or a device).
  Peek PeekAt(std::uint64_t ahead, char* dst, std::size_t n,
              std::uint64_t reach);

  // The offset in the file of the next byte to read.
  std::uint64_t position() const { return file_pos_ - (len_ - pos_); }
  // What is left of the file after position(); empty where the size is not
  // known (a pipe).
  std::optional<std::uint64_t> BytesLeft() const;
  int error() const { return error_; }

 private:
  // Moves what is left to the front and reads more after it.
  void Refill(std::size_t want);

  static constexpr std::size_t kWindowSize = std::size_t{1} << 16;

  InputFile& file_;
  std::vector<char> buffer_;
  std::optional<std::uint64_t> size_;  // of the whole file, where known
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::uint64_t file_pos_ = 0;  // where the file's own reads have got to
  bool at_end_ = false;         // the file's end is in the buffer
  // Bytes beyond the buffer, read at an offset, until the file says it
  // cannot be read so (ESPIPE).
  OffsetWindow window_;
  int error_ = 0;
};

}  // namespace unf2mat

#endif  // UNF2MAT_IO_BUFFERED_INPUT_H_
