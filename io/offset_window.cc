#include "io/offset_window.h"

#include <algorithm>

namespace unf2mat {

OffsetWindow::OffsetWindow(InputFile& file, std::size_t capacity,
                           std::optional<std::uint64_t> size)
    : file_(file),
      size_(size),
      capacity_(std::max<std::size_t>(capacity, 16)) {}

const char* OffsetWindow::At(std::uint64_t offset, std::size_t n,
                             std::size_t read_ahead) {
  if (offset >= start_ && offset - start_ <= len_ &&
      len_ - (offset - start_) >= n) {
    return buffer_.data() + (offset - start_);
  }
  if (error_ != 0 || n > capacity_) return nullptr;
  std::uint64_t want = std::clamp(read_ahead, n, capacity_);
  if (size_) {
    if (offset > *size_ || *size_ - offset < n) return nullptr;
    want = std::min(want, *size_ - offset);
  }
  buffer_.resize(capacity_);
  start_ = offset;
  len_ = 0;
  while (len_ < want) {
    const IoResult got =
        file_.ReadAt(offset + len_, buffer_.data() + len_, want - len_);
    if (got.error != 0) {
      error_ = got.error;
      return nullptr;
    }
    if (got.bytes == 0) break;  // the end, or a file shorter than it was
    len_ += got.bytes;
  }
  return len_ >= n ? buffer_.data() : nullptr;
}

}  // namespace unf2mat
