#include "converter/parallel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/run_error.h"
#include "io/retry.h"

namespace unf2mat {
namespace {

// What a worker sends back for each task: its number and status, then what
// it wrote on standard output and error.
struct ResultHeader {
  std::uint64_t task;
  std::uint64_t status;
  std::uint64_t out_bytes;
  std::uint64_t err_bytes;
};

struct Result {
  int status = 0;
  std::string out, err;
};

[[noreturn]] void Fail(const std::string& what) {
  throw RunError(what + ": " + std::strerror(errno));
}

// Everything written to `fd` since the last call, which empties it.
std::string TakeAll(int fd) {
  std::string text;
  char buffer[1 << 16];
  for (off_t at = 0;;) {
    const ssize_t got =
        RetryOnEintr([&] { return ::pread(fd, buffer, sizeof buffer, at); });
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    at += got;
  }
  (void)::ftruncate(fd, 0);
  return text;
}

bool WriteAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t put = RetryOnEintr([&] { return ::write(fd, data, n); });
    if (put <= 0) return false;
    data += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

// A worker: takes the next task from the shared counter until none are
// left, its console pointed at files of its own, and sends each result.
[[noreturn]] void Work(std::atomic<std::uint64_t>& next, std::size_t count,
                       const std::function<int(std::size_t)>& task,
                       int results) {
  const int out = ::memfd_create("unf2mat-out", MFD_CLOEXEC);
  const int err = ::memfd_create("unf2mat-err", MFD_CLOEXEC);
  if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
      ::dup2(err, STDERR_FILENO) < 0) {
    ::_exit(1);
  }
  for (std::uint64_t k; (k = next.fetch_add(1)) < count;) {
    ::lseek(STDOUT_FILENO, 0, SEEK_SET);
    ::lseek(STDERR_FILENO, 0, SEEK_SET);
    const int status = task(static_cast<std::size_t>(k));
    const std::string out_text = TakeAll(out), err_text = TakeAll(err);
    const ResultHeader header{k, static_cast<std::uint64_t>(status),
                              out_text.size(), err_text.size()};
    if (!WriteAll(results, reinterpret_cast<const char*>(&header),
                  sizeof header) ||
        !WriteAll(results, out_text.data(), out_text.size()) ||
        !WriteAll(results, err_text.data(), err_text.size())) {
      ::_exit(1);
    }
  }
  // No exit handlers: they are the parent's to run.
  ::_exit(0);
}

// Takes the whole results in `bytes` off its front.
void Parse(std::string& bytes, std::vector<std::optional<Result>>& results) {
  for (;;) {
    if (bytes.size() < sizeof(ResultHeader)) return;
    ResultHeader header;
    std::memcpy(&header, bytes.data(), sizeof header);
    const std::size_t whole =
        sizeof header + header.out_bytes + header.err_bytes;
    if (bytes.size() < whole || header.task >= results.size()) return;
    Result& result = results[header.task].emplace();
    result.status = static_cast<int>(header.status);
    result.out = bytes.substr(sizeof header, header.out_bytes);
    result.err =
        bytes.substr(sizeof header + header.out_bytes, header.err_bytes);
    bytes.erase(0, whole);
  }
}

}  // namespace

int RunInChildren(std::size_t count, std::size_t jobs,
                  const std::function<int(std::size_t)>& task,
                  Console& console) {
  // The next task, shared by the workers: each takes the one after the last
  // taken, so that a long task holds up none of the others.
  void* shared =
      ::mmap(nullptr, sizeof(std::atomic<std::uint64_t>),
             PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) Fail("cannot share the list of data files");
  auto* next = new (shared) std::atomic<std::uint64_t>(0);
  struct Worker {
    pid_t pid;
    int results;  // read end of its pipe; -1 once it is closed
    std::string pending;
  };
  std::vector<Worker> workers;
  for (std::size_t w = 0; w < std::min(jobs, count); ++w) {
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) Fail("cannot start a conversion");
    const pid_t pid = ::fork();
    if (pid < 0) Fail("cannot start a conversion");
    if (pid == 0) {
      ::close(pipe_ends[0]);
      for (const Worker& other : workers) ::close(other.results);
      Work(*next, count, task, pipe_ends[1]);
    }
    ::close(pipe_ends[1]);
    workers.push_back({pid, pipe_ends[0], ""});
  }
  std::vector<std::optional<Result>> results(count);
  std::size_t said = 0;
  int status = 0;
  auto say = [&] {
    for (; said < count && results[said]; ++said) {
      (void)console.out.Write(results[said]->out.data(),
                              results[said]->out.size());
      (void)console.err.Write(results[said]->err.data(),
                              results[said]->err.size());
      status |= results[said]->status != 0 ? 1 : 0;
      results[said].reset();
    }
  };
  for (std::size_t open = workers.size(); open > 0;) {
    std::vector<pollfd> polled;
    std::vector<Worker*> polled_workers;
    for (Worker& worker : workers) {
      if (worker.results < 0) continue;
      polled.push_back({worker.results, POLLIN, 0});
      polled_workers.push_back(&worker);
    }
    if (RetryOnEintr([&] { return ::poll(polled.data(), polled.size(), -1); }) <
        0) {
      Fail("cannot wait for a conversion");
    }
    for (std::size_t p = 0; p < polled.size(); ++p) {
      if (polled[p].revents == 0) continue;
      Worker& worker = *polled_workers[p];
      char buffer[1 << 16];
      const ssize_t got = RetryOnEintr(
          [&] { return ::read(worker.results, buffer, sizeof buffer); });
      if (got > 0) {
        worker.pending.append(buffer, static_cast<std::size_t>(got));
        Parse(worker.pending, results);
      } else {
        ::close(worker.results);
        worker.results = -1;
        --open;
      }
    }
    say();
  }
  for (const Worker& worker : workers) {
    RetryOnEintr([&] { return ::waitpid(worker.pid, nullptr, 0); });
  }
  // A task whose worker died (killed by a signal) has no result: it failed.
  for (say(); said < count; say()) {
    status = 1;
    const std::string line =
        "unf2mat: a conversion ended abnormally, its messages lost\n";
    (void)console.err.Write(line.data(), line.size());
    ++said;
  }
  ::munmap(shared, sizeof(std::atomic<std::uint64_t>));
  return status;
}

}  // namespace unf2mat
