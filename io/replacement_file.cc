#include "io/replacement_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "io/helper_thread.h"
#include "io/retry.h"

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

// Tells a test's recorder, where there is one, of a call about to be made.
void Record(std::string* calls, const char* call) {
  if (calls == nullptr) return;
  if (!calls->empty()) *calls += ' ';
  *calls += call;
}

// Errors by which a kernel or file system says it has no O_TMPFILE.
bool LacksUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Holds the ending signals back for its lifetime; one that arrives meanwhile
// is delivered when it ends.
class SignalBlock {
 public:
  explicit SignalBlock(std::string* calls) {
    const sigset_t set = EndingSignals();
    ::sigprocmask(SIG_BLOCK, &set, &old_);
    // A block inside another changes nothing worth recording.
    calls_ = sigismember(&old_, SIGTERM) ? nullptr : calls;
    Record(calls_, "block-signals");
  }
  ~SignalBlock() {
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
    Record(calls_, "unblock-signals");
  }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t old_;
  std::string* calls_;
};

// The temporary name to remove on an ending signal; changed only while the
// signals are blocked, so the handler never sees it half set.
const char* volatile pending_temp_path = nullptr;

extern "C" void RemoveTempAndDie(int sig) {
  if (const char* path = pending_temp_path) ::unlink(path);
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  ::sigaction(sig, &action, nullptr);
  // Delivered, with its default action, as soon as the handler returns: the
  // parent sees the process die of the signal.
  ::raise(sig);
}

// Installed once, for the signals not ignored: an ignored one stays ignored.
void InstallTempCleanup() {
  static const bool installed = [] {
    struct sigaction action = {};
    action.sa_handler = RemoveTempAndDie;
    action.sa_mask = EndingSignals();
    for (int sig : kEndingSignals) {
      struct sigaction old;
      if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
        continue;
      }
      ::sigaction(sig, &action, nullptr);
    }
    return true;
  }();
  (void)installed;
}

int SyncDirectory(const std::string& dir, const ReplacementFaults& faults) {
  Record(faults.calls, "sync-dir");
  if (faults.dir_sync_error != 0) return faults.dir_sync_error;
  const std::string name = dir.empty() ? "." : dir;
  int fd = RetryOnEintr(
      [&] { return ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return errno;
  int error = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

// Gives back the memory that the page cache holds of the old file at `path`,
// if it is a regular file: its data stays on disk, and the file stays until
// the new one replaces it, but the new file's pages can then take that
// memory instead of fresh memory (which a virtual machine's host may have to
// supply anew). O_NONBLOCK: opening a named pipe must not wait for a writer.
// It takes a while (30 ms for 400 MB), so it goes on, on a thread of its
// own, while the new file is made and written.
std::thread DropCachedPages(const std::string& path, std::string* calls) {
  const int fd = RetryOnEintr([&] {
    return ::open(path.c_str(),
                  O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  });
  if (fd < 0) return {};
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return {};
  }
  Record(calls, "drop-cache");
  return StartHelperThread([fd] {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  });
}

// Copies all of `src` into `dst`, in the kernel where it can.
int CopyFile(int src, int dst, const ReplacementFaults& faults) {
  Record(faults.calls, "copy");
  struct stat st;
  if (::fstat(src, &st) != 0) return errno;
  if (faults.before_copy) faults.before_copy(src);
  const off_t size = st.st_size;
  off_t done = 0;
  while (done < size) {
    off_t in = done, out = done;
    ssize_t n = faults.kernel_copy_fails ? -1 : RetryOnEintr([&] {
      return ::copy_file_range(src, &in, dst, &out,
                               static_cast<std::size_t>(size - done), 0);
    });
    if (n <= 0) break;
    done += n;
  }
  // Where the kernel cannot copy between these files: through a buffer.
  std::vector<char> buffer(done < size ? std::size_t{1} << 20 : 0);
  while (done < size) {
    ssize_t got = RetryOnEintr(
        [&] { return ::pread(src, buffer.data(), buffer.size(), done); });
    if (got < 0) return errno;
    if (got == 0) return EIO;  // the file shrank under us
    for (ssize_t put = 0; put < got;) {
      ssize_t n = RetryOnEintr([&] {
        return ::pwrite(dst, buffer.data() + put,
                        static_cast<std::size_t>(got - put), done + put);
      });
      if (n < 0) return errno;
      put += n;
    }
    done += got;
  }
  return 0;
}

}  // namespace

ReplacementFile::~ReplacementFile() { Discard(); }

int ReplacementFile::Create(std::string path) {
  Discard();
  if (path.find('\0') != std::string::npos) return EINVAL;
  path_ = std::move(path);
  replaced_ = false;
  // Found now rather than after all the writing.
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
  dropping_ = DropCachedPages(path_, faults_.calls);
  std::string dir, base;
  SplitPath(path_, &dir, &base);
  int error =
      allow_unnamed_ ? CreateUnnamed(dir.empty() ? "." : dir) : EOPNOTSUPP;
  if (error != 0 && LacksUnnamedFiles(error)) error = CreateNamed(&fd_);
  if (error == 0) out_.emplace(fd_);
  return error;
}

int ReplacementFile::CreateUnnamed(const std::string& dir) {
#ifdef O_TMPFILE
  Record(faults_.calls, "create-unnamed");
  // Readable too, so that it can be copied where it cannot be linked in.
  int fd = RetryOnEintr([&] {
    return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  });
  if (fd < 0) return errno;
  fd_ = fd;
  unnamed_ = true;
  return 0;
#else
  (void)dir;
  return EOPNOTSUPP;
#endif
}

int ReplacementFile::CreateNamed(int* fd) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = TempPathFor(path_, random());
    // O_EXCL: never write into a file someone else made; mode 0666 lets the
    // umask decide, as for any new file. The name is known to the signal
    // handler as soon as the file exists.
    SignalBlock block(faults_.calls);
    Record(faults_.calls, "create-named");
    int result =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (result >= 0) {
      SetTempPath(std::move(temp));
      *fd = result;
      return 0;
    }
    if (errno != EEXIST && errno != EINTR) return errno;
  }
  return EEXIST;
}

int ReplacementFile::LinkUnnamed() {
  Record(faults_.calls, "link");
  if (faults_.link_error != 0) return faults_.link_error;
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
    // Called with the ending signals blocked, so that the name is known
    // before one can act.
    if (result == 0) {
      SetTempPath(std::move(temp));
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int ReplacementFile::CopyToNamed(int* fd) {
  if (int error = CreateNamed(fd); error != 0) return error;
  int error = CopyFile(fd_, *fd, faults_);
  if (error == 0) error = SyncData(*fd);
  return error;
}

int ReplacementFile::CloseAndRename() {
  // A late write error may show only at close: the name waits for it.
  Record(faults_.calls, "close");
  int error = ::close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  if (error != 0) return error;
  if (faults_.before_rename) faults_.before_rename();
  Record(faults_.calls, "rename");
  if (::rename(temp_path_.c_str(), path_.c_str()) != 0) return errno;
  SetTempPath("");
  replaced_ = true;
  // Without this the rename may be lost on a power loss, however well the
  // file's own data was synced.
  std::string dir, base;
  SplitPath(path_, &dir, &base);
  return SyncDirectory(dir, faults_);
}

int ReplacementFile::SyncData(int fd) {
  Record(faults_.calls, "sync");
  if (faults_.sync_error != 0) return faults_.sync_error;
  return PosixOutputFile(fd).Sync();
}

int ReplacementFile::Commit() {
  if (!out_) return EBADF;
  if (dropping_.joinable()) dropping_.join();
  // The data reaches the disk before the name does, so that no power loss can
  // leave the final name on a file with missing data.
  int error = SyncData(fd_);
  out_.reset();
  bool copy = false;
  if (error == 0 && unnamed_) {
    SignalBlock block(faults_.calls);
    if (LinkUnnamed() == 0) {
      error = CloseAndRename();
    } else {
      copy = true;
    }
  } else if (error == 0) {
    SignalBlock block(faults_.calls);
    error = CloseAndRename();
  }
  if (copy) {
    // Linking in is refused (no /proc, no privilege, a file system that
    // cannot): a copy under a temporary name keeps the finished work. An
    // ending signal meanwhile removes the copy.
    int copy_fd = -1;
    error = CopyToNamed(&copy_fd);
    ::close(fd_);
    fd_ = copy_fd;
    if (error == 0) {
      SignalBlock block(faults_.calls);
      error = CloseAndRename();
    }
  }
  if (error != 0 && !replaced_) {
    Discard();
    return error;
  }
  unnamed_ = false;
  return error;
}

void ReplacementFile::SetTempPath(std::string temp) {
  SignalBlock block(faults_.calls);
  temp_path_ = std::move(temp);
  if (temp_path_.empty()) {
    pending_temp_path = nullptr;
  } else {
    InstallTempCleanup();
    pending_temp_path = temp_path_.c_str();
  }
}

void ReplacementFile::Discard() {
  if (dropping_.joinable()) dropping_.join();
  out_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_path_.empty()) {
    SignalBlock block(faults_.calls);
    Record(faults_.calls, "unlink");
    ::unlink(temp_path_.c_str());
    SetTempPath("");
  }
  unnamed_ = false;
}

}  // namespace unf2mat
