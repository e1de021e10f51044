// Runs the built converter as a process, each case in a fresh directory, and
// checks its console output, exit status and the files it leaves behind.
#include "tests/end_to_end.h"

#ifdef UNF2MAT_HAVE_ZLIB
#include <zlib.h>
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace unf2mat::test {
namespace {

TEST_F(EndToEndTest, TypicalRunWritesGoldenMatFile) {
  WriteFile(In("run.dat"), DataFile({{1, 2, 3}, {4, 5, 6}}));
  RunResult r = Run("run.dat\nignored\nignored\nignored\n\n\n");
  ExpectSuccess(r, "32");
  std::string mat = ReadFile(In("run.mat"));
  EXPECT_EQ(mat.size(), 232u);
  EXPECT_EQ(mat, ExpectedMat("run", {{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(Snapshot().size(), 2u) << "only run.dat and run.mat";
}

TEST_F(EndToEndTest, LoadsRecordsUntilOneFallsShort) {
  const std::string three = DataFile({{1, 2}, {3, 4}, {5, 6}});
  const std::string odd_first =
      FramedRecord(Record({1, 2}).substr(4, 8) + "xy") + Record({3, 4});
  const Matrix two_rows = {{1, 2}, {3, 4}};
  const std::string huge = Le32(0xfffffff0u, 0).substr(0, 4);
  const std::string none_fits =
      "unf2mat: warning: data file 'run.dat' is not a Fortran unformatted "
      "sequential file as far as its first record shows: no record framing "
      "fits it; reading it with 4-byte little-endian markers\n";
  // Plain rows that do not fit the file point to --describe.
  const std::string proposes =
      "; unf2mat --describe may propose a command that reads it whole";
  auto longer = [&](const std::string& what) {
    return "unf2mat: warning: " + what + ", which were not read" + proposes +
           "\n";
  };
  auto stop = [&](const std::string& where, bool short_record = false) {
    return "unf2mat: warning: loading of data file 'run.dat' stopped at " +
           where + " of the file were not read" +
           (short_record ? proposes : "") + "\n";
  };
  // Records alike past 4 MiB are taken by the file's size and checked while
  // the MAT-file is written; a record unlike them, where the size still
  // divides, undoes that, and the run is as if each record had been walked.
  constexpr std::size_t kMany = 300000, kOdd = 150000;
  Records alike(kMany, {0, 1}), counted;
  Matrix counted_rows;
  for (std::size_t k = 0; k < kMany; ++k) {
    counted.push_back({1.f * k, -1.f});
    counted_rows.push_back({1.0 * k, -1});
  }
  Records longer_one = alike, shorter_one = counted;
  longer_one[kOdd] = {0, 1, 0, 1, 0, 1};  // takes the place of two
  longer_one.erase(longer_one.begin() + kOdd + 1);
  shorter_one[kOdd] = {7};
  shorter_one[kOdd + 1] = {1, 2, 3};
  // Records this long are checked on a thread of their own.
  Records wide(1000, std::vector<float>(1100, 2.5f));
  wide[500].resize(2 * 1100 + 2, 2.5f);
  wide.erase(wide.begin() + 501);
  const std::string real8_look =
      "unf2mat: warning: the values of data file 'run.dat' look like REAL*8, "
      "not REAL*4: --type real8 reads them so\n";
  struct Case {
    const char* label;
    std::string data;
    Matrix expected;
    std::string err = "";
  } cases[] = {
      {"many records alike", DataFile(counted), counted_rows},
      {"a longer record among many alike", DataFile(longer_one),
       Matrix(kMany - 1, {0, 1}),
       longer("record 150001 of data file 'run.dat' holds 16 bytes more than "
              "the first record's 2 values") +
           real8_look},
      {"a longer record among many long ones", DataFile(wide),
       Matrix(999, std::vector<double>(1100, 2.5)),
       longer("record 501 of data file 'run.dat' holds 4408 bytes more than "
              "the first record's 1100 values")},
      {"a shorter record among many alike", DataFile(shorter_one),
       Matrix(counted_rows.begin(), counted_rows.begin() + kOdd),
       stop("record 150001, which holds 1 value, fewer than the first "
            "record's 2; 2400000 bytes",
            true)},
      {"longer records give their first values",
       DataFile({{1, 2}, {3, 4, 5}, {6, 7}}),
       {{1, 2}, {3, 4}, {6, 7}},
       longer("record 2 of data file 'run.dat' holds 4 bytes more than the "
              "first record's 2 values")},
      {"a shorter record ends the matrix",
       DataFile({{1, 2}, {3, 4}, {5}, {6, 7}}), two_rows,
       stop("record 3, which holds 1 value, fewer than the first record's 2; "
            "28 bytes",
            true)},
      // The trailing count of the third record.
      {"damaged framing ends it", WithByteFlipped(three, 44), two_rows,
       stop("record 3, whose framing is damaged, at byte offset 32; 16 bytes")},
      {"a file cut inside a record ends it", Truncated(three, 40), two_rows,
       stop("record 3, whose framing is damaged, at byte offset 32; 8 bytes")},
      {"a first count not a multiple of four", odd_first, two_rows,
       longer("record 1 of data file 'run.dat' holds 2 bytes more than the "
              "first record's 2 values")},
      {"an empty data file", "", {}},
      // Rows of no values: a 6 x 0 matrix.
      {"an empty first record", DataFile({{}, {1}, {}, {2, 3}, {}, {}}),
       Matrix(6),
       "unf2mat: warning: record 2 of data file 'run.dat' holds 4 bytes more "
       "than the first record's 0 values, which were not read; 1 more record "
       "does too, 12 bytes in all" +
           proposes + "\n"},
      {"values widened exactly",
       DataFile({{0.1f, 1e-40f}, {-3.5f, 3.4e38f}}),
       {{0.1f, 1e-40f}, {-3.5f, 3.4e38f}}},
      // Markers no writer makes: a count near 2^32, read as a negative one.
      {"an impossible first marker",
       huge + std::string(64, '\0'),
       {},
       none_fits},
      {"an impossible later marker",
       DataFile({{1, 2}}) + huge + std::string(64, '\0'),
       {{1, 2}},
       stop("record 2, whose framing is damaged, at byte offset 16; 68 bytes")},
      {"impossible markers around a record",
       DataFile({{1, 2}}) + huge + std::string(16, '\0') + huge,
       {{1, 2}},
       stop("record 2, whose framing is damaged, at byte offset 16; 24 bytes")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ResetWork();
    WriteFile(In("run.dat"), c.data);
    ExpectSuccess(Run("run.dat\n"), "0", c.err);
    EXPECT_EQ(ReadFile(In("run.mat")), ExpectedMat("run", c.expected));
  }
}

TEST_F(EndToEndTest, NamesFollowControlLines) {
  const std::string pad = "\n\n\n";  // lines 2 to 4
  const std::string long80(80, 'a');
  const std::string d80(80, 'd');
  struct Case {
    std::string input, mat_file, variable, echo, data_file = "run.dat";
    bool warns = false;  // about a name MATLAB would refuse
  } cases[] = {
      // The name rules in full are unit-tested; these check that the files
      // land where the names say and that the variable name is stored.
      {"run.dat\n" + pad + "out\n\n", "out.mat", "run", "32"},
      {"run.dat\n" + pad + long80 + "tail\n", long80 + ".mat", "run", "0"},
      {"data/r1.dat\n", "data/r1.mat", "data/r1", "0", "data/r1.dat", true},
      {"v1.2/x.dat\n", "v1.mat", "v1", "0", "v1.2/x.dat"},
      {d80 + ".dat\n", d80 + ".mat", d80, "0", d80, true},
      {"run.dat\n" + pad + "\nabcde\n", "run.mat", "abcde", "97"},
      {"run.dat\n" + pad + "\n xyz\n", "run.mat", "run", "32"},
      {"run.dat\n" + pad + "\n" + std::string(90, 'v'), "run.mat",
       std::string(80, 'v'), "118", "run.dat", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    ResetWork();
    std::map<std::string, std::string> expected;
    if (auto dir = fs::path(c.data_file).parent_path(); !dir.empty()) {
      fs::create_directory(In(dir.string()));
      expected[dir.string() + "/"] = "";
    }
    WriteFile(In(c.data_file), kSmallData);
    const std::string warning =
        "unf2mat: warning: variable name '" + c.variable +
        "' is not one MATLAB accepts (a letter, then letters, digits or "
        "underscores, at most 63 in all); it is written unchanged\n";
    ExpectSuccess(Run(c.input), c.echo, c.warns ? warning : "");
    expected[c.data_file] = kSmallData;
    expected[c.mat_file] = ExpectedMat(c.variable, {{1, 2}});
    EXPECT_EQ(Snapshot(), expected);
  }
}

// Attaches `image` to a free loop device and returns the device's name;
// empty where that cannot be done (not root, no loop devices).
std::string AttachLoopDevice(const fs::path& image) {
  const std::string command =
      "losetup -f --show '" + image.string() + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  if (::pclose(pipe) != 0 || !read) return "";
  std::string device = line;
  if (device.ends_with("\n")) device.pop_back();
  return device;
}

TEST_F(EndToEndTest, FailuresLeaveFilesAsTheyWere) {
  const std::string old_mat = "an older MAT-file";
  std::string loop_device;
  auto data_and_old_mat = [&](const fs::path& dir) {
    WriteFile(dir / "run.dat", kSmallData);
    WriteFile(dir / "run.mat", old_mat);
  };
  struct Case {
    const char* label;
    std::string input;
    std::function<void(const fs::path&)> setup;
    std::string out;
    std::vector<std::string> err_has;
  } cases[] = {
      {"empty standard input", "", data_and_old_mat, "", {}},
      {"missing data file",
       "run.dat\n",
       [&](const fs::path& d) { WriteFile(d / "run.mat", old_mat); },
       " 0\n",
       {"'run.dat'", "No such file or directory"}},
      {"data file is a directory",
       "run.dat\n",
       [](const fs::path& d) { fs::create_directory(d / "run.dat"); },
       " 0\n",
       {"'run.dat'", "Is a directory"}},
      // run.dat is valid, so opening the name cut at the NUL would succeed.
      {"data file name holding a NUL",
       "run.dat\0x\n"s,
       data_and_old_mat,
       " 0\n",
       {"'run.dat"}},
      {"MAT-file in a missing directory",
       "run.dat\n\n\n\nnodir/out.mat\n",
       data_and_old_mat,
       " 0\n",
       {"'nodir/out.mat'", "No such file or directory"}},
      {"MAT-file name taken by a directory",
       "run.dat\n\n\n\nout.mat\n",
       [&](const fs::path& d) {
         WriteFile(d / "run.dat", kSmallData);
         fs::create_directory(d / "out.mat");
       },
       " 0\n",
       {"'out.mat'", "Is a directory"}},
      {"no variable name and an empty base name",
       "./run.dat\n\n\n\nout.mat\n",
       data_and_old_mat,
       " 0\n",
       {"'./run.dat'", "line 6"}},
      // A regular file holds up to what the MAT-file's element can: for a
      // short name, (2^32 - 1 - 48) / 8 values.
      {"first record over the element's 536,870,905 values",
       "run.dat\n",
       [&](const fs::path& d) {
         WriteSparseRecords(d / "run.dat", 536'870'906, 1);
         WriteFile(d / "run.mat", old_mat);
       },
       " 0\n",
       {"'run.dat'",
        "holds 536870906 values, over the limit of 536870905; --format "
        "v7.3 writes one that MATLAB loads\n"}},
      {"matrix over the element's 536,870,905 values",
       "run.dat\n",
       [&](const fs::path& d) {
         WriteSparseRecords(d / "run.dat", 268'435'453, 2);
         WriteFile(d / "run.mat", old_mat);
       },
       " 0\n",
       {"'run.dat'",
        "holds a matrix over the limit of 536870905 values; --format v7.3 "
        "writes one that MATLAB loads\n"}},
      // Eight bytes of name after the tag: one value fewer.
      {"matrix over the element's limit for a long name",
       "run.dat\n\n\n\n\nvariable\n",
       [&](const fs::path& d) {
         WriteSparseRecords(d / "run.dat", 536'870'905, 1);
         WriteFile(d / "run.mat", old_mat);
       },
       " 118\n",
       {"'run.dat'",
        "holds 536870905 values, over the limit of 536870904; --format "
        "v7.3 writes one that MATLAB loads\n"}},
      // A device that reads as records of no values without end.
      {"an endless character device",
       "/dev/zero\n\n\n\nz.mat\nv\n",
       data_and_old_mat,
       " 118\n",
       {"'/dev/zero'", "more than 50000000 records of no values\n"}},
      // A block device tells its size only when asked (st_size is 0).
      {"a block device holding a matrix over the limit",
       "run.dat\n",
       [&](const fs::path& d) {
         const fs::path image = root_ / "disk.img";
         WriteSparseRecords(image, 268'435'453, 2);
         fs::resize_file(image, (fs::file_size(image) + 511) / 512 * 512);
         loop_device = AttachLoopDevice(image);
         if (loop_device.empty()) {
           std::cout << "no loop device: the block device row reads a "
                        "regular file\n";
           fs::rename(image, d / "run.dat");
         } else {
           fs::create_symlink(loop_device, d / "run.dat");
         }
         WriteFile(d / "run.mat", old_mat);
       },
       " 0\n",
       {"'run.dat'", "limit of 536870905"}},
      // A control file with CRLF line ends: the CR must not move the cursor
      // back over the message.
      {"data file name ending in a CR",
       "run.dat\r\n",
       data_and_old_mat,
       " 0\n",
       {"'run.dat\\r': No such file"}},
      {"data file name holding a terminal command",
       "\x1b[2Jrun.dat\n\n\n\n\nv\n",
       data_and_old_mat,
       " 118\n",
       {"'\\x1b[2Jrun.dat'"}},
      {"empty line 1",
       "\n\n\n\nout\nv\n",
       data_and_old_mat,
       " 118\n",
       {"no data file name: line 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ResetWork();
    c.setup(work_);
    const auto before = Snapshot();
    RunResult r = Run(c.input);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err.rfind("unf2mat: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n")) << r.err;
    EXPECT_TRUE(std::none_of(r.err.begin(), r.err.end() - 1,
                             [](char ch) { return std::iscntrl(ch); }))
        << "a control byte reaches the terminal: " << r.err;
    for (const auto& text : c.err_has) {
      EXPECT_NE(r.err.find(text), std::string::npos) << text << " in " << r.err;
    }
    // Also catches a stray temporary file or a MAT-file under another name.
    EXPECT_EQ(Snapshot(), before);
    // Refused before any large allocation, limits included.
    EXPECT_LT(r.peak_rss, std::size_t{64} << 20);
  }
  if (!loop_device.empty()) {
    EXPECT_EQ(std::system(("losetup -d " + loop_device).c_str()), 0);
  }
}

TEST_F(EndToEndTest, AcceptsDataAtTheLimits) {
  struct {
    const char* label;
    std::uint32_t values;
    int records;
  } const cases[] = {
      {"first record of 10,000,000 values", 10'000'000, 1},
      {"matrix of 50,000,000 values", 2'500'000, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteSparseRecords(In("run.dat"), c.values, c.records);
    ExpectSuccess(Run("run.dat\n"), "0");
    ASSERT_TRUE(fs::exists(In("run.mat")));
    EXPECT_EQ(fs::file_size(In("run.mat")),
              136u + 48 + 8ull * c.values * c.records);
    std::ifstream mat(In("run.mat"), std::ios::binary);
    std::string head(184, '\0');
    mat.read(head.data(), head.size());
    EXPECT_EQ(head, MatHead("run", c.records, c.values));
    fs::remove(In("run.mat"));
  }
}

TEST_F(EndToEndTest, ReplacesLongerFileCompletely) {
  WriteFile(In("run.dat"), DataFile({{1, 2, 3}, {4, 5, 6}}));
  WriteFile(In("run.mat"), std::string(4096, 'x'));
  ExpectSuccess(Run("run.dat\n"), "0");
  EXPECT_EQ(ReadFile(In("run.mat")),
            ExpectedMat("run", {{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(Snapshot().size(), 2u);
}

// The data file is read in full before the MAT-file takes its name.
TEST_F(EndToEndTest, MatFileMayReplaceItsDataFile) {
  WriteFile(In("run.mat"), DataFile({{1, 2, 3}, {4, 5, 6}}));
  ExpectSuccess(Run("run.mat\n"), "0");
  EXPECT_EQ(Snapshot(),
            (std::map<std::string, std::string>{
                {"run.mat", ExpectedMat("run", {{1, 2, 3}, {4, 5, 6}})}}));
}

// A pipe can be read only once, so the converter must not reopen the data file.
TEST_F(EndToEndTest, ReadsDataFromANamedPipe) {
  ASSERT_EQ(::mkfifo(In("run.dat").c_str(), 0600), 0);
  pid_t writer = ::fork();
  if (writer == 0) {
    ::alarm(60);
    WriteFile(In("run.dat"), DataFile({{1, 2, 3}, {4, 5, 6}}));
    ::_exit(0);
  }
  ExpectSuccess(Run("run.dat\n"), "0");
  ::waitpid(writer, nullptr, 0);
  EXPECT_EQ(ReadFile(In("run.mat")),
            ExpectedMat("run", {{1, 2, 3}, {4, 5, 6}}));
}

// A data file's bytes in a framing of its own choosing, built by hand here
// rather than with the builders the unit tests share.
struct Frame {
  std::size_t marker;  // 4 or 8 bytes
  bool big_endian;     // counts and values
};
constexpr Frame kLittle4{4, false}, kBig4{4, true}, kLittle8{8, false},
    kBig8{8, true};

std::string Word(std::uint64_t value, std::size_t size, bool big_endian) {
  std::string bytes(size, '\0');
  for (std::size_t k = 0; k < size; ++k) {
    bytes[big_endian ? size - 1 - k : k] =
        static_cast<char>((value >> (8 * k)) & 0xff);
  }
  return bytes;
}

std::string Values(const std::vector<float>& values, bool big_endian) {
  std::string bytes;
  for (float v : values) {
    bytes += Word(std::bit_cast<std::uint32_t>(v), 4, big_endian);
  }
  return bytes;
}

std::string Rec(const std::vector<float>& values, const Frame& frame) {
  const std::string count =
      Word(4 * values.size(), frame.marker, frame.big_endian);
  return count + Values(values, frame.big_endian) + count;
}

// A record in two subrecords, the first of `cut` bytes: a cut inside a value.
std::string SplitRec(const std::vector<float>& values, const Frame& frame,
                     std::size_t cut) {
  const std::string payload = Values(values, frame.big_endian);
  const std::uint64_t rest = payload.size() - cut;
  auto word = [&](std::int64_t v) {
    return Word(static_cast<std::uint64_t>(v), frame.marker, frame.big_endian);
  };
  const std::int64_t first = static_cast<std::int64_t>(cut);
  const std::int64_t second = static_cast<std::int64_t>(rest);
  return word(-first) + payload.substr(0, cut) + word(first) + word(second) +
         payload.substr(cut) + word(-second);
}

// A data file too large to build in memory: pieces, each `repeat` times
// `head`, `zeros` zero bytes (a hole in a regular file), `tail`.
struct Piece {
  std::string head{};
  std::uint64_t zeros = 0;
  std::string tail{};
  std::uint64_t repeat = 1;
};
using Plan = std::vector<Piece>;

Plan Bytes(std::string bytes) { return {Piece{std::move(bytes)}}; }

Plan EmptyRecords(std::uint64_t count, const Frame& frame) {
  return {Piece{Word(0, frame.marker, frame.big_endian) +
                    Word(0, frame.marker, frame.big_endian),
                0, "", count}};
}

Plan operator+(Plan a, const Plan& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Writes the plan to fd, through a pipe (`sparse` false) or as a regular file
// with holes. Returns false when a write fails.
bool WritePlan(int fd, const Plan& plan, bool sparse) {
  static const std::string zeros(1 << 16, '\0');
  std::string pending;
  std::uint64_t at = 0;  // where pending goes in a regular file
  auto flush = [&] {
    const auto n = static_cast<ssize_t>(pending.size());
    const bool ok = (sparse ? ::pwrite(fd, pending.data(), pending.size(),
                                       static_cast<off_t>(at))
                            : ::write(fd, pending.data(), pending.size())) == n;
    at += pending.size();
    pending.clear();
    return ok;
  };
  auto put = [&](std::string_view bytes) {
    pending += bytes;
    return pending.size() < zeros.size() || flush();
  };
  for (const Piece& piece : plan) {
    for (std::uint64_t k = 0; k < piece.repeat; ++k) {
      if (!put(piece.head)) return false;
      if (sparse && piece.zeros > 0) {
        if (!flush()) return false;
        at += piece.zeros;
      } else {
        for (std::uint64_t left = piece.zeros; left > 0;) {
          const std::size_t n = std::min<std::uint64_t>(left, zeros.size());
          if (!put(std::string_view(zeros).substr(0, n))) return false;
          left -= n;
        }
      }
      if (!put(piece.tail)) return false;
    }
  }
  if (!flush()) return false;
  return !sparse || ::ftruncate(fd, static_cast<off_t>(at)) == 0;
}

// Reports where two large byte strings first differ, and the dimensions
// each holds, rather than the strings.
void ExpectSameBytes(const std::string& got, const std::string& expected) {
  auto dimensions = [](const std::string& mat) {
    if (mat.size() < 168) return std::string("none");
    auto word = [&](std::size_t at) {
      std::uint32_t v = 0;
      for (int k = 3; k >= 0; --k) {
        v = (v << 8) | static_cast<unsigned char>(mat[at + k]);
      }
      return std::to_string(v);
    };
    return word(160) + " x " + word(164);
  };
  const auto diff =
      std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
  EXPECT_TRUE(got == expected)
      << got.size() << " bytes of a " << dimensions(got) << " matrix, expected "
      << expected.size() << " of " << dimensions(expected)
      << "; first difference at byte " << (diff.first - got.begin());
}

Matrix Rows(std::size_t rows, std::size_t columns) {
  Matrix m(rows, std::vector<double>(columns));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      m[r][c] = static_cast<double>(r * columns + c) + 0.5;
    }
  }
  return m;
}

std::string RecordsOf(const Matrix& m, const Frame& frame) {
  std::string bytes;
  for (const auto& row : m) bytes += Rec({row.begin(), row.end()}, frame);
  return bytes;
}

// The record grammar in every framing, from a regular file and from a named
// pipe alike: files larger than the reader's buffer, framings that only a
// late record decides, damaged counts no file can hold, and records over
// 2 GiB as LLVM flang writes them.
TEST_F(EndToEndTest, EveryFramingReadsAlikeFromFilesAndPipes) {
  if (std::endian::native != std::endian::little) {
    GTEST_SKIP() << "the cases name little-endian files as host order";
  }
  // The builders, checked by hand.
  ASSERT_EQ(Rec({1.0f}, kBig4),
            "\x00\x00\x00\x04\x3f\x80\x00\x00\x00\x00\x00\x04"s);
  ASSERT_EQ(Rec({-2.0f}, kLittle8),
            "\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xc0"
            "\x04\x00\x00\x00\x00\x00\x00\x00"s);
  ASSERT_EQ(Rec({}, kBig8), std::string(16, '\0'));
  ASSERT_EQ(Word(0x80000004u, 4, false), "\x04\x00\x00\x80"s);
  ASSERT_EQ(Word(std::uint64_t{1} << 50, 8, false),
            "\x00\x00\x00\x00\x00\x00\x04\x00"s);

  enum Sources { kFile = 1, kPipe = 2, kBoth = 3 };
  const Matrix grid300 = Rows(300, 1000);
  const Matrix grid100k = Rows(100'000, 3);
  const Matrix grid2100 = Rows(2'100, 2'100);
  const Matrix grid5000 = Rows(5'000, 1'000);
  const Matrix wide5 = Rows(5, 1'000'000);
  const std::string three = Rec({1, 2, 3}, kBig4);
  // 2,147,483,652 bytes, its count's top bit set in both markers.
  const std::uint64_t flang_bytes = 2'147'483'652;
  const std::string flang_count = Word(flang_bytes, 4, false);
  struct Case {
    const char* label;
    Plan data;
    int sources;
    Matrix expected;
    bool warns = false;
    // Where loading stops early, what the warning says of it, and the bytes
    // a regular file leaves unread (a pipe's rest is not known).
    std::string stop_at = "";
    std::uint64_t unread = 0;
    // A record longer than the first: the warning of the bytes not read.
    std::string longer = "";
  } const cases[] = {
      {"big-endian, 300 records of 1000 values",
       Bytes(RecordsOf(grid300, kBig4)), kBoth, grid300},
      // A pipe past the memory it is kept in goes to a temporary file.
      {"big-endian, 5,000 records of 1000 values, 20 MB",
       Bytes(RecordsOf(grid5000, kBig4)), kBoth, grid5000},
      {"big-endian, 131,072 empty records, then one of 3 values",
       EmptyRecords(131'072, kBig4) + Bytes(three), kBoth, Matrix(131'073),
       false, "", 0,
       "record 131073 of data file 'run.dat' holds 12 bytes more than the "
       "first record's 0 values, which were not read"},
      {"big-endian, 140,000 empty records, then one of 3 values",
       EmptyRecords(140'000, kBig4) + Bytes(three), kBoth, Matrix(140'001),
       false, "", 0,
       "record 140001 of data file 'run.dat' holds 12 bytes more than the "
       "first record's 0 values, which were not read"},
      {"8-byte big-endian, 131,071 empty records, then one of 3 values",
       EmptyRecords(131'071, kBig8) + Bytes(Rec({1, 2, 3}, kBig8)), kBoth,
       Matrix(131'072), false, "", 0,
       "record 131072 of data file 'run.dat' holds 12 bytes more than the "
       "first record's 0 values, which were not read"},
      {"8-byte host order, then a count damaged into 2^50",
       Bytes(Rec({1, 2}, kLittle8) + Rec({3, 4}, kLittle8) +
             Word(std::uint64_t{1} << 50, 8, false) + std::string(40, 'x')),
       kBoth, Matrix{{1, 2}, {3, 4}}, true,
       "record 3, whose framing is damaged, at byte offset 48", 48},
      {"big-endian, a shorter record ends the matrix",
       Bytes(Rec({1, 2, 3}, kBig4) + Rec({4, 5, 6}, kBig4) +
             Rec({7, 8}, kBig4) + Rec({9, 10, 11}, kBig4)),
       kBoth, Matrix{{1, 2, 3}, {4, 5, 6}}, true,
       "record 3, which holds 2 values, fewer than the first record's 3", 36},
      {"big-endian, 100,000 records of 3 values",
       Bytes(RecordsOf(grid100k, kBig4)), kBoth, grid100k},
      // More than one tile of the staging: bands of whole rows, then tiles
      // of whole columns.
      {"2,100 records of 2,100 values", Bytes(RecordsOf(grid2100, kLittle4)),
       kBoth, grid2100},
      {"5 records of 1,000,000 values", Bytes(RecordsOf(wide5, kBig8)), kBoth,
       wide5},
      {"records split into subrecords inside a value",
       Bytes(SplitRec({1, 2, 3}, kBig4, 5) + SplitRec({4, 5, 6}, kBig4, 5) +
             SplitRec({7, 8, 9}, kBig4, 9)),
       kBoth, Matrix{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}},
      {"records longer than the first, of changing lengths",
       Bytes(Rec({1, 2}, kLittle8) + Rec({3, 4, 5}, kLittle8) +
             Rec({6, 7, 8, 9}, kLittle8) + Rec({10, 11}, kLittle8) +
             Rec({12, 13, 14}, kLittle8)),
       kBoth, Matrix{{1, 2}, {3, 4}, {6, 7}, {10, 11}, {12, 13}}, false, "", 0,
       "record 2 of data file 'run.dat' holds 4 bytes more than the first "
       "record's 2 values, which were not read; 2 more records do too, 16 "
       "bytes in all"},
      {"8-byte host order, 100,000 records of 3 values",
       Bytes(RecordsOf(grid100k, kLittle8)), kBoth, grid100k},
      {"8-byte big-endian, 100,000 records of 3 values",
       Bytes(RecordsOf(grid100k, kBig8)), kBoth, grid100k},
      {"a record over 2 GiB as LLVM flang writes it",
       Bytes(Rec({1, 2, 3}, kLittle4)) +
           Plan{Piece{flang_count + Values({4, 5, 6}, false), flang_bytes - 12,
                      flang_count}} +
           Bytes(Rec({7, 8, 9}, kLittle4)),
       kFile, Matrix{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, false, "", 0,
       "record 2 of data file 'run.dat' holds 2147483640 bytes more than "
       "the first record's 3 values, which were not read"},
      // Counts that agree but run past the end: no framing fits.
      {"no framing fits",
       Bytes(Word(16, 4, false) + "abcd" + Word(16, 4, false)), kBoth, Matrix{},
       true},
      // Two empty 4-byte records read as one empty 8-byte record too.
      {"only empty records", Bytes(Rec({}, kLittle4) + Rec({}, kLittle4)),
       kBoth, Matrix(2), true},
  };
  const std::string old_mat = "an older MAT-file";
  const std::string proposes =
      "; unf2mat --describe may propose a command that reads it whole";
  for (const Case& c : cases) {
    for (int source : {kFile, kPipe}) {
      if ((c.sources & source) == 0) continue;
      SCOPED_TRACE(std::string(c.label) +
                   (source == kFile ? ", regular file" : ", named pipe"));
      ResetWork();
      WriteFile(In("run.mat"), old_mat);
      pid_t writer = -1;
      if (source == kFile) {
        int fd = ::open(In("run.dat").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WritePlan(fd, c.data, /*sparse=*/true));
        ::close(fd);
      } else {
        ASSERT_EQ(::mkfifo(In("run.dat").c_str(), 0600), 0);
        writer = ::fork();
        if (writer == 0) {
          ::alarm(60);
          int fd = ::open(In("run.dat").c_str(), O_WRONLY);
          // A converter that stops reading ends the writer with SIGPIPE.
          ::_exit(fd >= 0 && WritePlan(fd, c.data, /*sparse=*/false) ? 0 : 1);
        }
      }
      RunResult r = Run("run.dat\n");
      if (writer > 0) ::waitpid(writer, nullptr, 0);
      if (c.warns) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, " 0\n" + kDone);
        EXPECT_EQ(r.err.rfind("unf2mat: warning: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.err.ends_with("\n")) << r.err;
        if (!c.stop_at.empty()) {
          EXPECT_EQ(
              r.err,
              "unf2mat: warning: loading of data file 'run.dat' stopped "
              "at " +
                  c.stop_at + "; " +
                  (source == kFile ? std::to_string(c.unread) +
                                         " bytes of the file were not read"
                                   : "the rest of the file was not read") +
                  (c.stop_at.find("fewer than the first record") !=
                           std::string::npos
                       ? proposes
                       : "") +
                  "\n");
        }
        ExpectSameBytes(ReadFile(In("run.mat")),
                        ExpectedMat("run", c.expected));
      } else {
        ExpectSuccess(r, "0",
                      c.longer.empty()
                          ? ""
                          : "unf2mat: warning: " + c.longer + proposes + "\n");
        ExpectSameBytes(ReadFile(In("run.mat")),
                        ExpectedMat("run", c.expected));
      }
      std::vector<std::string> names;
      for (const auto& e : fs::directory_iterator(work_)) {
        names.push_back(e.path().filename());
      }
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, (std::vector<std::string>{"run.dat", "run.mat"}))
          << "a stray file";
    }
  }
}

template <typename T>
std::string HostRecord(const std::vector<T>& values) {
  return FramedRecord(std::string_view(
      reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T)));
}

// Argument lines against the files, names, output and exit status they give;
// the names follow the control lines' rules, unit-tested in full.
TEST_F(EndToEndTest, CommandLineRunsAsTheControlLinesWould) {
  if (std::endian::native != std::endian::little) {
    GTEST_SKIP() << "the cases name little-endian files as host order";
  }
  using Files = std::map<std::string, std::string>;
  const std::string two = DataFile({{1, 2}, {3, 4}});
  const std::string short_file = DataFile({{1, 2}, {3, 4}, {5}, {6, 7}});
  const std::string damaged =
      WithByteFlipped(DataFile({{1, 2}, {3, 4}, {5, 6}}), 44);
  const std::string real8 =
      HostRecord<double>({1000.0 / 3, -2.0 / 7, 12.125, 1e5 / 9}) +
      HostRecord<double>({0.1, 4.0 / 3, -7.0 / 11, 2.0 / 13});
  const std::string int4 = HostRecord<std::int32_t>({7, -8, 2147483647}) +
                           HostRecord<std::int32_t>({-2147483647 - 1, 0, 1});
  const std::string usage = "; see 'unf2mat --help'\n";
  const std::string stop_warning =
      "unf2mat: warning: loading of data file 'short.dat' stopped at record "
      "3, which holds 1 value, fewer than the first record's 2; 28 bytes of "
      "the file were not read; unf2mat --describe may propose a command that "
      "reads it whole\n";
  const std::string name_warning =
      "unf2mat: warning: variable name 'data/r1' is not one MATLAB accepts (a "
      "letter, then letters, digits or underscores, at most 63 in all); it is "
      "written unchanged\n";
  const std::string d81(81, 'd');
  // A header record of two int4, then records of 6 real4; and two files of
  // a real8 time and records of 2 real4.
  const std::string hdr = HostRecord<std::int32_t>({2, 3}) +
                          HostRecord<float>({1, 2, 3, 4, 5, 6}) +
                          HostRecord<float>({7, 8, 9, 10, 11, 12});
  const std::string step1 =
      HostRecord<double>({0.5}) + HostRecord<float>({1, 2});
  const std::string step2 = HostRecord<double>({1.5}) +
                            HostRecord<float>({3, 4}) +
                            HostRecord<float>({5, 6});
  const std::string big = HostRecord<std::int64_t>({1, 9007199254740993, -5});
  // A count of 300001 records, of which 300000 are written, one of them in
  // the place of two: taken by the file's size, the records would end one
  // later.
  Records merged(300000, {0, 1});
  merged[150000] = {0, 1, 0, 1, 0, 1};
  merged.erase(merged.begin() + 150001);
  const std::string counted_short =
      HostRecord<std::int32_t>({300001}) + DataFile(merged);
  auto doubles = [](const std::vector<double>& v) { return LeValues(v); };
  const std::string a_2x3x2 = MatElement(
      "a", 6, 9, {2, 3, 2}, doubles({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  struct Case {
    std::vector<std::string> args;
    Files data;
    int status;
    std::string out, err;
    Files made;
    std::string stdin_data = "";
  } const cases[] = {
      {{"a.dat", "b.dat", "c.dat"},
       {{"a.dat", two}, {"b.dat", kSmallData}, {"c.dat", two}},
       0,
       "",
       "",
       {{"a.mat", ExpectedMat("a", {{1, 2}, {3, 4}})},
        {"b.mat", ExpectedMat("b", {{1, 2}})},
        {"c.mat", ExpectedMat("c", {{1, 2}, {3, 4}})}}},
      {{"-v", "run.dat"},
       {{"run.dat", two}},
       0,
       "run.dat -> run.mat: 2 x 2, variable run\n",
       "",
       {{"run.mat", ExpectedMat("run", {{1, 2}, {3, 4}})}}},
      {{"-o", "out", "--name=steps", "run.dat"},
       {{"run.dat", two}},
       0,
       "",
       "",
       {{"out.mat", ExpectedMat("steps", {{1, 2}, {3, 4}})}}},
      {{"data/r1.dat"},
       {{"data/", ""}, {"data/r1.dat", two}},
       0,
       "",
       name_warning,
       {{"data/r1.mat", ExpectedMat("data/r1", {{1, 2}, {3, 4}})}}},
      {{"-q", "data/r1.dat", "short.dat"},
       {{"data/", ""}, {"data/r1.dat", two}, {"short.dat", short_file}},
       0,
       "",
       "",
       {{"data/r1.mat", ExpectedMat("data/r1", {{1, 2}, {3, 4}})},
        {"short.mat", ExpectedMat("short", {{1, 2}, {3, 4}})}}},
      {{"short.dat"},
       {{"short.dat", short_file}},
       0,
       "",
       stop_warning,
       {{"short.mat", ExpectedMat("short", {{1, 2}, {3, 4}})}}},
      // A failure is said, and the next file still converted.
      {{"missing.dat", "./run.dat", d81, "run.dat"},
       {{"run.dat", two}},
       1,
       "",
       "unf2mat: cannot open data file 'missing.dat': No such file or "
       "directory\n"
       "unf2mat: no variable name: the data file name './run.dat' has an "
       "empty base name; give one with --name\n"
       "unf2mat: the data file name '" +
           d81 + "' is longer than the 80 characters a name may have\n",
       {{"run.mat", ExpectedMat("run", {{1, 2}, {3, 4}})}}},
      {{"-t", "real8", "-v", "d.dat"},
       {{"d.dat", real8}},
       0,
       "d.dat -> d.mat: 2 x 4, variable d\n",
       "",
       {{"d.mat", ExpectedMat("d", {{1000.0 / 3, -2.0 / 7, 12.125, 1e5 / 9},
                                    {0.1, 4.0 / 3, -7.0 / 11, 2.0 / 13}})}}},
      {{"--type=int4", "i.dat"},
       {{"i.dat", int4}},
       0,
       "",
       "",
       {{"i.mat",
         ExpectedMat("i", {{7, -8, 2147483647}, {-2147483648.0, 0, 1}})}}},
      {{"--describe", "short.dat", "damaged.dat", "d.dat"},
       {{"short.dat", short_file}, {"damaged.dat", damaged}, {"d.dat", real8}},
       0,
       "short.dat\n"
       "  framing: 4-byte little-endian markers\n"
       "  subrecords: none\n"
       "  records: 4\n"
       "  length: 8 bytes in 3 records, first record 1\n"
       "  length: 4 bytes in 1 record, first record 3\n"
       "  matrix: 2 x 2 of real4 values\n"
       "  stop: record 3, which holds 1 value, fewer than the first "
       "record's 2\n"
       "  unread: 28 bytes\n"
       "damaged.dat\n"
       "  framing: 4-byte little-endian markers\n"
       "  subrecords: none\n"
       "  records: 2\n"
       "  length: 8 bytes in 2 records, first record 1\n"
       "  matrix: 2 x 2 of real4 values\n"
       "  stop: record 3, whose framing is damaged, at byte offset 32\n"
       "  unread: 16 bytes\n"
       "d.dat\n"
       "  framing: 4-byte little-endian markers\n"
       "  subrecords: none\n"
       "  records: 2\n"
       "  length: 32 bytes in 2 records, first record 1\n"
       "  matrix: 2 x 8 of real4 values\n"
       "  stop: none, the whole file loads\n"
       "  unread: 0 bytes\n"
       "  hint: the values look like REAL*8, not REAL*4: --type real8 reads "
       "them so\n"
       "  suggest: unf2mat --type real8 d.dat\n",
       "",
       {}},
      // A usage error (each one is unit-tested) converts nothing.
      {{"--bogus", "run.dat"},
       {{"run.dat", two}},
       2,
       "",
       "unf2mat: unknown option '--bogus'" + usage,
       {}},
      // Files that say they are empty are read to their end: what they hold
      // is converted or refused, and a failed read is an error.
      {{"-q", "-o", "out", "/proc/self/mem"},
       {},
       1,
       "",
       "unf2mat: cannot read data file '/proc/self/mem': Input/output error\n",
       {}},
      {{"-o", "out", "-n", "v", "/proc/self/cmdline"},
       {},
       0,
       "",
       "unf2mat: warning: data file '/proc/self/cmdline' is not a Fortran "
       "unformatted sequential file as far as its first record shows: no "
       "record framing fits it; reading it with 4-byte little-endian "
       "markers\n",
       {{"out.mat", ExpectedMat("v", {})}}},
      // '-' is standard input; the variable is named after the MAT-file.
      {{"-v", "-o", "out", "-"},
       {},
       0,
       "- -> out.mat: 2 x 2, variable out\n",
       "",
       {{"out.mat", ExpectedMat("out", {{1, 2}, {3, 4}})}},
       two},
      // Headers, layouts, classes and several files.
      {{"-v", "--skip", "1", "--dims", "2x3", "-n", "a", "hdr.dat"},
       {{"hdr.dat", hdr}},
       0,
       "hdr.dat -> hdr.mat: variables a 2 x 3 x 2\n",
       "",
       {{"hdr.mat", MatFileOf({a_2x3x2})}}},
      {{"--header", "nx:int4,ny:int4", "--record=a:real4(2,3)",
        "--class=native", "hdr.dat"},
       {{"hdr.dat", hdr}},
       0,
       "",
       "",
       {{"hdr.mat",
         MatFileOf({MatElement("nx", 12, 5, {1, 1}, LeValues<int>({2})),
                    MatElement("ny", 12, 5, {1, 1}, LeValues<int>({3})),
                    MatElement("a", 7, 7, {2, 3, 2},
                               LeValues<float>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                                11, 12}))})}}},
      {{"--record", "_:int4,a:real4", "--class", "single", "hdr.dat"},
       {{"hdr.dat", hdr}},
       0,
       "",
       "unf2mat: warning: record 2 of data file 'hdr.dat' holds 16 bytes "
       "more than the record layout reads, which were not read; 1 more record "
       "does too, 32 bytes in all\n",
       // The header's int 3 read as a real4 keeps its bits.
       {{"hdr.mat", MatFileOf({MatElement(
                        "a", 7, 7, {3, 1},
                        LeValues<int>({3}) + LeValues<float>({2, 8}))})}}},
      // Values of the other byte order, records split into subrecords.
      {{"--header", "nx:real4,ny:real4", "--record", "a:real4(2,3)", "--class",
        "native", "be.dat"},
       {{"be.dat",
         FramedFile({{2, 3}, {1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}},
                    {4, true}, 8)}},
       0,
       "",
       "",
       {{"be.mat",
         MatFileOf({MatElement("nx", 7, 7, {1, 1}, LeValues<float>({2})),
                    MatElement("ny", 7, 7, {1, 1}, LeValues<float>({3})),
                    MatElement("a", 7, 7, {2, 3, 2},
                               LeValues<float>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                                11, 12}))})}}},
      // Only the names written are warned about: here the field's.
      {{"--record", "a:real4(2)", "data/r1.dat"},
       {{"data/", ""}, {"data/r1.dat", two}},
       0,
       "",
       "",
       {{"data/r1.mat",
         MatFileOf({MatElement("a", 6, 9, {2, 2}, doubles({1, 2, 3, 4}))})}}},
      // One record of a 2 x 3 array is a 2 x 3 matrix, as MATLAB keeps it.
      {{"--record", "a:real4(2,3)", "one.dat"},
       {{"one.dat", DataFile({{1, 2, 3, 4, 5, 6}})}},
       0,
       "",
       "",
       {{"one.mat", MatFileOf({MatElement("a", 6, 9, {2, 3},
                                          doubles({1, 2, 3, 4, 5, 6}))})}}},
      {{"--describe", "hdr.dat", "--skip=1", "--record", "a:real4(2,*)"},
       {{"hdr.dat", hdr}},
       0,
       "hdr.dat\n"
       "  framing: 4-byte little-endian markers\n"
       "  subrecords: none\n"
       "  records: 3\n"
       "  length: 8 bytes in 1 record, first record 1\n"
       "  length: 24 bytes in 2 records, first record 2\n"
       "  variable: a, 2 x 3 x 2, double\n"
       "  stop: none, the whole file loads\n"
       "  unread: 0 bytes\n",
       "",
       {}},
      {{"--describe", "hdr.dat"},
       {{"hdr.dat", hdr}},
       0,
       "hdr.dat\n"
       "  framing: 4-byte little-endian markers\n"
       "  subrecords: none\n"
       "  records: 3\n"
       "  length: 8 bytes in 1 record, first record 1\n"
       "  length: 24 bytes in 2 records, first record 2\n"
       "  matrix: 3 x 2 of real4 values\n"
       "  stop: none, the whole file loads\n"
       "  unread: 0 bytes\n"
       "  suggest: unf2mat --layout 'record nx, ny: int4; repeat { record a: "
       "real4(nx, ny) }' hdr.dat\n",
       "",
       {}},
      {{"-o", "all", "a.dat", "b.dat"},
       {{"a.dat", two}, {"b.dat", kSmallData}},
       0,
       "",
       "",
       {{"all.mat",
         MatFileOf({MatElement("a", 6, 9, {2, 2}, doubles({1, 3, 2, 4})),
                    MatElement("b", 6, 9, {1, 2}, doubles({1, 2}))})}}},
      {{"--join", "--header", "t:real8", "--record", "u:real4(2)", "-o", "s",
        "s1.dat", "s2.dat"},
       {{"s1.dat", step1}, {"s2.dat", step2}},
       0,
       "",
       "",
       {{"s.mat", MatFileOf({MatElement("t", 6, 9, {2, 1}, doubles({0.5, 1.5})),
                             MatElement("u", 6, 9, {2, 3},
                                        doubles({1, 2, 3, 4, 5, 6}))})}}},
      {{"-o", "x", "--header", "t:real8", "--record", "u:real4(2)", "s1.dat",
        "s2.dat"},
       {{"s1.dat", step1}, {"s2.dat", step2}},
       0,
       "",
       "",
       {{"x.mat", MatFileOf({MatElement("s1_t", 6, 9, {1, 1}, doubles({0.5})),
                             MatElement("s1_u", 6, 9, {2, 1}, doubles({1, 2})),
                             MatElement("s2_t", 6, 9, {1, 1}, doubles({1.5})),
                             MatElement("s2_u", 6, 9, {2, 2},
                                        doubles({3, 4, 5, 6}))})}}},
      {{"--join", "a.dat", "run.dat"},
       {{"a.dat", two}, {"run.dat", DataFile({{1, 2, 3}})}},
       1,
       "",
       "unf2mat: data file 'run.dat' does not agree with 'a.dat': its records "
       "hold 3 values, against 2; files joined must agree\n",
       {}},
      // A narrower file would read its rows past their records.
      {{"--join", "run.dat", "a.dat"},
       {{"a.dat", two}, {"run.dat", DataFile({{1, 2, 3}})}},
       1,
       "",
       "unf2mat: data file 'a.dat' does not agree with 'run.dat': its records "
       "hold 2 values, against 3; files joined must agree\n",
       {}},
      {{"-o", "all", "-n", "x", "a.dat", "b.dat"},
       {{"a.dat", two}, {"b.dat", two}},
       1,
       "",
       "unf2mat: variable name 'x' would be given twice in MAT-file 'all.mat'; "
       "nothing was written\n",
       {}},
      {{"--record", "a:real4(2)", "short.dat"},
       {{"short.dat", short_file}},
       0,
       "",
       "unf2mat: warning: loading of data file 'short.dat' stopped at record "
       "3, which holds 4 bytes, fewer than the 8 the record layout reads; 28 "
       "bytes of the file were not read\n",
       {{"short.mat",
         MatFileOf({MatElement("a", 6, 9, {2, 2}, doubles({1, 2, 3, 4}))})}}},
      {{"--record", "n:int8(3)", "big.dat"},
       {{"big.dat", big}},
       1,
       "",
       "unf2mat: record 1 of data file 'big.dat' holds in field 'n' the int8 "
       "value 9007199254740993, which a double does not hold exactly; --class "
       "native keeps it\n",
       {}},
      {{"--record", "n:int8(3)", "--class", "native", "big.dat"},
       {{"big.dat", big}},
       0,
       "",
       "",
       {{"big.mat", MatFileOf({MatElement(
                        "n", 14, 12, {3, 1},
                        LeValues<std::int64_t>({1, 9007199254740993, -5}))})}}},
      // At once, each in a process of its own: messages in file order.
      {{"-v", "-j", "2", "a.dat", "missing.dat", "b.dat", "c.dat", "short.dat"},
       {{"a.dat", two},
        {"b.dat", kSmallData},
        {"c.dat", two},
        {"short.dat", short_file}},
       1,
       "a.dat -> a.mat: 2 x 2, variable a\n"
       "b.dat -> b.mat: 1 x 2, variable b\n"
       "c.dat -> c.mat: 2 x 2, variable c\n"
       "short.dat -> short.mat: 2 x 2, variable short\n",
       "unf2mat: cannot open data file 'missing.dat': No such file or "
       "directory\n" +
           stop_warning,
       {{"a.mat", ExpectedMat("a", {{1, 2}, {3, 4}})},
        {"b.mat", ExpectedMat("b", {{1, 2}})},
        {"c.mat", ExpectedMat("c", {{1, 2}, {3, 4}})},
        {"short.mat", ExpectedMat("short", {{1, 2}, {3, 4}})}}},
      {{"--layout", "record n: int4; repeat n { record a: real4(2) }",
        "run.dat"},
       {{"run.dat", counted_short}},
       1,
       "",
       "unf2mat: data file 'run.dat' does not hold what --layout reads: the "
       "end of the file, where the statement on line 1 of --layout reads "
       "record 300001\n",
       {}},
      // Records no variable reads are checked when the MAT-file is whole.
      {{"--layout", "record n: int4; repeat { record _: real4(2) }", "run.dat"},
       {{"run.dat", counted_short}},
       0,
       "",
       "unf2mat: warning: record 150002 of data file 'run.dat' holds 16 bytes "
       "more than the record on line 1 of --layout reads, which were not "
       "read\n",
       {{"run.mat", MatFileOf({MatElement("n", 6, 9, {1, 1},
                                          LeValues<double>({300001}))})}}},
      {{"--format", "v7.3", "-q", "-o", "data/x", "-"},
       {{"data/", ""}},
       1,
       "",
       "unf2mat: v7.3 cannot name a variable 'data/x', as HDF5 reads a '/' "
       "in a name as a path; give another with --name\n",
       {},
       two},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    ResetWork();
    for (const auto& [name, bytes] : c.data) {
      if (name.ends_with("/")) {
        fs::create_directory(In(name));
      } else {
        WriteFile(In(name), bytes);
      }
    }
    RunOptions options;
    options.args = c.args;
    RunResult r = Run(c.stdin_data, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    Files expected = c.data;
    for (auto& [name, bytes] : expected) {
      if (bytes.size() > (1u << 20))
        bytes = "size " + std::to_string(bytes.size());
    }
    expected.insert(c.made.begin(), c.made.end());
    EXPECT_EQ(Snapshot(), expected);
  }
}

#ifdef UNF2MAT_HAVE_ZLIB
// The elements of a v7 file, each miCOMPRESSED element inflated by zlib.
std::string Inflated(const std::string& file) {
  std::string elements;
  for (std::size_t at = 128; at + 8 <= file.size();) {
    std::uint32_t type, bytes;
    std::memcpy(&type, file.data() + at, 4);
    std::memcpy(&bytes, file.data() + at + 4, 4);
    EXPECT_EQ(type, 15u) << "at " << at;
    if (type != 15) return "";
    std::vector<unsigned char> out(std::size_t{64} << 20);
    uLongf got = out.size();
    EXPECT_EQ(
        uncompress(out.data(), &got,
                   reinterpret_cast<const Bytef*>(file.data() + at + 8), bytes),
        Z_OK);
    elements.append(reinterpret_cast<const char*>(out.data()), got);
    at += 8 + bytes;  // not padded
  }
  return elements;
}
#endif

// Each format holds what v6 does: v7 its elements, each compressed (in order,
// or through a scratch file where the rows are many), v7.3 an HDF5 file
// behind the MAT header; the interop tests read their values back.
TEST_F(EndToEndTest, FormatsHoldTheSameArrays) {
  std::string header73 =
      "MATLAB 7.3 MAT-file, Platform: LNX86, Created on: Wed Oct 13 22:44:21 "
      "1999 HDF5 schema 1.00 .";
  header73.resize(124, ' ');  // text and subsystem offset, blank-padded
  header73 += "\x00\x02IM"s;
  const struct {
    std::vector<std::string> args;
    std::string data;
  } cases[] = {
      {{"--header", "n:int4", "--record", "u:real4(2)", "--class", "native"},
       HostRecord<std::int32_t>({2}) + DataFile({{1, 2}, {3, 4}})},
      {{}, DataFile(Records(300000, {0.5f, -1.25f}))},  // bands of rows
      {{"--level", "9"}, DataFile({{1, 2, 3}})},
      {{}, ""},  // an empty array
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "plain" : c.args[0]);
    ResetWork();
    WriteFile(In("run.dat"), c.data);
    std::map<std::string, std::string> made;
    for (const std::string format : {"v6", "v7", "v7.3"}) {
      RunOptions options;
      options.args = c.args;
      if (format == "v6" && !c.args.empty() && c.args[0] == "--level") {
        options.args.clear();
      }
      options.args.insert(options.args.end(),
                          {"--format", format, "-o", format, "run.dat"});
      const RunResult r = Run("", options);
      ASSERT_EQ(r.status, 0) << r.err;
      made[format] = ReadFile(In(format + ".mat"));
    }
    EXPECT_EQ(made["v7"].substr(0, 128), made["v6"].substr(0, 128));
#ifdef UNF2MAT_HAVE_ZLIB
    EXPECT_TRUE(Inflated(made["v7"]) == made["v6"].substr(128))
        << "v7's elements differ from v6's";
#endif
    EXPECT_EQ(made["v7.3"].substr(0, 128), header73);
    EXPECT_EQ(made["v7.3"].substr(512, 8), "\x89HDF\r\n\x1a\n");
  }
}

// The same MAT-file from the command line as from control lines with lines 5
// and 6 blank; --help answers at once, without reading standard input.
TEST_F(EndToEndTest, CommandLineMatchesTheControlLines) {
  WriteFile(In("run.dat"), DataFile({{1, 2, 3}, {4, 5, 6}}));
  ExpectSuccess(Run("run.dat\n\n\n\n\n\n"), "32");
  const std::string from_lines = ReadFile(In("run.mat"));
  fs::remove(In("run.mat"));
  RunOptions options;
  options.args = {"run.dat"};
  RunResult r = Run("", options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(In("run.mat")), from_lines);
  options.args = {"--help"};
  r = Run("run.dat\n", options);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.starts_with("usage: unf2mat [OPTIONS] DATAFILE...\n"));
  EXPECT_EQ(r.err, "");
}

TEST_F(EndToEndTest, NewFileModeFollowsUmask) {
  const struct {
    mode_t mask, mode;
  } cases[] = {{022, 0644}, {077, 0600}, {0, 0666}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    ResetWork();
    WriteFile(In("run.dat"), kSmallData);
    RunOptions options;
    options.mask = c.mask;
    ExpectSuccess(Run("run.dat\n", options), "0");
    struct stat st;
    ASSERT_EQ(::stat(In("run.mat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
  }
}

}  // namespace
}  // namespace unf2mat::test
