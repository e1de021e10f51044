#include "io/spooled_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/retry.h"
#include "io/scratch_file.h"

namespace unf2mat {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

}  // namespace

SpooledInput::SpooledInput(std::unique_ptr<InputFile> stream,
                           std::size_t memory_budget,
                           std::vector<std::string> dirs)
    : stream_(std::move(stream)),
      budget_(memory_budget),
      dirs_(std::move(dirs)) {}

SpooledInput::~SpooledInput() {
  if (fd_ >= 0) ::close(fd_);
}

int SpooledInput::MoveToFile() {
  if (int error = CreateScratchFile(dirs_, &fd_, &dir_); error != 0) {
    fd_ = -1;
    return error;
  }
  const int error =
      PosixOutputFile(fd_).WriteAt(0, memory_.data(), memory_.size());
  memory_ = {};
  return error;
}

int SpooledInput::Append(const char* data, std::size_t n) {
  if (fd_ < 0 && kept_ + n <= budget_) {
    memory_.reserve(budget_);
    memory_.insert(memory_.end(), data, data + n);
  } else {
    if (fd_ < 0) {
      if (int error = MoveToFile(); error != 0) return error;
    }
    if (int error = PosixOutputFile(fd_).WriteAt(kept_, data, n); error != 0) {
      return error;
    }
  }
  kept_ += n;
  return 0;
}

int SpooledInput::KeepTo(std::uint64_t end) {
  if (keep_error_ != 0) return keep_error_;
  if (read_error_ != 0) return read_error_;
  while (kept_ < end && !ended_) {
    chunk_.resize(kChunk);
    const IoResult got = stream_->Read(chunk_.data(), chunk_.size());
    if (got.bytes > 0) {
      if (int error = Append(chunk_.data(), got.bytes); error != 0) {
        return keep_error_ = error;
      }
    }
    if (got.error != 0) return read_error_ = got.error;
    ended_ = got.bytes == 0;
  }
  return 0;
}

IoResult SpooledInput::ReadAt(std::uint64_t offset, char* dst, std::size_t n) {
  const std::uint64_t end = offset > UINT64_MAX - n ? UINT64_MAX : offset + n;
  // What is kept is read without a change here: threads may share it.
  if (end > kept_) {
    if (int error = KeepTo(end); error != 0) return {0, error};
  }
  if (offset >= kept_) return {0, 0};
  const std::size_t take =
      static_cast<std::size_t>(std::min<std::uint64_t>(n, kept_ - offset));
  if (fd_ < 0) {
    std::memcpy(dst, memory_.data() + offset, take);
    return {take, 0};
  }
  return PosixInputFile(fd_).ReadAt(offset, dst, take);
}

std::optional<std::uint64_t> SpooledInput::Size() const {
  if (!ended_) return std::nullopt;
  return kept_;
}

IoResult SpooledInput::Read(char* dst, std::size_t n) {
  const IoResult got = ReadAt(position_, dst, n);
  position_ += got.bytes;
  return got;
}

int SpooledInput::Skip(std::uint64_t n) {
  position_ += n;
  return 0;
}

}  // namespace unf2mat
