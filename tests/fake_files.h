// Input and output files that trickle or fail, for driving the I/O layer.
#ifndef UNF2MAT_TESTS_FAKE_FILES_H_
#define UNF2MAT_TESTS_FAKE_FILES_H_

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "recordio/file.h"

namespace unf2mat::test {

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
