#ifndef UNF2MAT_RECORDIO_REPLACEMENT_FILE_H_
#define UNF2MAT_RECORDIO_REPLACEMENT_FILE_H_

#include <optional>
#include <string>

#include "recordio/file.h"

namespace unf2mat {

// A new file that takes its name only once it is complete. It is created
// unnamed in the target's directory (O_TMPFILE), or where the file system
// cannot do that, under a unique temporary name there. Commit links it in and
// renames it over the final name, so that a run that fails or is killed before
// then leaves any old file of that name as it was, and no other file. The file
// gets the permissions of any newly created file (0666 less the umask).
class ReplacementFile {
 public:
  // `allow_unnamed` false always takes the temporary name, as on a file
  // system without O_TMPFILE.
  explicit ReplacementFile(bool allow_unnamed = true)
      : allow_unnamed_(allow_unnamed) {}
  ~ReplacementFile();  // removes the new file unless committed
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the empty new file. Returns 0 or an errno value.
  int Create(std::string path);
  OutputFile& file() { return *out_; }
  // Gives the file its final name and closes it. Returns 0 or an errno value.
  int Commit();

  bool unnamed() const { return unnamed_; }

 private:
  int CreateUnnamed(const std::string& dir);
  int CreateNamed();
  // Links the unnamed file in under temp_path_.
  int LinkUnnamed();
  void Discard();

  bool allow_unnamed_;
  std::string path_;
  std::string temp_path_;  // empty while the file has no name
  bool unnamed_ = false;
  int fd_ = -1;
  std::optional<PosixOutputFile> out_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_RECORDIO_REPLACEMENT_FILE_H_
