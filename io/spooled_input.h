// A stream that can be read only once (a pipe, a character device), kept as
// it is read, so that it can be read again at any offset like a file: in
// memory up to a budget, past it in an unnamed temporary file.
#ifndef UNF2MAT_IO_SPOOLED_INPUT_H_
#define UNF2MAT_IO_SPOOLED_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/file.h"

namespace unf2mat {

class SpooledInput final : public InputFile {
 public:
  // The temporary file goes into the first of `dirs` where one can be made.
  SpooledInput(std::unique_ptr<InputFile> stream, std::size_t memory_budget,
               std::vector<std::string> dirs);
  ~SpooledInput() override;  // the temporary file goes with it
  SpooledInput(const SpooledInput&) = delete;
  SpooledInput& operator=(const SpooledInput&) = delete;

  // Reads the stream on as far as a read needs. Reads of what is kept change
  // nothing, so that threads may make them at once.
  IoResult Read(char* dst, std::size_t n) override;
  int Skip(std::uint64_t n) override;
  IoResult ReadAt(std::uint64_t offset, char* dst, std::size_t n) override;
  // Known once the stream has ended.
  std::optional<std::uint64_t> Size() const override;

  // Reads the stream on until `bytes` are kept or it ends; 0 or an errno
  // value.
  int KeepTo(std::uint64_t bytes);

  // The bytes kept so far.
  std::uint64_t kept() const { return kept_; }
  // Where keeping failed (a full disk, no directory for the temporary file):
  // the errno value, 0 if it did not; and the directory it was kept in, or
  // the last one tried.
  int keep_error() const { return keep_error_; }
  const std::string& keep_dir() const { return dir_; }

 private:
  // Moves what memory holds into a new temporary file.
  int MoveToFile();
  int Append(const char* data, std::size_t n);

  std::unique_ptr<InputFile> stream_;
  std::size_t budget_;
  std::vector<std::string> dirs_;
  std::string dir_;
  std::vector<char> chunk_;   // read from the stream
  std::vector<char> memory_;  // every byte while within the budget
  int fd_ = -1;               // every byte, once past it
  std::uint64_t kept_ = 0;
  std::uint64_t position_ = 0;
  bool ended_ = false;
  int keep_error_ = 0;
  int read_error_ = 0;
};

}  // namespace unf2mat

#endif  // UNF2MAT_IO_SPOOLED_INPUT_H_
