// System calls retried where a signal interrupts them.
#ifndef UNF2MAT_IO_RETRY_H_
#define UNF2MAT_IO_RETRY_H_

#include <cerrno>

namespace unf2mat {

// Calls `call` again for as long as it fails with EINTR, for system calls
// that report failure as -1 and errno.
template <typename Call>
auto RetryOnEintr(Call call) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

}  // namespace unf2mat

#endif  // UNF2MAT_IO_RETRY_H_
