// Runs the built converter as a process, each case in a fresh directory, and
// checks its console output, exit status and the files it leaves behind.
#include "tests/end_to_end.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
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
  struct Case {
    const char* label;
    std::string data;
    Matrix expected;
  } cases[] = {
      {"longer records give their first values",
       DataFile({{1, 2}, {3, 4, 5}, {6, 7}}),
       {{1, 2}, {3, 4}, {6, 7}}},
      {"a shorter record ends the matrix",
       DataFile({{1, 2}, {3, 4}, {5}, {6, 7}}), two_rows},
      // The trailing count of the third record.
      {"damaged framing ends it", WithByteFlipped(three, 44), two_rows},
      {"a file cut inside a record ends it", Truncated(three, 40), two_rows},
      {"a first count not a multiple of four", odd_first, two_rows},
      {"an empty data file", "", {}},
      // Rows of no values: a 6 x 0 matrix.
      {"an empty first record", DataFile({{}, {1}, {}, {2, 3}, {}, {}}),
       Matrix(6)},
      {"values widened exactly",
       DataFile({{0.1f, 1e-40f}, {-3.5f, 3.4e38f}}),
       {{0.1f, 1e-40f}, {-3.5f, 3.4e38f}}},
      // Markers no writer makes: a count near 2^32, read as a negative one.
      {"an impossible first marker", huge + std::string(64, '\0'), {}},
      {"an impossible later marker",
       DataFile({{1, 2}}) + huge + std::string(64, '\0'),
       {{1, 2}}},
      {"impossible markers around a record",
       DataFile({{1, 2}}) + huge + std::string(16, '\0') + huge,
       {{1, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ResetWork();
    WriteFile(In("run.dat"), c.data);
    ExpectSuccess(Run("run.dat\n"), "0");
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
      {"first record over 10,000,000 values",
       "run.dat\n",
       [&](const fs::path& d) {
         WriteSparseRecords(d / "run.dat", 10'000'001, 1);
         WriteFile(d / "run.mat", old_mat);
       },
       " 0\n",
       {"'run.dat'", "holds 10000001 values, over the limit of 10000000\n"}},
      // 50 of these records fill the matrix exactly; the 51st is one too many.
      {"matrix over 50,000,000 values",
       "run.dat\n",
       [&](const fs::path& d) {
         WriteSparseRecords(d / "run.dat", 1'000'000, 51);
         WriteFile(d / "run.mat", old_mat);
       },
       " 0\n",
       {"'run.dat'", "limit of 50000000"}},
      // 19 x 2,631,579 is 50,000,001 values: one too many.
      {"matrix of 50,000,001 values",
       "run.dat\n",
       [&](const fs::path& d) {
         WriteSparseRecords(d / "run.dat", 2'631'579, 19);
         WriteFile(d / "run.mat", old_mat);
       },
       " 0\n",
       {"'run.dat'", "holds a matrix over the limit of 50000000 values\n"}},
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
         WriteSparseRecords(image, 1'000'000, 51);
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
       {"'run.dat'", "limit of 50000000"}},
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
