// Framing of an unformatted sequential data file, as a Fortran WRITE makes it:
//
//   record  := marker payload marker
//   marker  := uint32 byte count of the payload, in the file's byte order
//   payload := the record's bytes: 4-byte single-precision values
//
// Both markers of a record hold the same count; a file is records end to end.
#ifndef UNF2MAT_RECORDIO_RECORD_FORMAT_H_
#define UNF2MAT_RECORDIO_RECORD_FORMAT_H_

#include <cstddef>

namespace unf2mat::record {

inline constexpr std::size_t kMarkerSize = 4;
inline constexpr std::size_t kValueSize = 4;

}  // namespace unf2mat::record

#endif  // UNF2MAT_RECORDIO_RECORD_FORMAT_H_
