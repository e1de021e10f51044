// The least a conversion can cost. By default a pipelining converter's
// least: one thread reads the input through 1 MiB buffers while another
// writes a file of the output's size, never ahead of the share of the input
// read so far, starting the writeback of every 64 MiB written, and syncs it
// at the end. With --sequential, the floor of earlier releases: the whole
// input read, then the output written through the same buffer, then synced.
//
// usage: unf2mat_io_floor [--sequential] INPUT OUTPUT OUTPUT_BYTES
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBuffer = std::size_t{1} << 20;
constexpr std::uint64_t kWriteback = std::uint64_t{64} << 20;

// What the reader has read, for the writer to keep behind.
class Progress {
 public:
  void Set(std::uint64_t read, bool done) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      read_ = read;
      done_ = done;
    }
    changed_.notify_one();
  }
  // Waits until more than `seen` is read or the reading is over.
  std::uint64_t WaitPast(std::uint64_t seen, bool* done) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return read_ > seen || done_; });
    *done = done_;
    return read_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t read_ = 0;
  bool done_ = false;
};

bool ReadAll(int in, const char* name, Progress* progress) {
  std::vector<char> buffer(kBuffer);
  std::uint64_t read = 0;
  for (;;) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      std::perror(name);
      if (progress) progress->Set(read, true);
      return false;
    }
    read += static_cast<std::uint64_t>(got);
    if (progress) progress->Set(read, got == 0);
    if (got == 0) return true;
  }
}

// Writes `bytes` bytes; with `progress`, no more than the share of them
// that the input read so far stands for.
bool WriteAll(int out, const char* name, std::uint64_t bytes,
              std::uint64_t input_bytes, Progress* progress) {
  std::vector<char> buffer(kBuffer, 1);
  std::uint64_t written = 0, allowed = bytes, started = 0;
  bool done = progress == nullptr;
  std::uint64_t read = 0;
  while (written < bytes) {
    if (!done && input_bytes > 0) {
      read = progress->WaitPast(read, &done);
      allowed = done
                    ? bytes
                    : static_cast<std::uint64_t>(
                          static_cast<long double>(bytes) * read / input_bytes);
      // Whole buffers only, but for the last.
      if (!done && allowed - written < kBuffer) continue;
    }
    while (written < allowed) {
      std::size_t n = allowed - written < kBuffer
                          ? static_cast<std::size_t>(allowed - written)
                          : kBuffer;
      ssize_t put = ::write(out, buffer.data(), n);
      if (put <= 0) {
        std::perror(name);
        return false;
      }
      written += static_cast<std::uint64_t>(put);
      if (progress && written - started >= kWriteback) {
        ::sync_file_range(out, static_cast<off_t>(started),
                          static_cast<off_t>(written - started),
                          SYNC_FILE_RANGE_WRITE);
        started = written;
      }
    }
  }
  // As the converter does before its file takes its name.
  if (::fdatasync(out) != 0) {
    std::perror(name);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool sequential = argc > 1 && std::strcmp(argv[1], "--sequential") == 0;
  if (sequential) {
    --argc;
    ++argv;
  }
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: unf2mat_io_floor [--sequential] INPUT OUTPUT "
                 "OUTPUT_BYTES\n");
    return 2;
  }
  int in = ::open(argv[1], O_RDONLY);
  struct stat status;
  if (in < 0 || ::fstat(in, &status) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out < 0) {
    std::perror(argv[2]);
    return 1;
  }
  std::uint64_t bytes = std::strtoull(argv[3], nullptr, 10);
  bool ok;
  if (sequential) {
    ok = ReadAll(in, argv[1], nullptr) &&
         WriteAll(out, argv[2], bytes, 0, nullptr);
  } else {
    Progress progress;
    bool read_ok = true;
    std::thread reader([&] { read_ok = ReadAll(in, argv[1], &progress); });
    ok = WriteAll(out, argv[2], bytes,
                  static_cast<std::uint64_t>(status.st_size), &progress);
    reader.join();
    ok = ok && read_ok;
  }
  if (::close(out) != 0) {
    std::perror(argv[2]);
    ok = false;
  }
  ::close(in);
  return ok ? 0 : 1;
}
