// Threads beside the main one. The signals that end a run on a user's or a
// system's request never interrupt them: those go to the main thread, which
// holds them back while it names a temporary file, so that the handler that
// removes the file always knows its name.
#ifndef UNF2MAT_IO_HELPER_THREAD_H_
#define UNF2MAT_IO_HELPER_THREAD_H_

#include <signal.h>

#include <functional>
#include <thread>

namespace unf2mat {

// SIGKILL cannot be caught.
inline constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

sigset_t EndingSignals();

// Runs `body` on a new thread that the ending signals never reach.
std::thread StartHelperThread(std::function<void()> body);

}  // namespace unf2mat

#endif  // UNF2MAT_IO_HELPER_THREAD_H_
