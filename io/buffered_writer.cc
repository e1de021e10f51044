#include "io/buffered_writer.h"

#include <algorithm>
#include <cstring>

namespace unf2mat {

void BufferedWriter::Append(const char* data, std::size_t n) {
  position_ += n;
  while (n > 0 && error_ == 0) {
    if (used_ == capacity_) Flush();
    std::size_t take = std::min(n, capacity_ - used_);
    std::memcpy(buffer_.get() + used_, data, take);
    used_ += take;
    data += take;
    n -= take;
  }
}

int BufferedWriter::WriteAt(std::uint64_t offset, const char* data,
                            std::size_t n) {
  if (Flush() == 0) error_ = file_.WriteAt(offset, data, n);
  return error_;
}

void BufferedWriter::MoveTo(std::uint64_t offset) {
  Flush();
  position_ = offset;
  buffered_at_ = offset;
  moved_ = true;
}

int BufferedWriter::Flush() {
  if (error_ == 0 && used_ > 0) {
    error_ = moved_ ? file_.WriteAt(buffered_at_, buffer_.get(), used_)
                    : file_.Write(buffer_.get(), used_);
  }
  buffered_at_ += used_;
  used_ = 0;
  return error_;
}

}  // namespace unf2mat
