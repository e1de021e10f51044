// The output file, which replaces any old one of its name only once it is
// complete and on disk.
#ifndef UNF2MAT_IO_REPLACEMENT_FILE_H_
#define UNF2MAT_IO_REPLACEMENT_FILE_H_

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "io/file.h"

namespace unf2mat {

// System calls of ReplacementFile made to fail, interleaved with or recorded,
// for tests.
struct ReplacementFaults {
  int link_error = 0;      // linking the unnamed file in fails so
  int sync_error = 0;      // syncing the new file's data fails so
  int dir_sync_error = 0;  // syncing the directory after the rename fails so
  bool kernel_copy_fails = false;       // copy_file_range: a buffer copies
  std::function<void()> before_rename;  // runs with the temporary name set
  // Runs on a file to be copied once its size is taken.
  std::function<void(int fd)> before_copy;
  // Gets the names of the calls as they are made, space-separated:
  // "drop-cache" (of an old regular file), "create-unnamed", "create-named",
  // "block-signals", "unblock-signals" (only where the mask changes), "sync",
  // "link", "copy", "close", "rename", "sync-dir", "unlink".
  std::string* calls = nullptr;
};

// A new file that takes its name only once it is complete and on disk. It is
// created unnamed in the target's directory (O_TMPFILE), or where the file
// system cannot do that, under a unique temporary name there. Commit syncs its
// data, links it in and renames it over the final name, then syncs the
// directory, so that a run that fails, is killed or loses power before then
// leaves any old file of that name as it was. SIGTERM, SIGINT, SIGHUP and
// SIGQUIT wait while the name changes hands; one that arrives while a
// temporary name exists removes it before the process dies of the signal.
// The file gets the permissions of any newly created file (0666 less the
// umask). The old file's cached pages are given back before the new one is
// written; its data is untouched.
class ReplacementFile {
 public:
  // `allow_unnamed` false always takes the temporary name, as on a file
  // system without O_TMPFILE.
  explicit ReplacementFile(bool allow_unnamed = true,
                           ReplacementFaults faults = {})
      : allow_unnamed_(allow_unnamed), faults_(std::move(faults)) {}
  ~ReplacementFile();  // removes the new file unless committed
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the empty new file. Returns 0 or an errno value.
  int Create(std::string path);
  OutputFile& file() { return *out_; }
  // The temporary name of a file created named, for a library that writes
  // files only by name; valid until Commit.
  const std::string& temp_path() const { return temp_path_; }
  // Gives the file its final name and closes it. Returns 0 or an errno value.
  // After a failure, replaced() tells whether the new file holds the final
  // name all the same (only its directory could not be synced).
  int Commit();

  bool unnamed() const { return unnamed_; }
  bool replaced() const { return replaced_; }

 private:
  int CreateUnnamed(const std::string& dir);
  // Creates a file under a new temporary name; sets temp_path_.
  int CreateNamed(int* fd);
  // Links the unnamed file in under temp_path_.
  int LinkUnnamed();
  // Where linking fails: a copy of the unnamed file under temp_path_, synced.
  int CopyToNamed(int* fd);
  // Closes the file, renames temp_path_ over path_, syncs the directory.
  int CloseAndRename();
  int SyncData(int fd);  // fdatasync of the new file or its copy
  void SetTempPath(std::string temp);
  void Discard();

  bool allow_unnamed_;
  ReplacementFaults faults_;
  std::string path_;
  std::string temp_path_;  // empty while the file has no name
  bool unnamed_ = false;
  bool replaced_ = false;
  int fd_ = -1;
  std::optional<PosixOutputFile> out_;
  std::thread dropping_;  // of the old file's cached pages
};

}  // namespace unf2mat

#endif  // UNF2MAT_IO_REPLACEMENT_FILE_H_
