#include "io/scratch_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "io/retry.h"

namespace unf2mat {
namespace {

int CreateIn(const std::string& dir, int* fd) {
#ifdef O_TMPFILE
  *fd = RetryOnEintr([&] {
    return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  });
  if (*fd >= 0) return 0;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
#endif
  std::string path = dir + "/.unf2mat-scratch-XXXXXX";
  *fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (*fd < 0) return errno;
  ::unlink(path.c_str());
  return 0;
}

}  // namespace

int CreateScratchFile(const std::vector<std::string>& dirs, int* fd,
                      std::string* dir) {
  int error = ENOENT;
  for (const std::string& candidate : dirs) {
    *dir = candidate;
    if ((error = CreateIn(candidate, fd)) == 0) return 0;
  }
  return error;
}

}  // namespace unf2mat
