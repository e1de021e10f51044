// The least a conversion can cost: reads the input once and writes a file of
// the output's size, both through one reused 1 MiB buffer, and syncs it.
//
// usage: unf2mat_io_floor INPUT OUTPUT OUTPUT_BYTES
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT OUTPUT_BYTES\n", argv[0]);
    return 2;
  }
  std::vector<char> buffer(std::size_t{1} << 20);
  int in = ::open(argv[1], O_RDONLY);
  if (in < 0) {
    std::perror(argv[1]);
    return 1;
  }
  for (;;) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      std::perror(argv[1]);
      return 1;
    }
    if (got == 0) break;
  }
  ::close(in);
  int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out < 0) {
    std::perror(argv[2]);
    return 1;
  }
  std::uint64_t left = std::strtoull(argv[3], nullptr, 10);
  while (left > 0) {
    std::size_t n = left < buffer.size() ? left : buffer.size();
    ssize_t put = ::write(out, buffer.data(), n);
    if (put <= 0) {
      std::perror(argv[2]);
      return 1;
    }
    left -= static_cast<std::uint64_t>(put);
  }
  // As the converter does before its file takes its name.
  if (::fdatasync(out) != 0 || ::close(out) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
