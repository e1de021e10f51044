// Fixed-width little-endian encoding, and decoding in the data file's own byte
// order: the host's, or swapped for a file written on a machine of the other
// byte order. Everything the MAT-file holds is little-endian whatever the
// host, so output goes through the Encode* functions only.
#ifndef UNF2MAT_COMMON_CODING_H_
#define UNF2MAT_COMMON_CODING_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace unf2mat {

inline void EncodeFixed16(char* dst, std::uint16_t value) {
  auto* p = reinterpret_cast<unsigned char*>(dst);
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

inline void EncodeFixed32(char* dst, std::uint32_t value) {
  auto* p = reinterpret_cast<unsigned char*>(dst);
  for (int k = 0; k < 4; ++k)
    p[k] = static_cast<unsigned char>(value >> (8 * k));
}

inline void EncodeFixed64(char* dst, std::uint64_t value) {
  auto* p = reinterpret_cast<unsigned char*>(dst);
  for (int k = 0; k < 8; ++k)
    p[k] = static_cast<unsigned char>(value >> (8 * k));
}

inline std::uint32_t DecodeFixed32(const char* src) {
  auto* p = reinterpret_cast<const unsigned char*>(src);
  std::uint32_t value = 0;
  for (int k = 3; k >= 0; --k) value = (value << 8) | p[k];
  return value;
}

inline std::uint64_t DecodeFixed64(const char* src) {
  auto* p = reinterpret_cast<const unsigned char*>(src);
  std::uint64_t value = 0;
  for (int k = 7; k >= 0; --k) value = (value << 8) | p[k];
  return value;
}

inline void EncodeDouble(char* dst, double value) {
  EncodeFixed64(dst, std::bit_cast<std::uint64_t>(value));
}

inline std::uint32_t DecodeHost32(const char* src) {
  std::uint32_t value;
  std::memcpy(&value, src, sizeof value);
  return value;
}

inline std::uint64_t DecodeHost64(const char* src) {
  std::uint64_t value;
  std::memcpy(&value, src, sizeof value);
  return value;
}

inline std::uint32_t ByteSwap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

inline std::uint64_t ByteSwap64(std::uint64_t v) {
  return (std::uint64_t{ByteSwap32(static_cast<std::uint32_t>(v))} << 32) |
         ByteSwap32(static_cast<std::uint32_t>(v >> 32));
}

// Copies one value of kSize bytes (1, 2, 4 or 8), reversing its bytes where
// kSwapped: from the data file's byte order into the host's.
template <std::size_t kSize, bool kSwapped>
inline void MoveValue(const char* from, char* to) {
  static_assert(kSize == 1 || kSize == 2 || kSize == 4 || kSize == 8);
  if constexpr (kSize == 1) {
    *to = *from;
  } else if constexpr (kSize == 2) {
    to[0] = from[kSwapped ? 1 : 0];
    to[1] = from[kSwapped ? 0 : 1];
  } else if constexpr (kSize == 4) {
    std::uint32_t word = DecodeHost32(from);
    if constexpr (kSwapped) word = ByteSwap32(word);
    std::memcpy(to, &word, kSize);
  } else {
    std::uint64_t word = DecodeHost64(from);
    if constexpr (kSwapped) word = ByteSwap64(word);
    std::memcpy(to, &word, kSize);
  }
}

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_CODING_H_
