// Faults and damage, end to end: a file size limit, a killed run, concurrent
// runs, and data files cut short or with bytes flipped. Whatever
// happens, the old MAT-file stays whole or a new one is whole, and no other
// file is left behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <thread>

#include "tests/end_to_end.h"

namespace unf2mat::test {
namespace {

// A MAT-file as an independent reader sees it; empty when its structure is
// not that of one real double matrix.
struct ParsedMat {
  std::string name;
  std::uint32_t rows = 0, columns = 0;
  std::vector<std::uint64_t> bits;  // column by column
};

// Little-endian words, decoded here so as not to trust the converter's own.
std::uint64_t LittleEndianAt(const std::string& bytes, std::size_t at,
                             std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t k = size; k-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + k]);
  }
  return value;
}

std::uint32_t U32(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(LittleEndianAt(bytes, at, 4));
}

std::optional<ParsedMat> ParseMat(const std::string& bytes) {
  if (bytes.size() < 184 || bytes.size() % 8 != 0) return std::nullopt;
  if (bytes.compare(124, 4, "\x00\x01IM"s) != 0) return std::nullopt;
  if (U32(bytes, 128) != 14 ||
      136 + std::size_t{U32(bytes, 132)} != bytes.size())
    return std::nullopt;
  ParsedMat mat;
  mat.rows = U32(bytes, 160);
  mat.columns = U32(bytes, 164);
  std::size_t at = 168;
  if (U32(bytes, at) >> 16 != 0) {  // the short form: size, type in one word
    std::size_t length = U32(bytes, at) >> 16;
    mat.name = bytes.substr(at + 4, length);
    at += 8;
  } else {
    std::size_t length = U32(bytes, at + 4);
    mat.name = bytes.substr(at + 8, length);
    at += 8 + (length + 7) / 8 * 8;
  }
  const std::uint64_t values = std::uint64_t{mat.rows} * mat.columns;
  if (U32(bytes, at) != 9 || U32(bytes, at + 4) != 8 * values ||
      at + 8 + 8 * values != bytes.size()) {
    return std::nullopt;
  }
  for (std::uint64_t k = 0; k < values; ++k) {
    mat.bits.push_back(LittleEndianAt(bytes, at + 8 + 8 * k, 8));
  }
  return mat;
}

std::uint64_t WidenedBits(float value) {
  return std::bit_cast<std::uint64_t>(static_cast<double>(value));
}

Records Grid(std::size_t rows, std::size_t columns, float seed) {
  Records records(rows, std::vector<float>(columns));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      records[r][c] = seed + static_cast<float>(r * columns + c) * 0.5f;
    }
  }
  return records;
}

Matrix AsMatrix(const Records& records) {
  Matrix matrix;
  for (const auto& record : records) {
    matrix.emplace_back(record.begin(), record.end());
  }
  return matrix;
}

using FaultTest = EndToEndTest;

// A file system of `bytes` bytes mounted over `dir` for as long as it lives;
// mounted() is false where that cannot be done (not root).
class SmallMount {
 public:
  SmallMount(const fs::path& dir, std::size_t bytes) : dir_(dir) {
    fs::create_directory(dir);
    const std::string command =
        "mount -t tmpfs -o size=" + std::to_string(bytes) + " tmpfs '" +
        dir.string() + "' >/dev/null 2>&1";
    mounted_ = std::system(command.c_str()) == 0;
  }
  ~SmallMount() {
    if (mounted_) (void)std::system(("umount '" + dir_.string() + "'").c_str());
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path dir_;
  bool mounted_ = false;
};

// A write that the system refuses ends the run with the file it was for,
// and leaves every file as it was: a file size limit on the MAT-file, a full
// disk under the temporary file that keeps a data file read from a pipe.
TEST_F(FaultTest, RefusedWritesFailCleanly) {
  const std::string old_mat = ExpectedMat("run", {{7}});
  const std::string data = DataFile(Grid(100, 1000, 1));
  // So many rows that v7 keeps the element in a scratch file first.
  const std::string tall = DataFile(Grid(300000, 2, 1));
  // Past the memory a pipe is kept in.
  const std::string stream = DataFile(Grid(6000, 1000, 1));
  const fs::path small = root_ / "small";
  const SmallMount full_disk(small, 1 << 20);
  const std::string kept_in =
      "unf2mat: cannot keep data file 'run.dat', read "
      "as a stream, in a temporary file in '" +
      small.string() + "': No space left on device\n";
  const std::string too_large =
      "unf2mat: cannot write MAT-file 'run.mat': File too large\n";
  const std::string hdf5_too_large =
      "unf2mat: cannot write MAT-file 'run.mat': dataset 'run': File too "
      "large\n";
  const std::vector<std::string> v7 = {"--format", "v7", "run.dat"};
  const std::vector<std::string> v73 = {"--format", "v7.3", "run.dat"};
  const struct {
    rlim_t limit;
    bool pipe;
    std::string err;
    std::vector<std::string> args = {};  // none: the control lines
    bool tall_data = false;
  } cases[] = {
      // Room at least for the console files, which the limit binds too.
      {200, false,
       "unf2mat: cannot write MAT-file 'run.mat': File too large\n"},
      {65536, false,
       "unf2mat: cannot write MAT-file 'run.mat': File too large\n"},
      {700000, false,
       "unf2mat: cannot write MAT-file 'run.mat': File too large\n"},
      {RLIM_INFINITY, true, kept_in},
      // Each format fails alike.
      {200, false, too_large, v7},
      {65536, false, too_large, v7},
      {RLIM_INFINITY, false,
       "unf2mat: cannot write a temporary file in '" + small.string() +
           "': No space left on device\n",
       v7, true},
      {4096, false, hdf5_too_large, v73},
      {65536, false, hdf5_too_large, v73},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err + std::to_string(c.limit));
    if ((c.pipe || c.tall_data) && !full_disk.mounted()) {
      std::cout << "no tmpfs mount: the full temporary disk row is skipped\n";
      continue;
    }
    ResetWork();
    WriteFile(In("run.mat"), old_mat);
    pid_t writer = -1;
    if (c.pipe) {
      ASSERT_EQ(::mkfifo(In("run.dat").c_str(), 0600), 0);
      writer = ::fork();
      if (writer == 0) {
        ::alarm(60);
        WriteFile(In("run.dat"), stream);
        ::_exit(0);
      }
    } else {
      WriteFile(In("run.dat"), c.tall_data ? tall : data);
    }
    const auto before = Snapshot();
    RunOptions options;
    options.file_size_limit = c.limit;
    options.env = {"TMPDIR=" + small.string()};
    options.args = c.args;
    RunResult r = Run(c.args.empty() ? "run.dat\n" : "", options);
    if (writer > 0) ::waitpid(writer, nullptr, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(Snapshot(), before);
    if (full_disk.mounted()) {
      EXPECT_TRUE(fs::is_empty(small)) << "a temporary file is left";
    }
  }
}

// Mounts a FUSE bind of a fresh directory over `dir`, a file system without
// O_TMPFILE, for as long as it lives; mounted() is false where bindfs cannot
// run (not installed, no /dev/fuse, no privilege).
class NoTmpfileMount {
 public:
  NoTmpfileMount(const fs::path& backing, const fs::path& dir) : dir_(dir) {
    fs::create_directory(backing);
    const std::string command = "bindfs '" + backing.string() + "' '" +
                                dir.string() + "' >/dev/null 2>&1";
    mounted_ = std::system(command.c_str()) == 0;
  }
  ~NoTmpfileMount() {
    if (mounted_) {
      (void)std::system(("fusermount -u '" + dir_.string() + "'").c_str());
    }
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path dir_;
  bool mounted_ = false;
};

// Killed at any moment, a run leaves the old file or the new one, whole, and
// no other file; a signal it can catch, it dies of all the same.
TEST_F(FaultTest, KilledRunLeavesOneWholeFile) {
  const std::string old_mat = ExpectedMat("run", {{7}});
  const Records records = Grid(500, 4000, 3);
  const std::string new_mat = ExpectedMat("run", AsMatrix(records));
  const std::vector<int> catchable = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
  const struct {
    const char* label;
    bool without_tmpfile;
    std::vector<int> signals;
  } cases[] = {
      {"local file system", false, {SIGKILL, SIGTERM, SIGINT, SIGHUP, SIGQUIT}},
      // The MAT-file has a temporary name all the time it is written, which
      // only SIGKILL cannot remove.
      {"bindfs, no O_TMPFILE", true, catchable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ResetWork();  // a FUSE mount point must be empty
    std::optional<NoTmpfileMount> mount;
    if (c.without_tmpfile) {
      mount.emplace(root_ / "backing", work_);
      if (!mount->mounted()) {
        std::cout << "bindfs cannot mount: " << c.label << " not run\n";
        continue;
      }
      const int fd = ::open(work_.c_str(), O_TMPFILE | O_WRONLY, 0600);
      ASSERT_LT(fd, 0) << "this file system has O_TMPFILE after all";
    }
    WriteFile(In("run.dat"), DataFile(records));
    for (int sig : c.signals) {
      int killed = 0;
      for (int delay_ms : {0, 1, 2, 5, 10, 20, 40, 80}) {
        SCOPED_TRACE(std::string(strsignal(sig)) + " after " +
                     std::to_string(delay_ms) + " ms");
        WriteFile(In("run.mat"), old_mat);
        Child child = Start("run.dat\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        ::kill(child.pid, sig);
        RunResult r = Finish(child);
        EXPECT_TRUE(r.status == 0 || r.status == 128 + sig) << r.status;
        killed += r.status == 128 + sig;
        auto after = Snapshot();
        ASSERT_EQ(after.size(), 2u) << "a stray file";
        const std::string mat = ReadFile(In("run.mat"));
        EXPECT_TRUE(mat == old_mat || mat == new_mat);
      }
      EXPECT_GT(killed, 0) << "every run finished before it could be killed";
    }
  }
}

// What reaches the disk, as the system calls the run makes show it: the new
// MAT-file's data are synced before the file takes its name (a power loss
// then leaves the old file or the whole new one), and a named pipe where the
// MAT-file goes does not hold the run up while its cache is given back.
TEST_F(FaultTest, NewFileIsOnDiskBeforeItTakesItsName) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is missing (tests/run_all.sh installs it)";
  }
  WriteFile(In("run.dat"), kSmallData);
  ASSERT_EQ(::mkfifo(In("run.mat").c_str(), 0600), 0);
  const std::string trace = (root_ / "trace").string();
  const std::string command =
      "cd '" + work_.string() + "' && timeout 60 strace -f -qq -o '" + trace +
      "' -e trace=fdatasync,fsync,linkat,renameat,renameat2,rename,link "
      "'" UNF2MAT_BINARY "' -o run run.dat >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(trace);
  EXPECT_EQ(ReadFile(In("run.mat")), ExpectedMat("run", {{1, 2}}));
  // The sync of the data, then the name.
  const std::string calls = ReadFile(trace);
  const std::size_t synced = calls.find("fdatasync(");
  std::size_t named = std::string::npos;
  for (const char* call :
       {"linkat(", "renameat(", "renameat2(", "rename(", "link("}) {
    named = std::min(named, calls.find(call));
  }
  ASSERT_NE(named, std::string::npos) << calls;
  EXPECT_LT(synced, named) << calls;
}

// A standard output that closes early (`| head -1`) fails the run, which says
// whether the MAT-file was written; it never dies of SIGPIPE.
TEST_F(FaultTest, ClosedStandardOutputIsReported) {
  const std::string old_mat = ExpectedMat("run", {{7}});
  const struct {
    const char* label;
    bool read_echo;  // before closing; the data then comes from a pipe
    std::string err, mat;
  } cases[] = {
      {"closed before the echo line", false,
       "unf2mat: cannot write standard output: Broken pipe\n", old_mat},
      {"closed after the echo line", true,
       "unf2mat: MAT-file 'run.mat' is written, but standard output failed: "
       "Broken pipe\n",
       ExpectedMat("run", {{1, 2}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ResetWork();
    WriteFile(In("run.mat"), old_mat);
    if (c.read_echo) {
      ASSERT_EQ(::mkfifo(In("run.dat").c_str(), 0600), 0);
    } else {
      WriteFile(In("run.dat"), kSmallData);
    }
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    if (!c.read_echo) ::close(out[0]);
    RunOptions options;
    options.stdout_fd = out[1];
    Child child = Start("run.dat\n", options);
    ::close(out[1]);
    if (c.read_echo) {
      char echo[3];
      EXPECT_EQ(::read(out[0], echo, sizeof echo), 3);
      EXPECT_EQ(std::string(echo, 3), " 0\n");
      ::close(out[0]);
      // Only now does the data come, so the completion line finds the pipe
      // closed.
      WriteFile(In("run.dat"), kSmallData);
    }
    RunResult r = Finish(child);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(ReadFile(In("run.mat")), c.mat);
    EXPECT_EQ(Snapshot().size(), 2u) << "a stray file";
  }
}

// Concurrent runs to one MAT-file leave one of their results, whole.
TEST_F(FaultTest, ConcurrentRunsLeaveOneWholeResult) {
  std::vector<std::string> results;
  for (int k = 0; k < 4; ++k) {
    const Records records = Grid(300, 1000 + k, static_cast<float>(k));
    WriteFile(In("run" + std::to_string(k) + ".dat"), DataFile(records));
    results.push_back(ExpectedMat("v", AsMatrix(records)));
  }
  std::vector<Child> children;
  for (int k = 0; k < 4; ++k) {
    RunOptions options;
    options.tag = std::to_string(k);
    children.push_back(
        Start("run" + std::to_string(k) + ".dat\n\n\n\nout.mat\nv\n", options));
  }
  for (const Child& child : children) {
    RunResult r = Finish(child);
    EXPECT_EQ(r.status, 0) << r.err;
  }
  EXPECT_EQ(Snapshot().size(), 5u) << "a stray file";
  const std::string mat = ReadFile(In("out.mat"));
  EXPECT_NE(std::find(results.begin(), results.end(), mat), results.end());
}

// Checks a run on data made from `records`, unsplit, with markers of
// `marker_size` bytes: success, and each loaded row one of the records in
// order, but for values whose bytes were damaged.
void ExpectPrefixOfRecords(const RunResult& r, const std::string& mat_bytes,
                           const Records& records,
                           const std::vector<std::size_t>& damaged,
                           std::size_t whole_records,
                           std::size_t marker_size = 4) {
  ASSERT_EQ(r.status, 0) << r.err;
  std::optional<ParsedMat> mat = ParseMat(mat_bytes);
  ASSERT_TRUE(mat) << "not a MAT-file that loads";
  EXPECT_EQ(mat->name, "run");
  ASSERT_LE(mat->rows, whole_records);
  if (mat->rows == 0) return;
  const std::size_t width = records[0].size();
  ASSERT_EQ(mat->columns, width);
  const std::size_t record_bytes = 2 * marker_size + 4 * width;
  for (std::size_t r = 0; r < mat->rows; ++r) {
    for (std::size_t c = 0; c < width; ++c) {
      const std::uint64_t got = mat->bits[c * mat->rows + r];
      if (got == WidenedBits(records[r][c])) continue;
      const std::size_t first = r * record_bytes + marker_size + 4 * c;
      const bool hit = std::any_of(
          damaged.begin(), damaged.end(),
          [&](std::size_t at) { return at >= first && at < first + 4; });
      EXPECT_TRUE(hit) << "row " << r << " column " << c << " changed";
    }
  }
}

TEST_F(FaultTest, TruncatedAtEveryLength) {
  const Records records = Grid(4, 3, 1);
  const std::string valid = DataFile(records);
  const std::size_t record_bytes = 8 + 4 * 3;
  for (std::size_t length = 0; length <= valid.size(); ++length) {
    SCOPED_TRACE(length);
    ResetWork();
    WriteFile(In("run.dat"), Truncated(valid, length));
    RunResult r = Run("run.dat\n");
    ExpectPrefixOfRecords(r, ReadFile(In("run.mat")), records, {},
                          length / record_bytes);
    std::optional<ParsedMat> mat = ParseMat(ReadFile(In("run.mat")));
    ASSERT_TRUE(mat);
    EXPECT_EQ(mat->rows, length / record_bytes);
  }
}

// Sizes and counts read from a file are the file's to lie about: each lie is
// refused in one line naming the field and the record, quickly, before
// anything is written, and the old MAT-file stays.
TEST_F(FaultTest, HostileSizesAndCountsAreRefused) {
  auto ints = [](std::initializer_list<std::int32_t> values) {
    return FramedRecord(std::string_view(
        reinterpret_cast<const char*>(std::data(values)), 4 * values.size()));
  };
  const std::string names = FramedRecord(std::string(30, 'q')) +
                            FramedRecord(std::string(30, 's')) +
                            FramedRecord(std::string(30, 'u'));
  const struct {
    const char* lie;
    const char* layout;
    std::string data;
    std::vector<std::string> named;  // in the one line on stderr
  } cases[] = {
      {"bounds that give a negative size",
       "fds-slice",
       names + ints({5, 1, 1, 1, 1, 1}) + ints({0}) + FramedRecord(""),
       {"field 'q'", "-3", "record 4", "negative"}},
      {"a count of patches below zero",
       "fds-boundary",
       names + ints({-7}) + ints({1}),
       {"the count", "-7", "negative"}},
      {"blocks past any file",
       "plot3d-grid",
       ints({0x7fffffff}) + ints({1, 1, 1}),
       {"does not hold what layout 'plot3d-grid' reads"}},
      {"dimensions whose product passes any record",
       "plot3d-grid",
       ints({2000000000, 2000000000, 2000000000}) + ints({1}),
       {"field 'x'", "record 2", "would hold more than"}},
      {"sizes given twice over, for a record that is not there",
       "record n: int4; repeat n { record v: real4(n, n) }",
       ints({65536}) + FramedRecord(""),
       {"record 2", "fewer than the 17179869184"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lie);
    ResetWork();
    WriteFile(In("run.dat"), c.data);
    WriteFile(In("run.mat"), "an older MAT-file");
    const auto started = std::chrono::steady_clock::now();
    RunOptions options;
    options.args = {"--layout", c.layout, "run.dat"};
    RunResult r = Run("", options);
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::seconds(10));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const std::string& word : c.named) {
      EXPECT_NE(r.err.find(word), std::string::npos) << r.err;
    }
    EXPECT_EQ(Snapshot(),
              (std::map<std::string, std::string>{
                  {"run.dat", c.data}, {"run.mat", "an older MAT-file"}}));
  }
}

// In every framing: the bytes of a swapped file are damaged alike, and a
// damaged 8-byte count can be far larger than any 4-byte one.
TEST_F(FaultTest, RandomByteFlipsNeverCrash) {
  const Records records = Grid(6, 5, 2);
  std::mt19937 random(20261208);
  for (const record::Framing& framing : record::kFramings) {
    const std::string name = std::to_string(framing.marker_size) +
                             (framing.swapped ? "-byte swapped" : "-byte host");
    const std::string valid = FramedFile(records, framing);
    int converted = 0;
    constexpr int kTrials = 150;
    for (int trial = 0; trial < kTrials; ++trial) {
      std::string data = valid;
      std::vector<std::size_t> damaged;
      const int flips = 1 + static_cast<int>(random() % 3);
      for (int f = 0; f < flips; ++f) {
        const std::size_t at = random() % data.size();
        data[at] = static_cast<char>(data[at] ^ (1 + random() % 255));
        damaged.push_back(at);
      }
      SCOPED_TRACE(name + " markers, trial " + std::to_string(trial));
      ResetWork();
      WriteFile(In("run.dat"), data);
      RunResult r = Run("run.dat\n");
      ASSERT_LT(r.status, 128) << "killed by signal " << r.status - 128;
      if (r.status != 0) {
        // Only a marker damaged into a huge count can be refused.
        EXPECT_NE(r.err.find("over the limit"), std::string::npos) << r.err;
        continue;
      }
      ++converted;
      ExpectPrefixOfRecords(r, ReadFile(In("run.mat")), records, damaged,
                            records.size(), framing.marker_size);
    }
    EXPECT_GT(converted, kTrials * 2 / 3) << name;
  }
}

}  // namespace
}  // namespace unf2mat::test
