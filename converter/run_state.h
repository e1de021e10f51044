// The state of one conversion run, the six control lines' all: the names,
// the matrix's dimensions and store, the output record counter. The phases
// are thin callers of the typed modules below (loader/, matfile/), which
// never see it; what the command line asks besides goes down beside it
// (Conversion, phases.h).
#ifndef UNF2MAT_CONVERTER_RUN_STATE_H_
#define UNF2MAT_CONVERTER_RUN_STATE_H_

#include <cstdint>

#include "common/store_capacity.h"
#include "converter/field.h"

namespace unf2mat {

// One instance, static and zero at start: a field no input line filled holds
// NUL bytes, which the name scans read as the end of the name. x and core come
// last so that tests can clear the rest cheaply.
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
  float x[kRecordCapacity];
  double core[kCoreCapacity];
};

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_RUN_STATE_H_
