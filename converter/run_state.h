// The state of one conversion run. Every phase reads and writes it; nothing
// else passes between them.
#ifndef UNF2MAT_CONVERTER_RUN_STATE_H_
#define UNF2MAT_CONVERTER_RUN_STATE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/tile_source.h"
#include "converter/field.h"
#include "common/run_error.h"
#include "common/value_type.h"

namespace unf2mat {

inline constexpr std::size_t kRecordCapacity = 10'000'000;  // values in x
inline constexpr std::size_t kCoreCapacity = 50'000'000;    // values in core

// Where and why loading stopped. kEnd: it read the data file to its end.
struct LoadEnd {
  enum class Reason : std::uint8_t { kEnd, kShortRecord, kDamaged };
  Reason reason;
  std::uint64_t record;  // the record that stopped it, numbered from 1
  std::uint64_t values;  // the whole values that record holds (kShortRecord)
  std::uint64_t
      offset;  // byte offset in the data file where that record starts
  std::uint64_t unread;  // bytes of the data file from `offset` to its end
  bool unread_known;     // false where the rest (of a pipe) was not read
};

// One instance, static and zero at start: a field no input line filled holds
// NUL bytes, which the name scans read as the end of the name. x and core come
// last so that tests can clear the rest cheaply; tiles after them.
struct RunState {
  Field<80> fname1;   // data file name
  Field<84> fname4;   // MAT-file name as read
  Field<84> fname3;   // MAT-file name used
  Field<80> fname2;   // variable name, NUL-padded to n2 when long
  Field<124> header;  // descriptive text of the MAT-file header
  std::int16_t version;
  Field<2> endian;
  std::int32_t n1;  // variable name length
  std::int32_t n2;  // n1 rounded up to a multiple of 8
  std::int16_t y1, y2;
  std::int32_t yy1, yy2;
  std::int32_t irow;  // values per record: matrix columns
  std::int32_t icol;  // records loaded: matrix rows
  std::int32_t irec;  // last output record written
  std::int32_t i, j, i1;
  ValueType type;  // what each value of a record holds
  LoadEnd end;     // how loading ended
  float x[kRecordCapacity];
  double core[kCoreCapacity];
  // Where set, the matrix is read from here instead of core. Past the arrays
  // so that clearing the fields before them leaves it alone.
  std::unique_ptr<MatrixTiles> tiles;
};

}  // namespace unf2mat

#endif  // UNF2MAT_CONVERTER_RUN_STATE_H_
