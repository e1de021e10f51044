#include "io/file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "io/retry.h"

namespace unf2mat {

int InputFile::Skip(std::uint64_t n) {
  char scratch[4096];
  while (n > 0) {
    IoResult r = Read(scratch, static_cast<std::size_t>(
                                   std::min<std::uint64_t>(n, sizeof scratch)));
    if (r.error != 0) return r.error;
    if (r.bytes == 0) return 0;
    n -= r.bytes;
  }
  return 0;
}

IoResult InputFile::ReadAt(std::uint64_t, char*, std::size_t) {
  return {0, ESPIPE};
}

PosixInputFile::~PosixInputFile() {
  if (owned_) ::close(fd_);
}

int PosixInputFile::Open(std::string_view path,
                         std::unique_ptr<PosixInputFile>* file) {
  if (path.find('\0') != std::string_view::npos) return EINVAL;
  std::string name(path);
  int fd =
      RetryOnEintr([&] { return ::open(name.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return errno;
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
  }
  if (error != 0) {
    ::close(fd);
    return error;
  }
  *file = std::make_unique<PosixInputFile>(fd, /*owned=*/true);
  return 0;
}

IoResult PosixInputFile::Read(char* dst, std::size_t n) {
  ssize_t got = RetryOnEintr([&] { return ::read(fd_, dst, n); });
  if (got < 0) return {0, errno};
  return {static_cast<std::size_t>(got), 0};
}

int PosixInputFile::Skip(std::uint64_t n) {
  // Seeking past the end is harmless: the next read then finds the end. A
  // move that off_t cannot hold is asked as none, to learn whether the file
  // seeks at all; each errno is read right after its own call.
  const bool fits = n <= static_cast<std::uint64_t>(INT64_MAX);
  if (::lseek(fd_, fits ? static_cast<off_t>(n) : 0, SEEK_CUR) >= 0) {
    return fits ? 0 : EINVAL;
  }
  if (errno == ESPIPE) return InputFile::Skip(n);
  return errno;
}

IoResult PosixInputFile::ReadAt(std::uint64_t offset, char* dst,
                                std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    if (offset + done > static_cast<std::uint64_t>(INT64_MAX)) break;
    ssize_t got = RetryOnEintr([&] {
      return ::pread(fd_, dst + done, n - done,
                     static_cast<off_t>(offset + done));
    });
    if (got < 0) return {done, errno};
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return {done, 0};
}

std::optional<std::uint64_t> PosixInputFile::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::nullopt;
  if (S_ISREG(st.st_mode)) return static_cast<std::uint64_t>(st.st_size);
  // A block device reports no size in st_size, but knows it.
  std::uint64_t bytes = 0;
  if (S_ISBLK(st.st_mode) && ::ioctl(fd_, BLKGETSIZE64, &bytes) == 0) {
    return bytes;
  }
  return std::nullopt;
}

int PosixInputFile::MappableFd() const {
  struct stat st;
  return ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) ? fd_ : -1;
}

int OutputFile::WriteAt(std::uint64_t, const char*, std::size_t) {
  return ESPIPE;
}

int PosixOutputFile::WriteAt(std::uint64_t offset, const char* data,
                             std::size_t n) {
  while (n > 0) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - n) return EFBIG;
    ssize_t put = RetryOnEintr(
        [&] { return ::pwrite(fd_, data, n, static_cast<off_t>(offset)); });
    if (put < 0) return errno;
    data += put;
    offset += static_cast<std::uint64_t>(put);
    n -= static_cast<std::size_t>(put);
  }
  return 0;
}

int PosixOutputFile::Sync() {
  // The data and the size, which is all a reader of the file needs.
  return RetryOnEintr([&] { return ::fdatasync(fd_); }) == 0 ? 0 : errno;
}

void PosixOutputFile::StartWriteback(std::uint64_t offset, std::uint64_t n) {
  (void)::sync_file_range(fd_, static_cast<off_t>(offset),
                          static_cast<off_t>(n), SYNC_FILE_RANGE_WRITE);
}

int PosixOutputFile::Write(const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t put = RetryOnEintr([&] { return ::write(fd_, data, n); });
    if (put < 0) return errno;
    data += put;
    n -= static_cast<std::size_t>(put);
  }
  return 0;
}

int WriteLine(OutputFile& out, std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line += ' ';
  line += text;
  line += '\n';
  return out.Write(line.data(), line.size());
}

}  // namespace unf2mat
