// Level 5 MAT-file layout, all numbers little-endian:
//
//   header  := text[116] subsystem_offset[8] version:u16 endian[2]  (128 bytes)
//   element := type:u32 size:u32 data[size], data padded to 8 bytes
//   short   := type:u16 size:u16 data[size <= 4], padded to 8 bytes
//
// Each element here is a matrix whose data is, in order: array flags,
// dimensions (int32, as many as the array has), name, real part (values of
// the class's own type), and for a complex array the imaginary part likewise;
// or, for a cell array, after the name each cell as a matrix element of an
// empty name, in column-major order.
#ifndef UNF2MAT_MATFILE_MAT_FORMAT_H_
#define UNF2MAT_MATFILE_MAT_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace unf2mat::mat {

inline constexpr std::size_t kRecordSize = 8;  // the file is written in these
inline constexpr std::size_t kHeaderTextSize = 124;  // text and offset

inline constexpr std::string_view kHeaderText =
    "MATLAB 5.0 MAT-file, Platform: LNX86, Created on: Wed Oct 13 22:44:21 "
    "1999";
inline constexpr std::int16_t kVersion = 256;
// The header of MATLAB's v7.3 file, in the user block of an HDF5 file.
inline constexpr std::string_view kHeaderText73 =
    "MATLAB 7.3 MAT-file, Platform: LNX86, Created on: Wed Oct 13 22:44:21 "
    "1999 HDF5 schema 1.00 .";
inline constexpr std::int16_t kVersion73 = 0x0200;
inline constexpr std::string_view kEndian = "IM";

// Element types.
inline constexpr std::int32_t kMiInt8 = 1;
inline constexpr std::int32_t kMiUint8 = 2;
inline constexpr std::int32_t kMiInt16 = 3;
inline constexpr std::int32_t kMiUint16 = 4;
inline constexpr std::int32_t kMiInt32 = 5;
inline constexpr std::int32_t kMiUint32 = 6;
inline constexpr std::int32_t kMiSingle = 7;
inline constexpr std::int32_t kMiDouble = 9;
inline constexpr std::int32_t kMiInt64 = 12;
inline constexpr std::int32_t kMiMatrix = 14;
// A zlib stream of one whole element (MATLAB's v7), not padded.
inline constexpr std::int32_t kMiCompressed = 15;

// Array class in the first word of the array flags, with the flag bits.
inline constexpr std::int32_t kMxCellClass = 1;
inline constexpr std::int32_t kMxCharClass = 4;
inline constexpr std::int32_t kMxDoubleClass = 6;
inline constexpr std::int32_t kMxSingleClass = 7;
inline constexpr std::int32_t kMxInt8Class = 8;
inline constexpr std::int32_t kMxUint8Class = 9;  // a logical array's too
inline constexpr std::int32_t kMxInt16Class = 10;
inline constexpr std::int32_t kMxInt32Class = 12;
inline constexpr std::int32_t kMxInt64Class = 14;
inline constexpr std::uint32_t kLogicalFlag = 0x0200;
inline constexpr std::uint32_t kComplexFlag = 0x0800;

// A dimension is an int32.
inline constexpr std::uint64_t kMaxDimension = 0x7FFF'FFFF;

// Bytes of a matrix element after its tag, less the name and the values:
// flags tag and flags, dimensions tag and dimensions, name tag, real-part tag.
inline constexpr std::uint32_t kMatrixFixedBytes = 48;
// Names this long or shorter go into the short form.
inline constexpr int kShortNameMax = 4;

// An element's size is a 32-bit field.
inline constexpr std::uint64_t kMaxElementBytes = 0xFFFF'FFFF;
// The largest variable MATLAB loads from a Level 5 file; Octave and scipy
// read up to kMaxElementBytes.
inline constexpr std::uint64_t kMatlabElementBytes = std::uint64_t{1} << 31;

inline constexpr std::uint64_t Padded(std::uint64_t n) {
  return (n + 7) / 8 * 8;
}
// Bytes after the matrix tag for a name of n bytes (n1).
inline constexpr std::uint64_t NameBytes(std::uint64_t n) {
  return n <= kShortNameMax ? 0 : Padded(n);
}
// Bytes after the matrix tag of an element with `dims` dimensions and
// `value_bytes` bytes of values.
inline constexpr std::uint64_t ElementBytes(std::uint64_t name_length,
                                            std::uint64_t dims,
                                            std::uint64_t value_bytes) {
  return kMatrixFixedBytes - 8 + Padded(4 * dims) + NameBytes(name_length) +
         Padded(value_bytes);
}
// The most bytes of values an element with `dims` dimensions can hold.
inline constexpr std::uint64_t MaxValueBytes(std::uint64_t name_length,
                                             std::uint64_t dims) {
  return (kMaxElementBytes - ElementBytes(name_length, dims, 0)) / 8 * 8;
}

}  // namespace unf2mat::mat

#endif  // UNF2MAT_MATFILE_MAT_FORMAT_H_
