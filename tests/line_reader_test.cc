#include "io/line_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/fake_files.h"

namespace unf2mat {
namespace {

using namespace std::string_literals;
using test::MemoryInputFile;
using test::ScriptedInputFile;

// Every reader must give the same results however the bytes arrive.
constexpr std::size_t kChunks[] = {1, 3, 1 << 20};

struct LineCase {
  const char* name;
  std::string input;
  std::size_t width;
  std::vector<std::string> lines;  // then the end
};

TEST(LineReaderTest, TakesTheFirstCharactersOfEachLine) {
  const LineCase cases[] = {
      {"plain", "abc\ndef\n", 80, {"abc", "def"}},
      {"last line without newline", "abc\ndef", 80, {"abc", "def"}},
      {"empty lines", "\n\n", 80, {"", ""}},
      {"nothing", "", 80, {}},
      {"cut to width, rest skipped", "abcdef\nxy\n", 2, {"ab", "xy"}},
      {"long line",
       std::string(300, 'x') + "\nnext\n",
       80,
       {std::string(80, 'x'), "next"}},
      {"blanks and NUL kept", " a\0b\n"s, 80, {" a\0b"s}},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : kChunks) {
      SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
      ScriptedInputFile file(c.input, chunk);
      LineReader reader(file);
      std::string line;
      for (const auto& expected : c.lines) {
        ASSERT_EQ(reader.ReadLine(c.width, &line), ReadStatus::kOk);
        EXPECT_EQ(line, expected);
      }
      EXPECT_EQ(reader.ReadLine(c.width, &line), ReadStatus::kEnd);
      EXPECT_EQ(reader.SkipLine(), ReadStatus::kEnd);
    }
  }
}

TEST(LineReaderTest, SkipConsumesOneWholeLine) {
  MemoryInputFile file(std::string(5000, 'a') + "\nsecond\n");
  LineReader reader(file);
  std::string line;
  EXPECT_EQ(reader.SkipLine(), ReadStatus::kOk);
  EXPECT_EQ(reader.ReadLine(80, &line), ReadStatus::kOk);
  EXPECT_EQ(line, "second");
}

TEST(LineReaderTest, ReportsAFailedRead) {
  ScriptedInputFile file("first\nsec", 100, 9, EIO);
  LineReader reader(file);
  std::string line;
  EXPECT_EQ(reader.ReadLine(80, &line), ReadStatus::kOk);
  EXPECT_EQ(reader.ReadLine(80, &line), ReadStatus::kFailed);
  EXPECT_EQ(reader.error(), EIO);
}

}  // namespace
}  // namespace unf2mat
