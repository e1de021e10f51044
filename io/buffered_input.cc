#include "io/buffered_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace unf2mat {

BufferedInput::BufferedInput(InputFile& file, std::size_t buffer_size)
    : file_(file),
      buffer_(std::max<std::size_t>(buffer_size, 8)),
      size_(file.Size()),
      window_(file, kWindowSize, size_) {}

void BufferedInput::Refill(std::size_t want) {
  if (error_ != 0 || at_end_) return;
  if (pos_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + pos_, len_ - pos_);
    len_ -= pos_;
    pos_ = 0;
  }
  // Grown for looking ahead in a pipe; doubling keeps that linear.
  if (want > buffer_.size()) {
    buffer_.resize(std::max(want, 2 * buffer_.size()));
  }
  while (len_ < want) {
    IoResult r = file_.Read(buffer_.data() + len_, buffer_.size() - len_);
    len_ += r.bytes;
    file_pos_ += r.bytes;
    if (r.error != 0) {
      error_ = r.error;
      return;
    }
    if (r.bytes == 0) {
      at_end_ = true;
      return;
    }
  }
}

std::size_t BufferedInput::Fill(std::size_t n) {
  if (available() < n) Refill(n);
  return available();
}

std::size_t BufferedInput::Read(char* dst, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    if (available() == 0) {
      if (error_ != 0 || at_end_) break;
      if (n - done < buffer_.size()) {
        Refill(1);
        continue;
      }
      // Large reads go straight to the caller's array.
      IoResult r = file_.Read(dst + done, n - done);
      file_pos_ += r.bytes;
      done += r.bytes;
      if (r.error != 0) error_ = r.error;
      if (r.bytes == 0 && r.error == 0) at_end_ = true;
      continue;
    }
    const std::size_t take = std::min(n - done, available());
    std::memcpy(dst + done, data(), take);
    pos_ += take;
    done += take;
  }
  return done;
}

bool BufferedInput::Skip(std::uint64_t n) {
  const std::size_t buffered =
      static_cast<std::size_t>(std::min<std::uint64_t>(n, available()));
  pos_ += buffered;
  n -= buffered;
  if (n == 0 || at_end_) return error_ == 0;
  if (error_ != 0) return false;
  if (size_) {
    // Seeking never goes past the end, where a file system may refuse it.
    n = std::min(n, *size_ > file_pos_ ? *size_ - file_pos_ : 0);
    if (int error = file_.Skip(n); error != 0) {
      error_ = error;
      return false;
    }
    file_pos_ += n;
    return true;
  }
  // A pipe: read through the buffer, so that position() stays true.
  while (n > 0 && Fill(1) > 0) {
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(n, available()));
    pos_ += take;
    n -= take;
  }
  return error_ == 0;
}

BufferedInput::Peek BufferedInput::PeekAt(std::uint64_t ahead, char* dst,
                                          std::size_t n, std::uint64_t reach) {
  if (ahead <= available() && n <= available() - ahead) {
    std::memcpy(dst, data() + ahead, n);
    return Peek::kOk;
  }
  if (error_ != 0) return Peek::kFailed;
  if (at_end_) return Peek::kEnd;
  const bool within_reach = ahead <= reach && n <= reach - ahead;
  // A stream of unknown size (a device) may never end: look no further.
  if (!size_ && !within_reach) return Peek::kBeyondReach;
  const std::uint64_t offset = position() + ahead;
  if (window_.error() != ESPIPE) {
    if (const char* src = window_.At(offset, n, kWindowSize)) {
      std::memcpy(dst, src, n);
      return Peek::kOk;
    }
    if (window_.error() == 0) return Peek::kEnd;
    if (window_.error() != ESPIPE) {
      error_ = window_.error();
      return Peek::kFailed;
    }
  }
  if (!within_reach) return Peek::kBeyondReach;
  const std::size_t want = static_cast<std::size_t>(ahead) + n;
  if (Fill(want) < want) return error_ != 0 ? Peek::kFailed : Peek::kEnd;
  std::memcpy(dst, data() + ahead, n);
  return Peek::kOk;
}

std::optional<std::uint64_t> BufferedInput::BytesLeft() const {
  if (!size_ || *size_ < position()) return std::nullopt;
  return *size_ - position();
}

}  // namespace unf2mat
