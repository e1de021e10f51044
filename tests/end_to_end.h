// Runs the built converter as a process in a fresh directory, and reads back
// its console output, exit status and the files it leaves behind.
#ifndef UNF2MAT_TESTS_END_TO_END_H_
#define UNF2MAT_TESTS_END_TO_END_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace unf2mat::test {

namespace fs = std::filesystem;
using namespace std::string_literals;

struct RunResult {
  int status = -1;  // exit status, or 128 + signal when killed
  std::string out, err;
  std::size_t peak_rss = 0;  // bytes
};

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// `count` records of `values` zero values each, with the payloads left as
// holes so that files past the size limits cost no disk.
inline void WriteSparseRecords(const fs::path& path, std::uint32_t values,
                               int count) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::uint32_t bytes = values * 4;
  for (off_t k = 0; k < count; ++k) {
    off_t at = k * (off_t{bytes} + 8);
    ASSERT_EQ(::pwrite(fd, &bytes, 4, at), 4);
    ASSERT_EQ(::pwrite(fd, &bytes, 4, at + 4 + bytes), 4);
  }
  ::close(fd);
}

using Matrix = std::vector<std::vector<double>>;

// The MAT-file bytes before the values, for a rows x cols double matrix; built
// here from the format rather than from the converter's own encoders.
inline std::string MatHead(const std::string& name, std::uint32_t rows,
                           std::uint32_t cols) {
  std::string header =
      "MATLAB 5.0 MAT-file, Platform: LNX86, Created on: Wed Oct 13 22:44:21 "
      "1999";
  header.resize(124, ' ');
  header += "\x00\x01IM"s;
  std::string name_element;
  std::uint32_t name_bytes = 0;
  if (name.size() <= 4) {
    name_element = "\x01\x00"s + static_cast<char>(name.size()) + '\0' + name;
    name_element.resize(8, '\0');
  } else {
    std::string padded = name;
    padded.resize((name.size() + 7) / 8 * 8, '\0');
    name_bytes = static_cast<std::uint32_t>(padded.size());
    name_element = Le32(1, static_cast<std::uint32_t>(name.size())) + padded;
  }
  const std::uint32_t n = rows * cols;
  return header + Le32(14, 48 + name_bytes + 8 * n) + Le32(6, 8) + Le32(6, 0) +
         Le32(5, 8) + Le32(rows, cols) + name_element + Le32(9, 8 * n);
}

// The whole MAT-file for `rows`, values stored column by column.
inline std::string ExpectedMat(const std::string& name, const Matrix& rows) {
  const std::size_t cols = rows.empty() ? 0 : rows[0].size();
  std::string bytes = MatHead(name, static_cast<std::uint32_t>(rows.size()),
                              static_cast<std::uint32_t>(cols));
  for (std::size_t c = 0; c < cols; ++c) {
    for (const auto& row : rows) bytes += LeDouble(row[c]);
  }
  return bytes;
}

// An array element of MAT class `mx` whose values, little-endian values of
// element type `mi`, are `values`; built, as MatHead, from the format.
inline std::string MatElement(const std::string& name, std::uint32_t mx,
                              std::uint32_t mi,
                              const std::vector<std::uint32_t>& dims,
                              std::string values) {
  auto padded = [](std::string bytes) {
    bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
    return bytes;
  };
  std::string dim_bytes;
  for (std::uint32_t dim : dims) dim_bytes += Le32(dim, 0).substr(0, 4);
  std::string body = Le32(6, 8) + Le32(mx, 0) +
                     Le32(5, static_cast<std::uint32_t>(dim_bytes.size())) +
                     padded(dim_bytes);
  if (name.size() <= 4) {
    body += padded("\x01\x00"s + static_cast<char>(name.size()) + '\0' + name);
  } else {
    body += Le32(1, static_cast<std::uint32_t>(name.size())) + padded(name);
  }
  body += Le32(mi, static_cast<std::uint32_t>(values.size()));
  body += padded(std::move(values));
  return Le32(14, static_cast<std::uint32_t>(body.size())) + body;
}

// A MAT-file of these elements.
inline std::string MatFileOf(const std::vector<std::string>& elements) {
  std::string bytes = MatHead("", 0, 0).substr(0, 128);
  for (const std::string& element : elements) bytes += element;
  return bytes;
}

// Little-endian on a little-endian host, where the tables that use it run.
template <typename T>
std::string LeValues(const std::vector<T>& values) {
  return std::string(reinterpret_cast<const char*>(values.data()),
                     values.size() * sizeof(T));
}

inline const std::string kDone = " done creating mat-file\n";
inline const std::string kSmallData = DataFile({{1, 2}});

struct RunOptions {
  mode_t mask = 022;
  rlim_t file_size_limit = RLIM_INFINITY;
  std::string tag;     // tells apart the console files of concurrent runs
  int stdout_fd = -1;  // standard output instead of a file, when set
  std::vector<std::string> args;  // the command line after the program name
  std::vector<std::string> env;   // NAME=VALUE, added to the environment
};
struct Child {
  pid_t pid = -1;
  std::string out_path, err_path;
};

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempDir();
    work_ = root_ / "work";
    fs::create_directory(work_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // Empties the working directory between the cases of a table.
  void ResetWork() {
    fs::remove_all(work_);
    fs::create_directory(work_);
  }

  fs::path In(const std::string& name) const { return work_ / name; }

  // Every entry under the working directory with its bytes (or, for large
  // files, its size); directories end in '/'.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(work_)) {
      std::string name = fs::relative(e.path(), work_).string();
      if (e.is_directory()) {
        entries[name + "/"] = "";
      } else if (!e.is_regular_file()) {
        entries[name] = "special";
      } else if (e.file_size() > (1u << 20)) {
        entries[name] = "size " + std::to_string(e.file_size());
      } else {
        entries[name] = ReadFile(e.path());
      }
    }
    return entries;
  }

  // Starts the converter in the working directory with `input` as its
  // standard input.
  Child Start(const std::string& input, const RunOptions& options = {}) {
    Child child;
    int in[2];
    if (::pipe(in) != 0) return child;
    // Control input is far smaller than a pipe's buffer.
    if (::write(in[1], input.data(), input.size()) !=
        static_cast<ssize_t>(input.size())) {
      return child;
    }
    ::close(in[1]);
    child.out_path = root_ / ("stdout" + options.tag);
    child.err_path = root_ / ("stderr" + options.tag);
    const std::string dir = work_;
    std::vector<char*> argv = {const_cast<char*>("unf2mat")};
    for (const std::string& arg : options.args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    child.pid = ::fork();
    if (child.pid == 0) {
      int out =
          ::open(child.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err =
          ::open(child.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const rlimit limit{options.file_size_limit, options.file_size_limit};
      // A run killed by SIGQUIT leaves no core file among the results.
      const rlimit no_core{0, 0};
      if (options.stdout_fd >= 0) out = options.stdout_fd;
      if (out < 0 || err < 0 || ::dup2(in[0], 0) < 0 || ::dup2(out, 1) < 0 ||
          ::dup2(err, 2) < 0 || ::chdir(dir.c_str()) != 0 ||
          ::setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
          ::setrlimit(RLIMIT_CORE, &no_core) != 0) {
        ::_exit(126);
      }
      ::umask(options.mask);
      for (const std::string& entry : options.env) {
        ::putenv(const_cast<char*>(entry.c_str()));
      }
      ::alarm(60);  // a hung converter fails its test instead of hanging it
      ::execv(UNF2MAT_BINARY, argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    return child;
  }

  RunResult Finish(const Child& child) {
    RunResult result;
    int status = 0;
    rusage usage{};
    if (child.pid < 0 || ::wait4(child.pid, &status, 0, &usage) != child.pid) {
      return result;
    }
    result.status =
        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.peak_rss = static_cast<std::size_t>(usage.ru_maxrss) * 1024;
    result.out = ReadFile(child.out_path);
    result.err = ReadFile(child.err_path);
    return result;
  }

  RunResult Run(const std::string& input, const RunOptions& options = {}) {
    return Finish(Start(input, options));
  }

  // A successful run: the echo line, the completion line, nothing else.
  void ExpectSuccess(const RunResult& r, const std::string& echo,
                     const std::string& err = "") {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, " " + echo + "\n" + kDone);
    EXPECT_EQ(r.err, err);
  }

  fs::path root_, work_;
};

}  // namespace unf2mat::test

#endif  // UNF2MAT_TESTS_END_TO_END_H_
