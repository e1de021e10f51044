#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "io/file.h"
#include "io/mapped_bytes.h"
#include "recordio/record_reader.h"
#include "tests/fake_files.h"
#include "tests/temp_dir.h"

namespace unf2mat {
namespace {

using namespace std::string_literals;
using test::DataFile;
using test::MemoryInputFile;
using test::StringOutputFile;
using PosixFileTest = test::TempDirTest;

// Skipping the rest of a long record seeks in a file and reads through a pipe.
TEST_F(PosixFileTest, SkipsInFilesAndPipes) {
  std::vector<float> long_record(5000);
  for (std::size_t k = 0; k < long_record.size(); ++k) long_record[k] = k;
  const std::string data = DataFile({long_record, long_record, {1}});
  const std::string path = dir_ + "/data";
  std::ofstream(path, std::ios::binary) << data;

  std::unique_ptr<PosixInputFile> file;
  ASSERT_EQ(PosixInputFile::Open(path, &file), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], data.data(), data.size()),
            static_cast<ssize_t>(data.size()));
  ::close(fds[1]);
  PosixInputFile pipe_file(fds[0], /*owned=*/true);

  for (InputFile* input : {static_cast<InputFile*>(file.get()),
                           static_cast<InputFile*>(&pipe_file)}) {
    RecordReader reader(*input, 64);
    float values[2];
    for (int record = 0; record < 2; ++record) {
      ASSERT_EQ(test::ReadRow(reader, values, 2), test::Row::kOk);
      EXPECT_EQ(values[1], 1.0f);
    }
    EXPECT_EQ(test::ReadRow(reader, values, 2), test::Row::kShort);
  }
}

// The in-memory files must fail as real ones do, or tests pass on readers
// that fail on real files: a skip past the end is allowed, one past the
// largest offset of the file system is EINVAL; a write there is EFBIG.
TEST_F(PosixFileTest, MemoryFilesFailAsRealFilesDo) {
  struct statfs fs;
  ASSERT_EQ(::statfs(dir_.c_str(), &fs), 0);
  if (fs.f_type != EXT4_SUPER_MAGIC) GTEST_SKIP() << "the limits are ext4's";
  const std::string data = "0123456789";
  const std::string path = dir_ + "/data";
  std::ofstream(path, std::ios::binary) << data;
  constexpr std::uint64_t kMax = test::kMaxOffset;
  struct {
    const char* name;
    std::vector<std::uint64_t> skips;
    int error;        // of the last skip
    std::size_t got;  // bytes a read then finds
  } const cases[] = {
      {"within the file", {4}, 0, 6},
      {"to the end", {10}, 0, 0},
      {"past the end", {11}, 0, 0},
      {"2^50", {std::uint64_t{1} << 50}, EINVAL, 10},
      {"to the largest offset", {kMax}, 0, 0},
      {"one past the largest offset", {kMax + 1}, EINVAL, 10},
      {"past it in two steps", {4, kMax - 3}, EINVAL, 6},
      {"beyond off_t", {std::uint64_t{1} << 63}, EINVAL, 10},
      {"beyond off_t in two steps", {4, UINT64_MAX - 2}, EINVAL, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<PosixInputFile> real;
    ASSERT_EQ(PosixInputFile::Open(path, &real), 0);
    MemoryInputFile fake(data);
    for (InputFile* file : {static_cast<InputFile*>(real.get()),
                            static_cast<InputFile*>(&fake)}) {
      int error = 0;
      for (std::uint64_t n : c.skips) {
        errno = 0;  // a stale errno must not stand in for the skip's own
        error = file->Skip(n);
      }
      EXPECT_EQ(error, c.error);
      char buffer[16];
      EXPECT_EQ(file->Read(buffer, sizeof buffer).bytes, c.got);
    }
  }
  // Writes end at the same offset (a file past it would be sparse anyway).
  for (std::uint64_t offset : {kMax - 2, kMax - 1, kMax + 1}) {
    SCOPED_TRACE("write at " + std::to_string(offset));
    const int fd =
        ::open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    PosixOutputFile real(fd);
    StringOutputFile fake;
    const int expected = offset + 2 <= kMax ? 0 : EFBIG;
    EXPECT_EQ(real.WriteAt(offset, "ab", 2), expected);
    if (expected != 0) {
      EXPECT_EQ(fake.WriteAt(offset, "ab", 2), EFBIG);
    }
    ::close(fd);
  }
}

TEST_F(PosixFileTest, OpenRefusesWhatIsNotAFile) {
  std::ofstream(dir_ + "/a") << "x";
  std::unique_ptr<PosixInputFile> file;
  EXPECT_EQ(PosixInputFile::Open(dir_ + "/missing", &file), ENOENT);
  EXPECT_EQ(PosixInputFile::Open(dir_, &file), EISDIR);
  EXPECT_EQ(PosixInputFile::Open(dir_ + "/a\0b"s, &file), EINVAL);
  EXPECT_EQ(file, nullptr);
}

// Bytes are looked at in place only where the file maps; a file cut short
// under them is said to be, not a crash, and the process goes on.
TEST_F(PosixFileTest, MappedBytesAreSeenOrSaidToBeCutShort) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::string bytes(3 * page, '\0');
  for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = char(k % 251);
  struct {
    const char* name;
    bool on_disk;
    std::size_t cut_to;  // the file's size once mapped
    std::uint64_t offset;
    std::size_t n;
    MapStatus status;
  } const cases[] = {
      {"a whole file", true, 3 * page, 0, 3 * page, MapStatus::kVisited},
      {"from inside a page", true, 3 * page, page + 7, page,
       MapStatus::kVisited},
      {"cut short inside the bytes", true, page, 7, 2 * page,
       MapStatus::kCutShort},
      {"a file in memory", false, 3 * page, 0, page, MapStatus::kNotMapped},
      {"more than one visit maps", true, 3 * page, 0, kMaxMappedBytes + 1,
       MapStatus::kNotMapped},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ + "/data";
    std::ofstream(path, std::ios::binary) << bytes;
    std::unique_ptr<PosixInputFile> disk;
    ASSERT_EQ(PosixInputFile::Open(path, &disk), 0);
    MemoryInputFile memory(bytes);
    const InputFile& file =
        c.on_disk ? static_cast<const InputFile&>(*disk) : memory;
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.cut_to)), 0);
    // Allocates nothing under the visit, which a fault may leave.
    std::string seen(c.n, '\0');
    auto visit = [&](const char* p) {
      std::memcpy(seen.data(), p, seen.size());
    };
    EXPECT_EQ(VisitMapped(file, c.offset, c.n, visit), c.status);
    if (c.status == MapStatus::kVisited) {
      EXPECT_EQ(seen, bytes.substr(c.offset, c.n));
    }
  }
}

}  // namespace
}  // namespace unf2mat
