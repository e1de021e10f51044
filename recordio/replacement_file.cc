#include "recordio/replacement_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace unf2mat {
namespace {

void SplitPath(const std::string& path, std::string* dir, std::string* base) {
  std::size_t slash = path.rfind('/');
  *dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  *base = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TempPathFor(const std::string& path, unsigned suffix) {
  std::string dir, base;
  SplitPath(path, &dir, &base);
  char tail[16];
  std::snprintf(tail, sizeof tail, ".%08x.tmp", suffix);
  return dir + "." + base + tail;
}

// Errors by which a kernel or file system says it has no O_TMPFILE.
bool LacksUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

ReplacementFile::~ReplacementFile() { Discard(); }

int ReplacementFile::Create(std::string path) {
  Discard();
  if (path.find('\0') != std::string::npos) return EINVAL;
  path_ = std::move(path);
  // Found now rather than after all the writing.
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
  std::string dir, base;
  SplitPath(path_, &dir, &base);
  int error =
      allow_unnamed_ ? CreateUnnamed(dir.empty() ? "." : dir) : EOPNOTSUPP;
  if (error != 0 && LacksUnnamedFiles(error)) error = CreateNamed();
  if (error == 0) out_.emplace(fd_);
  return error;
}

int ReplacementFile::CreateUnnamed(const std::string& dir) {
#ifdef O_TMPFILE
  int fd;
  do {
    fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  fd_ = fd;
  unnamed_ = true;
  return 0;
#else
  (void)dir;
  return EOPNOTSUPP;
#endif
}

int ReplacementFile::CreateNamed() {
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
      return 0;
    }
    if (errno != EEXIST && errno != EINTR) return errno;
  }
  return EEXIST;
}

int ReplacementFile::LinkUnnamed() {
  const std::string proc_path = "/proc/self/fd/" + std::to_string(fd_);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = TempPathFor(path_, random());
    int result = ::linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, temp.c_str(),
                          AT_SYMLINK_FOLLOW);
    // Without /proc, a privileged process can still link by descriptor.
    if (result != 0 && errno == ENOENT) {
      result = ::linkat(fd_, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH);
    }
    if (result == 0) {
      temp_path_ = std::move(temp);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int ReplacementFile::Commit() {
  out_.reset();
  int error = unnamed_ ? LinkUnnamed() : 0;
  // A late write error may show only at close: the name waits for it.
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && error == 0) error = errno;
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
  unnamed_ = false;
}

}  // namespace unf2mat
