// What each value of a record holds, and its exact widening to double. The
// bytes are in the host's order by the time they are widened.
#ifndef UNF2MAT_COMMON_VALUE_TYPE_H_
#define UNF2MAT_COMMON_VALUE_TYPE_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace unf2mat {

// kReal4 comes first: a zeroed run state reads single-precision values.
enum class ValueType : std::uint8_t { kReal4, kReal8, kInt4 };

inline constexpr std::size_t ValueSize(ValueType type) {
  return type == ValueType::kReal8 ? 8 : 4;
}

// "real4", as the command line spells it.
inline constexpr std::string_view ValueTypeName(ValueType type) {
  switch (type) {
    case ValueType::kReal8:
      return "real8";
    case ValueType::kInt4:
      return "int4";
    case ValueType::kReal4:
      break;
  }
  return "real4";
}

template <ValueType kType>
inline double WidenValue(const char* src) {
  if constexpr (kType == ValueType::kReal8) {
    double value;
    std::memcpy(&value, src, sizeof value);
    return value;
  } else if constexpr (kType == ValueType::kInt4) {
    std::int32_t value;
    std::memcpy(&value, src, sizeof value);
    return value;
  } else {
    float value;
    std::memcpy(&value, src, sizeof value);
    return value;
  }
}

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_VALUE_TYPE_H_
