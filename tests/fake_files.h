// Input and output files held in memory, that trickle or fail, for driving the
// I/O layer. Each fails where the POSIX file it stands for fails, so that a
// reader passing here does not fail on a real file.
#ifndef UNF2MAT_TESTS_FAKE_FILES_H_
#define UNF2MAT_TESTS_FAKE_FILES_H_

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "io/file.h"

namespace unf2mat::test {

// The largest offset a file may have: ext4's, with 4 KiB blocks. lseek past
// it fails with EINVAL, a write that would pass it with EFBIG.
inline constexpr std::uint64_t kMaxOffset = (std::uint64_t{1} << 44) - 4096;

// A regular file. As with lseek, a skip may move past the end (reads there
// find the end), but not past kMaxOffset.
class MemoryInputFile final : public InputFile {
 public:
  explicit MemoryInputFile(std::string data) : data_(std::move(data)) {}

  IoResult Read(char* dst, std::size_t n) override {
    IoResult r = ReadAt(pos_, dst, n);
    pos_ += r.bytes;
    return r;
  }
  int Skip(std::uint64_t n) override {
    if (n > kMaxOffset || pos_ > kMaxOffset - n) return EINVAL;
    pos_ += n;
    return 0;
  }
  IoResult ReadAt(std::uint64_t offset, char* dst, std::size_t n) override {
    if (offset >= data_.size()) return {0, 0};
    std::size_t got = static_cast<std::size_t>(
        std::min<std::uint64_t>(n, data_.size() - offset));
    std::copy_n(data_.data() + offset, got, dst);
    return {got, 0};
  }
  std::optional<std::uint64_t> Size() const override { return data_.size(); }

 private:
  std::string data_;
  std::uint64_t pos_ = 0;
};

// A regular file written at its end or at an offset, up to kMaxOffset.
class StringOutputFile final : public OutputFile {
 public:
  int Write(const char* data, std::size_t n) override {
    return WriteAt(data_.size(), data, n);
  }
  int WriteAt(std::uint64_t offset, const char* data, std::size_t n) override {
    if (n > kMaxOffset || offset > kMaxOffset - n) return EFBIG;
    if (data_.size() < offset + n) data_.resize(offset + n);
    std::copy_n(data, n, data_.begin() + static_cast<std::ptrdiff_t>(offset));
    return 0;
  }
  const std::string& data() const { return data_; }

 private:
  std::string data_;
};

// Hands out at most `chunk` bytes per read, and fails with `error` once
// `fail_after` bytes have been read.
class ScriptedInputFile final : public InputFile {
 public:
  explicit ScriptedInputFile(
      std::string data,
      std::size_t chunk = std::numeric_limits<std::size_t>::max(),
      std::size_t fail_after = std::numeric_limits<std::size_t>::max(),
      int error = EIO)
      : data_(std::move(data)),
        chunk_(chunk),
        fail_after_(fail_after),
        error_(error) {}

  IoResult Read(char* dst, std::size_t n) override {
    if (pos_ >= fail_after_) return {0, error_};
    std::size_t got =
        std::min({n, chunk_, data_.size() - pos_, fail_after_ - pos_});
    std::copy_n(data_.data() + pos_, got, dst);
    pos_ += got;
    return {got, 0};
  }

 private:
  std::string data_;
  std::size_t chunk_;
  std::size_t fail_after_;
  int error_;
  std::size_t pos_ = 0;
};

// Accepts `good_writes` writes, then fails every one with `error`.
class FailingOutputFile final : public OutputFile {
 public:
  explicit FailingOutputFile(int good_writes, int error = ENOSPC)
      : good_writes_(good_writes), error_(error) {}

  int Write(const char* data, std::size_t n) override {
    ++calls_;
    if (calls_ > good_writes_) return error_;
    data_.append(data, n);
    return 0;
  }
  int WriteAt(std::uint64_t offset, const char* data, std::size_t n) override {
    ++calls_;
    if (calls_ > good_writes_) return error_;
    if (data_.size() < offset + n) data_.resize(offset + n);
    data_.replace(offset, n, data, n);
    return 0;
  }
  int calls() const { return calls_; }
  const std::string& data() const { return data_; }

 private:
  int good_writes_;
  int error_;
  int calls_ = 0;
  std::string data_;
};

}  // namespace unf2mat::test

#endif  // UNF2MAT_TESTS_FAKE_FILES_H_
