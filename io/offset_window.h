// Bytes of a file read at an offset through one window of them, without
// moving the file's own position: how the record walk looks ahead and how
// record markers are found where they lie.
#ifndef UNF2MAT_IO_OFFSET_WINDOW_H_
#define UNF2MAT_IO_OFFSET_WINDOW_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "io/file.h"

namespace unf2mat {

class OffsetWindow {
 public:
  // `size`, where known, keeps every read within the file.
  OffsetWindow(InputFile& file, std::size_t capacity,
               std::optional<std::uint64_t> size = std::nullopt);

  // The n bytes at `offset` (n at most capacity()), reading `read_ahead`
  // bytes or more there where they are not held; nullptr where the file ends
  // before them or a read fails. The first failure sticks (see error());
  // ESPIPE says the file cannot be read at an offset at all.
  const char* At(std::uint64_t offset, std::size_t n, std::size_t read_ahead);

  std::size_t capacity() const { return capacity_; }
  // The offset just past what the window holds.
  std::uint64_t end() const { return start_ + len_; }
  int error() const { return error_; }

 private:
  InputFile& file_;
  std::optional<std::uint64_t> size_;
  std::size_t capacity_;
  std::vector<char> buffer_;  // allocated at the first read
  std::uint64_t start_ = 0;
  std::size_t len_ = 0;
  int error_ = 0;
};

}  // namespace unf2mat

#endif  // UNF2MAT_IO_OFFSET_WINDOW_H_
