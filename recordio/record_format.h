// Framing of an unformatted sequential data file, as a Fortran WRITE makes it:
//
//   file      := record*
//   record    := subrecord+
//   subrecord := marker payload marker
//   marker    := signed byte count of the payload: 4 bytes, or 8 with some
//                compilers' options; in the file's byte order
//   payload   := the record's bytes: values of one type (4-byte single
//                precision unless told otherwise), in the file's byte order
//
// A record too long for one marker (or longer than a compiler's chosen limit)
// is split into subrecords: a negative leading marker says more follow, a
// negative trailing marker says one precedes. An unsplit record has the same
// non-negative count in both markers, but for one compiler's records over
// 2 GiB: the same 4-byte count in both, read as unsigned.
#ifndef UNF2MAT_RECORDIO_RECORD_FORMAT_H_
#define UNF2MAT_RECORDIO_RECORD_FORMAT_H_

#include <bit>
#include <cstddef>
#include <string>

namespace unf2mat::record {

inline constexpr std::size_t kMarkerSize = 4;
inline constexpr std::size_t kLongMarkerSize = 8;
inline constexpr std::size_t kValueSize = 4;

struct Framing {
  std::size_t marker_size = kMarkerSize;
  bool swapped = false;  // byte order opposite to the host's

  bool operator==(const Framing&) const = default;
};

// The framings a data file is tried with, in order; the first is also the one
// assumed when none fits.
inline constexpr Framing kFramings[] = {
    {kMarkerSize, false},
    {kMarkerSize, true},
    {kLongMarkerSize, false},
    {kLongMarkerSize, true},
};

// "4-byte big-endian markers", for messages.
inline std::string Describe(const Framing& framing) {
  const bool big = (std::endian::native == std::endian::big) != framing.swapped;
  return std::to_string(framing.marker_size) + "-byte " +
         (big ? "big" : "little") + "-endian markers";
}

}  // namespace unf2mat::record

#endif  // UNF2MAT_RECORDIO_RECORD_FORMAT_H_
