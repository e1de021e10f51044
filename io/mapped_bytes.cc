#include "io/mapped_bytes.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

namespace unf2mat {
namespace {

// Where a SIGBUS in this thread's visit lands; null outside a visit.
thread_local sigjmp_buf* visit_landing = nullptr;

void OnBusError(int signal, siginfo_t*, void*) {
  if (sigjmp_buf* landing = visit_landing) siglongjmp(*landing, 1);
  // Not ours: the default action, as if no handler had been set.
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void CatchBusErrors() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
  });
}

// Run apart from the mapping's set-up, so that nothing it holds is live
// across the jump.
MapStatus GuardedVisit(const char* bytes, void (*visit)(const char*, void*),
                       void* context) {
  sigjmp_buf landing;
  if (sigsetjmp(landing, 1) != 0) {
    visit_landing = nullptr;
    return MapStatus::kCutShort;
  }
  visit_landing = &landing;
  visit(bytes, context);
  visit_landing = nullptr;
  return MapStatus::kVisited;
}

}  // namespace

MapStatus VisitMappedBytes(const InputFile& file, std::uint64_t offset,
                           std::size_t n,
                           void (*visit)(const char* bytes, void* context),
                           void* context) {
  const int fd = file.MappableFd();
  if (fd < 0 || n == 0 || n > kMaxMappedBytes) return MapStatus::kNotMapped;
  static const std::uint64_t page =
      static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = offset - offset % page;
  const std::size_t length = static_cast<std::size_t>(offset - start) + n;
  void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd,
                        static_cast<off_t>(start));
  if (mapped == MAP_FAILED) return MapStatus::kNotMapped;
  CatchBusErrors();
  const MapStatus status = GuardedVisit(
      static_cast<const char*>(mapped) + (offset - start), visit, context);
  ::munmap(mapped, length);
  return status;
}

}  // namespace unf2mat
