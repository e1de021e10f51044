#include "io/buffered_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/fake_files.h"

namespace unf2mat {
namespace {

using test::StringOutputFile;

constexpr std::size_t kBufferSizes[] = {1, 5, 16, 1 << 20};

TEST(BufferedWriterTest, PassesBytesThroughAnyBufferSize) {
  std::string expected;
  for (int k = 0; k < 1000; ++k) expected += static_cast<char>(k * 7);
  for (std::size_t buffer : kBufferSizes) {
    StringOutputFile out;
    BufferedWriter writer(out, buffer);
    for (std::size_t pos = 0; pos < expected.size(); pos += 8) {
      writer.Append(expected.data() + pos,
                    std::min<std::size_t>(8, expected.size() - pos));
    }
    EXPECT_EQ(writer.Flush(), 0);
    EXPECT_EQ(out.data(), expected);
  }
}

TEST(BufferedWriterTest, FirstFailureSticks) {
  test::FailingOutputFile out(/*good_writes=*/2, ENOSPC);
  BufferedWriter writer(out, 4);
  const std::string data(64, 'x');
  writer.Append(data.data(), data.size());
  writer.Append(data.data(), data.size());
  EXPECT_EQ(writer.Flush(), ENOSPC);
  EXPECT_EQ(writer.Flush(), ENOSPC);
  EXPECT_EQ(out.calls(), 3) << "kept writing after a failure";
  EXPECT_EQ(out.data(), std::string(8, 'x'));
}

}  // namespace
}  // namespace unf2mat
