#ifndef UNF2MAT_RECORDIO_REPLACEMENT_FILE_H_
#define UNF2MAT_RECORDIO_REPLACEMENT_FILE_H_

#include <optional>
#include <string>

#include "recordio/file.h"

namespace unf2mat {

// A new file that takes its name only once it is complete. It is written under
// a temporary name in the same directory and renamed over the final name by
// Commit, so a run that fails before then leaves any old file with that name as
// it was. The file gets the permissions of any newly created file (0666 less
// the umask).
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile();  // removes the temporary file unless committed
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the empty temporary file. Returns 0 or an errno value.
  int Create(std::string path);
  OutputFile& file() { return *out_; }
  // Closes the file and gives it its final name. Returns 0 or an errno value.
  int Commit();

 private:
  void Discard();

  std::string path_;
  std::string temp_path_;
  int fd_ = -1;
  std::optional<PosixOutputFile> out_;
};

}  // namespace unf2mat

#endif  // UNF2MAT_RECORDIO_REPLACEMENT_FILE_H_
