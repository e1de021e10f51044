#include "recordio/replacement_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace unf2mat {
namespace {

std::string TempPathFor(const std::string& path, unsigned suffix) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  char tail[16];
  std::snprintf(tail, sizeof tail, ".%08x.tmp", suffix);
  return dir + "." + base + tail;
}

}  // namespace

ReplacementFile::~ReplacementFile() { Discard(); }

int ReplacementFile::Create(std::string path) {
  Discard();
  if (path.find('\0') != std::string::npos) return EINVAL;
  path_ = std::move(path);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = TempPathFor(path_, random());
    // O_EXCL: never write into a file someone else made; mode 0666 lets the
    // umask decide, as for any new file.
    int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_path_ = std::move(temp);
      out_.emplace(fd_);
      return 0;
    }
    if (errno != EEXIST && errno != EINTR) return errno;
  }
  return EEXIST;
}

int ReplacementFile::Commit() {
  int fd = fd_;
  fd_ = -1;
  out_.reset();
  int error = ::close(fd) == 0 ? 0 : errno;
  if (error == 0 && ::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    Discard();
    return error;
  }
  temp_path_.clear();
  return 0;
}

void ReplacementFile::Discard() {
  out_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
}

}  // namespace unf2mat
