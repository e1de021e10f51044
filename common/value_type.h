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
enum class ValueType : std::uint8_t { kReal4, kReal8, kInt4, kInt8 };

inline constexpr ValueType kValueTypes[] = {
    ValueType::kReal4, ValueType::kReal8, ValueType::kInt4, ValueType::kInt8};

inline constexpr std::size_t ValueSize(ValueType type) {
  return type == ValueType::kReal8 || type == ValueType::kInt8 ? 8 : 4;
}

inline constexpr bool IsInteger(ValueType type) {
  return type == ValueType::kInt4 || type == ValueType::kInt8;
}

// "real4", as the command line spells it.
inline constexpr std::string_view ValueTypeName(ValueType type) {
  switch (type) {
    case ValueType::kReal8:
      return "real8";
    case ValueType::kInt4:
      return "int4";
    case ValueType::kInt8:
      return "int8";
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
  } else if constexpr (kType == ValueType::kInt8) {
    // Exact only within 2^53; those past it are refused before a double
    // class is written (FirstInexactInt8).
    std::int64_t value;
    std::memcpy(&value, src, sizeof value);
    return static_cast<double>(value);
  } else {
    float value;
    std::memcpy(&value, src, sizeof value);
    return value;
  }
}

// The MAT-file classes a variable may have.
enum class MatClass : std::uint8_t { kDouble, kSingle, kInt32, kInt64 };

// The class that holds values of `type` as they are.
inline constexpr MatClass NativeClass(ValueType type) {
  switch (type) {
    case ValueType::kReal4:
      return MatClass::kSingle;
    case ValueType::kInt4:
      return MatClass::kInt32;
    case ValueType::kInt8:
      return MatClass::kInt64;
    case ValueType::kReal8:
      break;
  }
  return MatClass::kDouble;
}

inline constexpr std::size_t ClassSize(MatClass mat_class) {
  return mat_class == MatClass::kSingle || mat_class == MatClass::kInt32 ? 4
                                                                         : 8;
}

// "single", as MATLAB's class() says it.
inline constexpr std::string_view ClassName(MatClass mat_class) {
  switch (mat_class) {
    case MatClass::kSingle:
      return "single";
    case MatClass::kInt32:
      return "int32";
    case MatClass::kInt64:
      return "int64";
    case MatClass::kDouble:
      break;
  }
  return "double";
}

}  // namespace unf2mat

#endif  // UNF2MAT_COMMON_VALUE_TYPE_H_
