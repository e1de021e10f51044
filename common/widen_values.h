// Widening of whole runs of values to double, one loop per type, so that each
// stays a tight loop the compiler can vectorise.
#ifndef UNF2MAT_COMMON_WIDEN_VALUES_H_
#define UNF2MAT_COMMON_WIDEN_VALUES_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/coding.h"
#include "common/value_type.h"

namespace unf2mat {

template <ValueType kType>
void WidenRun(const char* src, std::size_t n, double* dst) {
  constexpr std::size_t kSize = ValueSize(kType);
  for (std::size_t k = 0; k < n; ++k)
    dst[k] = WidenValue<kType>(src + k * kSize);
}

// Widens n values of `type`, held at src in the host's byte order, into dst.
inline void WidenValues(ValueType type, const void* src, std::size_t n,
                        double* dst) {
  const char* bytes = static_cast<const char*>(src);
  switch (type) {
    case ValueType::kReal8:
      return WidenRun<ValueType::kReal8>(bytes, n, dst);
    case ValueType::kInt4:
      return WidenRun<ValueType::kInt4>(bytes, n, dst);
    case ValueType::kInt8:
      return WidenRun<ValueType::kInt8>(bytes, n, dst);
    case ValueType::kInt1:
      return WidenRun<ValueType::kInt1>(bytes, n, dst);
    case ValueType::kInt2:
      return WidenRun<ValueType::kInt2>(bytes, n, dst);
    case ValueType::kLogical4:
      return WidenRun<ValueType::kLogical4>(bytes, n, dst);
    case ValueType::kChar1:
      return WidenRun<ValueType::kChar1>(bytes, n, dst);
    case ValueType::kReal4:
      break;
  }
  WidenRun<ValueType::kReal4>(bytes, n, dst);
}

// The first of n int8 values at src (host order) that a double does not hold
// exactly, or n where each is held.
inline std::size_t FirstInexactInt8(const char* src, std::size_t n) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  for (std::size_t k = 0; k < n; ++k) {
    std::int64_t value;
    std::memcpy(&value, src + 8 * k, sizeof value);
    const double widened = static_cast<double>(value);
    // 2^63 itself has no int64 to come back to.
    if (widened >= kTwoTo63 || static_cast<std::int64_t>(widened) != value) {
      return k;
    }
  }
  return n;
}

// Widens n values of `type` at src, in the host's byte order, into n
// little-endian doubles at dst, as the MAT-file holds them.
inline void EncodeDoubles(ValueType type, const void* src, std::size_t n,
                          double* dst) {
  WidenValues(type, src, n, dst);
  if constexpr (std::endian::native != std::endian::little) {
    for (std::size_t k = 0; k < n; ++k) {
      EncodeDouble(reinterpret_cast<char*>(dst + k), dst[k]);
    }
  }
}

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_WIDEN_VALUES_H_
