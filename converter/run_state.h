// The state of one conversion run. Every phase reads and writes it; nothing
// else passes between them. The phases are thin callers of the typed modules
// below (loader/, matfile/), which never see it.
#ifndef UNF2MAT_CONVERTER_RUN_STATE_H_
#define UNF2MAT_CONVERTER_RUN_STATE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/run_error.h"
#include "common/value_type.h"
#include "converter/field.h"
#include "loader/load_rules.h"
#include "loader/variables.h"
#include "matfile/matfile.h"

namespace unf2mat {

// One instance, static and zero at start: a field no input line filled holds
// NUL bytes, which the name scans read as the end of the name. x and core come
// last so that tests can clear the rest cheaply; tiles after them.
struct RunState {
  Field<80> fname1;  // data file name
  Field<84> fname4;  // MAT-file name as read
  Field<84> fname3;  // MAT-file name used
  Field<80> fname2;  // variable name, NUL-padded to n2 when long
  // The MAT-file header's text, version and endian indicator, as writemat
  // wrote them.
  Field<124> header;
  std::int16_t version;
  Field<2> endian;
  std::int32_t n1;  // variable name length
  std::int32_t n2;  // n1 rounded up to a multiple of 8
  // Words of single output records, kept for the record layout's names; the
  // MAT-file writer encodes its records itself.
  std::int16_t y1, y2;
  std::int32_t yy1, yy2;
  std::int32_t irow;  // values per record: matrix columns
  std::int32_t icol;  // records loaded: matrix rows
  std::int32_t irec;  // last output record written
  std::int32_t i, j, i1;
  ValueType type;        // what each value of a record holds
  bool data_from_stdin;  // the command line's '-': standard input is the data
  LoadEnd end;           // how loading ended
  float x[kRecordCapacity];
  double core[kCoreCapacity];
  // Past the arrays, so that clearing the fields before them leaves these
  // alone. How the command line asks the data files to be read, and the
  // files of this conversion with their variables' names; where none are
  // given, fname1 is read as plain rows named fname2.
  LoadRequest request;
  std::vector<DataInput> inputs;
  // The loaded variables, their values handed out tile by tile: from core,
  // or read from the data files where they lie.
  std::vector<Variable> variables;
  // The MAT-file's format (the control lines always write v6).
  MatFileOptions mat_options;
};

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_RUN_STATE_H_
