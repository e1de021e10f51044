#ifndef UNF2MAT_MATFILE_MATFILE_H_
#define UNF2MAT_MATFILE_MATFILE_H_

#include "converter/run_state.h"
#include "recordio/buffered_writer.h"

namespace unf2mat {

// Writes core as an icol x irow double matrix named fname2 into the MAT-file
// fname3. The file takes its name only once it is complete; until then any
// old file of that name stays as it was.
void writemat(RunState& state);

// The MAT-file's bytes, as 8-byte records counted in irec.
void WriteMat(RunState& state, BufferedWriter& out);

}  // namespace unf2mat

#endif  // UNF2MAT_MATFILE_MATFILE_H_
