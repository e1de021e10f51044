#include "io/helper_thread.h"

#include <pthread.h>

#include <utility>

namespace unf2mat {

sigset_t EndingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) sigaddset(&set, sig);
  return set;
}

std::thread StartHelperThread(std::function<void()> body) {
  // A new thread starts with its creator's mask: blocked from its first
  // instruction, with no moment in which a signal could land on it.
  const sigset_t ending = EndingSignals();
  sigset_t old;
  ::pthread_sigmask(SIG_BLOCK, &ending, &old);
  std::thread thread(std::move(body));
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return thread;
}

}  // namespace unf2mat
