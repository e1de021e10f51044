#include "io/replacement_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "io/helper_thread.h"
#include "tests/temp_dir.h"

namespace unf2mat {
namespace {

using ReplacementFileTest = test::TempDirTest;

// Unnamed where the file system allows, else under a temporary name: either
// way the old file stays until the new one is complete.
// The ending signals reach only the main thread, which holds them back
// while it names a file: a thread beside it never takes one.
TEST(HelperThreadTest, EndingSignalsNeverReachIt) {
  sigset_t before, inside, after;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &before);
  StartHelperThread([&] {
    ::pthread_sigmask(SIG_BLOCK, nullptr, &inside);
  }).join();
  ::pthread_sigmask(SIG_BLOCK, nullptr, &after);
  for (int sig : kEndingSignals) {
    EXPECT_EQ(sigismember(&inside, sig), 1) << strsignal(sig);
    // The caller's own mask is as it was.
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig))
        << strsignal(sig);
  }
}

TEST_F(ReplacementFileTest, NameAppearsOnlyOnCommit) {
  const std::string path = dir_ + "/out.mat";
  for (bool allow_unnamed : {true, false}) {
    SCOPED_TRACE(allow_unnamed ? "unnamed" : "named");
    std::ofstream(path) << "old contents, longer than the new";
    {
      ReplacementFile file(allow_unnamed);
      ASSERT_EQ(file.Create(path), 0);
      EXPECT_EQ(file.unnamed(), allow_unnamed);
      ASSERT_EQ(file.file().Write("new", 3), 0);
      EXPECT_EQ(Entries().size(), allow_unnamed ? 1u : 2u);
      std::ifstream in(path);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
                "old contents, longer than the new");
      ASSERT_EQ(file.Commit(), 0);
    }
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
    EXPECT_EQ(Entries(), std::vector<std::string>{"out.mat"});
  }
}

TEST_F(ReplacementFileTest, AbandonedOrFailedLeavesNothingBehind) {
  for (bool allow_unnamed : {true, false}) {
    SCOPED_TRACE(allow_unnamed ? "unnamed" : "named");
    {
      ReplacementFile file(allow_unnamed);
      ASSERT_EQ(file.Create(dir_ + "/out.mat"), 0);
      ASSERT_EQ(file.file().Write("new", 3), 0);
    }
    EXPECT_TRUE(Entries().empty());

    ReplacementFile file(allow_unnamed);
    EXPECT_EQ(file.Create(dir_ + "/missing/out.mat"), ENOENT);
    std::filesystem::create_directory(dir_ + "/taken.mat");
    EXPECT_EQ(file.Create(dir_ + "/taken.mat"), EISDIR);
    EXPECT_EQ(Entries(), std::vector<std::string>{"taken.mat"});
    std::filesystem::remove(dir_ + "/taken.mat");
  }
}

// Each failing call keeps the old file and leaves no other, but for a
// directory that cannot be synced after the rename, when the new file is
// already in place and stays; a link that is refused falls back to a copy,
// which fails if its source shrinks. Calls, where given, come in order: data
// synced before it is named, names changed with the ending signals held.
TEST_F(ReplacementFileTest, CommitSurvivesFailingCalls) {
  const std::string path = dir_ + "/out.mat";
  // Past one copy buffer, so that a copy in pieces would show.
  std::string contents(3 << 20, '\0');
  for (std::size_t k = 0; k < contents.size(); ++k) contents[k] = k % 251;
  const char* unnamed =
      "drop-cache create-unnamed sync block-signals link close rename "
      "sync-dir unblock-signals";
  const char* named =
      "drop-cache block-signals create-named unblock-signals sync "
      "block-signals close rename sync-dir unblock-signals";
  const char* copied =
      "drop-cache create-unnamed sync block-signals link unblock-signals "
      "block-signals create-named unblock-signals copy sync block-signals "
      "close rename sync-dir unblock-signals";
  const struct {
    const char* label;
    bool allow_unnamed;
    int link_error, sync_error, dir_sync_error;
    int result;
    bool replaced;
    bool kernel_copy_fails = false;
    bool source_shrinks = false;  // to half, once its size is taken
    const char* calls = nullptr;  // in order
  } cases[] = {
      {"data sync fails", true, 0, EIO, 0, EIO, false},
      {"data sync fails, named", false, 0, ENOSPC, 0, ENOSPC, false},
      {"directory sync fails", true, 0, 0, EIO, EIO, true, false, false,
       unnamed},
      {"directory sync fails, named", false, 0, 0, EIO, EIO, true, false, false,
       named},
      {"link refused", true, EPERM, 0, 0, 0, true, false, false, copied},
      {"link refused, copied by a buffer", true, EPERM, 0, 0, 0, true, true},
      {"link refused, then the directory sync fails", true, EPERM, 0, EIO, EIO,
       true},
      {"link refused, source shrinks", true, EPERM, 0, 0, EIO, false, false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::ofstream(path) << "old";
    {
      std::string calls;
      ReplacementFaults faults;
      faults.calls = &calls;
      faults.link_error = c.link_error;
      faults.sync_error = c.sync_error;
      faults.dir_sync_error = c.dir_sync_error;
      faults.kernel_copy_fails = c.kernel_copy_fails;
      faults.before_copy = [&](int fd) {
        ASSERT_TRUE(!c.source_shrinks || ::ftruncate(fd, 3 << 19) == 0);
      };
      ReplacementFile file(c.allow_unnamed, faults);
      ASSERT_EQ(file.Create(path), 0);
      ASSERT_EQ(file.file().Write(contents.data(), contents.size()), 0);
      EXPECT_EQ(file.Commit(), c.result);
      EXPECT_EQ(file.replaced(), c.replaced);
      EXPECT_TRUE(c.calls == nullptr || calls == c.calls) << calls;
    }
    std::ifstream in(path, std::ios::binary);
    const std::string now(std::istreambuf_iterator<char>(in), {});
    EXPECT_TRUE(now == (c.replaced ? contents : "old")) << now.size();
    EXPECT_EQ(Entries(), std::vector<std::string>{"out.mat"});
  }
}

// SIGTERM, SIGINT, SIGHUP or SIGQUIT at any moment leaves the old file or the
// new one and nothing else, and the process dies of the signal.
TEST_F(ReplacementFileTest, EndingSignalLeavesOneFileAndKills) {
  const std::string path = dir_ + "/out.mat";
  const struct {
    const char* label;
    bool allow_unnamed;
    int link_error;
    int signal;
    bool at_rename;  // else while the file is written
  } cases[] = {
      {"unnamed, between link and rename", true, 0, SIGTERM, true},
      {"named, just before the rename", false, 0, SIGINT, true},
      {"copied after a refused link, before the rename", true, EPERM, SIGHUP,
       true},
      {"named, while written", false, 0, SIGQUIT, false},
      {"unnamed, while written", true, 0, SIGTERM, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::ofstream(path) << "old";
    auto run = [&] {
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      ReplacementFaults faults;
      faults.link_error = c.link_error;
      if (c.at_rename) faults.before_rename = [&] { ::raise(c.signal); };
      ReplacementFile file(c.allow_unnamed, faults);
      if (file.Create(path) != 0 || file.file().Write("new", 3) != 0) {
        ::_exit(2);
      }
      if (!c.at_rename) ::raise(c.signal);
      ::_exit(file.Commit() == 0 ? 0 : 3);
    };
    EXPECT_EXIT(run(), ::testing::KilledBySignal(c.signal), "");
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              c.at_rename ? "new" : "old");
    EXPECT_EQ(Entries(), std::vector<std::string>{"out.mat"});
  }
}

}  // namespace
}  // namespace unf2mat
