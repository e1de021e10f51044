#include "converter/control.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "common/run_error.h"
#include "converter/run.h"
#include "tests/fake_files.h"
#include "tests/test_util.h"

namespace unf2mat {
namespace {

using test::MemoryInputFile;
using test::StringOutputFile;

using namespace std::string_literals;

struct ControlRun {
  RunState& state;
  std::string out;
  std::string err;
};

ControlRun ReadControl(InputFile& input) {
  RunState& state = test::FreshState();
  LineReader in(input);
  StringOutputFile out, err;
  Console console{in, out, err};
  readcontrol(state, console);
  return {state, out.data(), err.data()};
}

ControlRun ReadControl(const std::string& text) {
  MemoryInputFile input(text);
  return ReadControl(input);
}

std::string Lines(const std::string& line1, const std::string& line5,
                  const std::string& line6) {
  return line1 + "\n2\n3\n4\n" + line5 + "\n" + line6 + "\n";
}

struct NameCase {
  const char* name;
  std::string input;
  std::string mat_file;
  std::string variable;
  std::string echo;
};

TEST(ControlTest, SettlesTheNames) {
  const std::string long_name(80, 'v');
  const NameCase cases[] = {
      {"defaults", Lines("run.dat", "", ""), "run.mat", "run", " 32\n"},
      {"mat name gets its suffix", Lines("run.dat", "out", "v"), "out.mat", "v",
       " 118\n"},
      {"suffix kept", Lines("run.dat", "out.mat", "v"), "out.mat", "v",
       " 118\n"},
      {"suffix compared exactly", Lines("run.dat", "out.MAT", "v"),
       "out.MAT.mat", "v", " 118\n"},
      {"bare suffix is a name", Lines("run.dat", ".mat", "v"), ".mat.mat", "v",
       " 118\n"},
      {"short name", Lines("run.dat", "a", "v"), "a.mat", "v", " 118\n"},
      {"mat name cut at a blank", Lines("run.dat", "my file.mat", "v"),
       "my.mat", "v", " 118\n"},
      {"directory stays in the base name", Lines("data/r1.dat", "", ""),
       "data/r1.mat", "data/r1", " 32\n"},
      {"base name ends at the first dot", Lines("v1.2/x.dat", "", "v"),
       "v1.mat", "v", " 118\n"},
      {"empty base name", Lines("./run.dat", "", "name"), ".mat", "name",
       " 110\n"},
      {"leading blank on line 1", Lines(" run.dat", "", "name"), ".mat", "name",
       " 110\n"},
      {"leading blank on line 5", Lines("run.dat", " out", "v"), "run.mat", "v",
       " 118\n"},
      {"leading blank on line 6", Lines("run.dat", "", " name"), "run.mat",
       "run", " 32\n"},
      {"variable name cut at a blank", Lines("run.dat", "", "ab cd"), "run.mat",
       "ab", " 97\n"},
      {"input ends after line 1", "run.dat\n", "run.mat", "run", " 0\n"},
      {"line 1 without a newline", "run.dat", "run.mat", "run", " 0\n"},
      {"input ends in the skipped lines", "run.dat\nx\n", "run.mat", "run",
       " 0\n"},
      {"input ends after line 5", "run.dat\n2\n3\n4\nout\n", "out.mat", "run",
       " 0\n"},
      {"last line without a newline", "run.dat\n2\n3\n4\nout\nvar", "out.mat",
       "var", " 118\n"},
      {"high character code", Lines("run.dat", "", "\xc8x"), "run.mat", "\xc8x",
       " 200\n"},
      {"80-character names", Lines("run.dat", long_name + "tail", long_name),
       long_name + ".mat", long_name, " 118\n"},
      {"80-character mat name with suffix",
       Lines("run.dat", std::string(76, 'm') + ".mat", "v"),
       std::string(76, 'm') + ".mat", "v", " 118\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ControlRun run = ReadControl(c.input);
    EXPECT_EQ(run.out, c.echo);
    EXPECT_EQ(TrimTrailingBlanks(run.state.fname3), c.mat_file);
    EXPECT_EQ(Prefix(run.state.fname2, run.state.n1), c.variable);
  }
}

TEST(ControlTest, PadsLongVariableNamesWithNul) {
  struct {
    std::string variable;
    int n2;
    std::string field_start;  // fname2 up to position n2
  } const cases[] = {
      {"abcd", 8, "abcd    "},
      {"abcde", 8, "abcde\0\0\0"s},
      {"abcdefgh", 8, "abcdefgh"},
      {"abcdefghi", 16, "abcdefghi\0\0\0\0\0\0\0"s},
      {std::string(80, 'z'), 80, std::string(80, 'z')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable);
    ControlRun run = ReadControl(Lines("run.dat", "", c.variable));
    EXPECT_EQ(run.state.n1, static_cast<int>(c.variable.size()));
    EXPECT_EQ(run.state.n2, c.n2);
    EXPECT_EQ(std::string(run.state.fname2.data(), c.n2), c.field_start);
    EXPECT_EQ(std::string(run.state.fname2.data() + c.n2, 80 - c.n2),
              std::string(80 - c.n2, ' '));
  }
}

// Such names are still written; the warning goes to stderr alone.
TEST(ControlTest, WarnsAboutNamesMatlabRefuses) {
  struct {
    std::string variable;
    bool warns;
  } const cases[] = {
      {"steps", false},
      {"Run_2", false},
      {"x", false},
      {std::string(63, 'a'), false},
      {std::string(64, 'a'), true},
      {"2d", true},
      {"_tmp", true},
      {"a-b", true},
      {"dir/x", true},
      {"caf\xc3\xa9", true},
      {"a.b", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable);
    ControlRun run = ReadControl(Lines("run.dat", "", c.variable));
    if (c.warns) {
      EXPECT_EQ(run.err, "unf2mat: warning: variable name '" + c.variable +
                             "' is not one MATLAB accepts (a letter, then "
                             "letters, digits or underscores, at most 63 in "
                             "all); it is written unchanged\n");
    } else {
      EXPECT_EQ(run.err, "");
    }
  }
}

TEST(ControlTest, DataFileNameKeepsTheWholeLine) {
  ControlRun run = ReadControl(Lines("dir.v2/run.dat  ", "", ""));
  EXPECT_EQ(TrimTrailingBlanks(run.state.fname1), "dir.v2/run.dat");
  EXPECT_EQ(TrimTrailingBlanks(run.state.fname3), "dir.mat");
}

TEST(ControlTest, RefusesWhatLeavesNoName) {
  struct {
    const char* name;
    std::string input;
    std::string message_part;
    std::string out;
  } const cases[] = {
      {"empty input", "", "empty", ""},
      {"no variable name and empty base name", Lines("./run.dat", "x", ""),
       "give a name on line 6", " 32\n"},
      {"input ends after a line 1 with no base name", ".dat\n",
       "give a name on line 6", " 0\n"},
      // Not a missing variable name, nor a file named ''.
      {"empty line 1", Lines("", "out", "v"), "no data file name: line 1",
       " 118\n"},
      {"blank line 1", Lines("   ", "", ""), "no data file name: line 1",
       " 32\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunState& state = test::FreshState();
    MemoryInputFile input(c.input);
    LineReader in(input);
    StringOutputFile out, err;
    Console console{in, out, err};
    try {
      readcontrol(state, console);
      ADD_FAILURE() << "no error";
    } catch (const RunError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos)
          << e.what();
    }
    EXPECT_EQ(out.data(), c.out);
  }
}

TEST(ControlTest, FailedReadOfLineOneEndsTheRun) {
  test::ScriptedInputFile input("", 100, 0, EIO);
  EXPECT_THROW(ReadControl(input), RunError);
}

TEST(ControlTest, FailedEchoEndsTheRun) {
  RunState& state = test::FreshState();
  MemoryInputFile input(Lines("run.dat", "", ""));
  LineReader in(input);
  test::FailingOutputFile out(0, EPIPE);
  StringOutputFile err;
  Console console{in, out, err};
  EXPECT_THROW(readcontrol(state, console), RunError);
}

// No control byte of a name reaches the terminal: a CR would move the cursor
// back over the message, ESC would start a terminal command.
TEST(ControlTest, QuoteEscapesControlBytes) {
  const struct {
    std::string name, quoted;
  } cases[] = {
      {"run.dat", "'run.dat'"},
      {"r.dat\r", "'r.dat\\r'"},
      {"a\tb\nc", "'a\\tb\\nc'"},
      {"run\0x"s, "'run\\0x'"},
      {"\x1b[31mred", "'\\x1b[31mred'"},
      {"\x01\x1f\x7f", "'\\x01\\x1f\\x7f'"},
      // UTF-8 and other high bytes pass as they are.
      {"gr\xc3\xbc\xc3\x9f\xff", "'gr\xc3\xbc\xc3\x9f\xff'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Quote(c.name), c.quoted);
  }
}

// Writes nothing, but throws what it is given.
template <typename E>
class ThrowingOutputFile final : public OutputFile {
 public:
  explicit ThrowingOutputFile(E error) : error_(error) {}
  int Write(const char*, std::size_t) override { throw error_; }

 private:
  E error_;
};

// Whatever a phase throws ends the run with one line and exit status 1,
// never std::terminate.
TEST(ControlTest, AnyExceptionEndsTheRunWithOneLine) {
  auto run = [](OutputFile& out) {
    RunState& state = test::FreshState();
    MemoryInputFile input(Lines("run.dat", "", ""));
    LineReader in(input);
    StringOutputFile err;
    Console console{in, out, err};
    const int status = RunConversion(state, console);
    return std::make_pair(status, err.data());
  };
  ThrowingOutputFile<std::bad_alloc> no_memory{std::bad_alloc()};
  ThrowingOutputFile<std::logic_error> logic{std::logic_error("broken")};
  ThrowingOutputFile<int> other{7};
  const struct {
    OutputFile& out;
    std::string err;
  } cases[] = {
      {no_memory, "unf2mat: out of memory\n"},
      {logic, "unf2mat: internal error: broken\n"},
      {other, "unf2mat: internal error: an unknown exception\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.out), std::make_pair(1, c.err));
  }
}

}  // namespace
}  // namespace unf2mat
