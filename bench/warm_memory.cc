// Touches and frees MIB mebibytes of memory, so that a program started right
// after finds free memory that the hypervisor still backs.
//
// usage: unf2mat_warm_memory MIB
#include <sys/mman.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MIB\n", argv[0]);
    return 2;
  }
  const std::size_t bytes = std::strtoull(argv[1], nullptr, 10) << 20;
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    std::perror("mmap");
    return 1;
  }
#ifdef MADV_HUGEPAGE
  ::madvise(p, bytes, MADV_HUGEPAGE);
#endif
  std::memset(p, 1, bytes);
  return 0;
}
