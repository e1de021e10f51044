#include "converter/control.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace unf2mat
