// An unnamed temporary file, for data kept only while the run lasts.
#ifndef UNF2MAT_IO_SCRATCH_FILE_H_
#define UNF2MAT_IO_SCRATCH_FILE_H_

#include <string>
#include <vector>

namespace unf2mat {

// Creates an unnamed file in the first of `dirs` that takes one (O_TMPFILE,
// or where the file system lacks it a named one removed at once, so that
// nothing is left behind either way); *fd is then open for reading and
// writing, and *dir names where. Returns 0 or the errno value of the last
// directory tried.
int CreateScratchFile(const std::vector<std::string>& dirs, int* fd,
                      std::string* dir);

}  // namespace unf2mat

#endif  // UNF2MAT_IO_SCRATCH_FILE_H_
