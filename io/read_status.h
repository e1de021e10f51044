// The outcome of reading a line or a record.
#ifndef UNF2MAT_IO_READ_STATUS_H_
#define UNF2MAT_IO_READ_STATUS_H_

namespace unf2mat {

enum class ReadStatus {
  kOk,
  kDamaged,  // a record whose framing is broken (records only)
  kEnd,      // nothing left to read
  kFailed,   // the operating system refused the read; see error()
};

}  // namespace unf2mat

#endif  // UNF2MAT_IO_READ_STATUS_H_
