#include "converter/parallel.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/run_error.h"
#include "io/retry.h"

namespace unf2mat {
namespace {

struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;  // what it writes, kept until it ends
  bool ended = false;
  int status = 0;
};

// Copies what a child kept in `fd` to `to`, then closes it.
void Pass(int fd, OutputFile& to) {
  char buffer[1 << 16];
  for (off_t at = 0;;) {
    const ssize_t got =
        RetryOnEintr([&] { return ::pread(fd, buffer, sizeof buffer, at); });
    if (got <= 0) break;
    (void)to.Write(buffer, static_cast<std::size_t>(got));
    at += got;
  }
  ::close(fd);
}

void Start(Child& child, std::size_t k,
           const std::function<int(std::size_t)>& task) {
  child.out = ::memfd_create("unf2mat-out", MFD_CLOEXEC);
  child.err = ::memfd_create("unf2mat-err", MFD_CLOEXEC);
  if (child.out < 0 || child.err < 0) {
    throw RunError(std::string("cannot keep a conversion's messages: ") +
                   std::strerror(errno));
  }
  child.pid = ::fork();
  if (child.pid < 0) {
    throw RunError(std::string("cannot start a conversion: ") +
                   std::strerror(errno));
  }
  if (child.pid == 0) {
    ::dup2(child.out, STDOUT_FILENO);
    ::dup2(child.err, STDERR_FILENO);
    // No exit handlers: they are the parent's to run.
    ::_exit(task(k));
  }
}

}  // namespace

int RunInChildren(std::size_t count, std::size_t jobs,
                  const std::function<int(std::size_t)>& task,
                  Console& console) {
  std::vector<Child> children(count);
  std::size_t started = 0, said = 0, running = 0;
  int status = 0;
  while (said < count) {
    while (running < jobs && started < count) {
      Start(children[started], started, task);
      ++started;
      ++running;
    }
    int wait_status = 0;
    const pid_t pid =
        RetryOnEintr([&] { return ::waitpid(-1, &wait_status, 0); });
    if (pid < 0) {
      throw RunError(std::string("cannot wait for a conversion: ") +
                     std::strerror(errno));
    }
    for (Child& child : children) {
      if (child.pid != pid || child.ended) continue;
      child.ended = true;
      // A conversion killed by a signal failed too.
      child.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1;
      --running;
    }
    for (; said < started && children[said].ended; ++said) {
      Pass(children[said].out, console.out);
      Pass(children[said].err, console.err);
      status |= children[said].status != 0 ? 1 : 0;
    }
  }
  return status;
}

}  // namespace unf2mat
