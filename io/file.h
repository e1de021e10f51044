// The thin layer that all file and console I/O goes through, so that tests can
// drive every reader and writer with fakes that fail as these files do.
#ifndef UNF2MAT_IO_FILE_H_
#define UNF2MAT_IO_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace unf2mat {

struct IoResult {
  std::size_t bytes = 0;
  int error = 0;  // an errno value; 0 when the read worked
};

class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to n bytes; returns fewer when fewer are ready, 0 only at the end.
  virtual IoResult Read(char* dst, std::size_t n) = 0;
  // Moves n bytes forward; past the end is allowed, reads there find the end.
  // Returns 0 or an errno value: EINVAL where the position would pass the
  // largest offset the file may have.
  virtual int Skip(std::uint64_t n);
  // Reads up to n bytes from `offset` bytes after the start, without moving;
  // fewer only at the end. ESPIPE from a file that cannot do this (a pipe).
  virtual IoResult ReadAt(std::uint64_t offset, char* dst, std::size_t n);
  // The size in bytes, where the file knows it (a regular file or a block
  // device, not a pipe).
  virtual std::optional<std::uint64_t> Size() const { return std::nullopt; }
  // A descriptor whose bytes may be mapped into memory (a regular file's),
  // else -1.
  virtual int MappableFd() const { return -1; }
};

class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes all n bytes or fails; returns 0 or an errno value.
  virtual int Write(const char* data, std::size_t n) = 0;
  // Writes all n bytes at `offset` from the start, without moving; ESPIPE
  // from a file that cannot do this.
  virtual int WriteAt(std::uint64_t offset, const char* data, std::size_t n);
  // Puts the bytes written so far on stable storage; returns 0 or an errno
  // value. A file with nothing to make durable (memory, a pipe) returns 0.
  virtual int Sync() { return 0; }
  // Starts writing [offset, offset + n) to stable storage without waiting
  // for it (n of 0: to the end), so that the disk works while the caller
  // does; only advice, whose failures Sync() reports.
  virtual void StartWriteback(std::uint64_t offset, std::uint64_t n) {
    (void)offset;
    (void)n;
  }
};

class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(int fd, bool owned = false)
      : fd_(fd), owned_(owned) {}
  ~PosixInputFile() override;
  PosixInputFile(const PosixInputFile&) = delete;
  PosixInputFile& operator=(const PosixInputFile&) = delete;

  // Opens an existing regular file (or device or pipe) for reading; refuses a
  // directory and a name that holds a NUL byte. Returns 0 or an errno value.
  static int Open(std::string_view path, std::unique_ptr<PosixInputFile>* file);

  IoResult Read(char* dst, std::size_t n) override;
  int Skip(std::uint64_t n) override;
  IoResult ReadAt(std::uint64_t offset, char* dst, std::size_t n) override;
  std::optional<std::uint64_t> Size() const override;
  int MappableFd() const override;

 private:
  int fd_;
  bool owned_;
};

class PosixOutputFile final : public OutputFile {
 public:
  explicit PosixOutputFile(int fd) : fd_(fd) {}
  int Write(const char* data, std::size_t n) override;
  int WriteAt(std::uint64_t offset, const char* data, std::size_t n) override;
  int Sync() override;
  void StartWriteback(std::uint64_t offset, std::uint64_t n) override;

 private:
  int fd_;
};

// Writes one output line in the manner of list-directed output: a blank, the
// text, a newline. Returns 0 or an errno value.
int WriteLine(OutputFile& out, std::string_view text);

}  // namespace unf2mat

#endif  // UNF2MAT_IO_FILE_H_
